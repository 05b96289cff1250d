// Writes a generated XMLTV listing to standard output.
//
//   GenerateListing SIZE[K|M|G] SEED
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "ListingGenerator.h"

namespace {

std::uint64_t ParseSize(const char* text) {
  char* end = nullptr;
  std::uint64_t size = std::strtoull(text, &end, 10);
  switch (*end) {
    case 'G':
      size <<= 10;
      [[fallthrough]];
    case 'M':
      size <<= 10;
      [[fallthrough]];
    case 'K':
      size <<= 10;
  }
  return size;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: GenerateListing SIZE[K|M|G] SEED\n");
    return 2;
  }
  GenerateListing(
      ParseSize(argv[1]), std::strtoull(argv[2], nullptr, 10),
      [](std::string_view piece) { std::fwrite(piece.data(), 1, piece.size(), stdout); });
  return std::fflush(stdout) == 0 ? 0 : 1;
}
