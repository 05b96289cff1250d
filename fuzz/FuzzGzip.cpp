// Random and damaged gzip data through the input path: read as it comes,
// a byte at a time or in larger pieces, by each inflater the build has
// (zlib's, ISA-L's), it yields what zlib's plain one-piece
// decompression of each member yields (zero padding after the last
// ignored), or is damaged for both. And any
// bytes, compressed on one thread or on three, give the same gzip member,
// which reads back as those bytes.
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "Gunzip.h"
#include "Gzip.h"

namespace {

using lindqvar::GzipWriter;
using lindqvar::testing::GunzipInPieces;

// Each member decompressed in one piece, one after another, up to zeros
// that run to the end.
std::optional<std::string> ReferenceGunzip(std::string_view data) {
  std::string text;
  for (bool first = true; !data.empty(); first = false) {
    if (!first && data.find_first_not_of('\0') == std::string_view::npos) break;
    z_stream z{};
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) std::abort();
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    int status = Z_OK;
    while (status == Z_OK) {
      char out[4096];
      z.next_out = reinterpret_cast<Bytef*>(out);
      z.avail_out = sizeof out;
      status = inflate(&z, Z_NO_FLUSH);
      text.append(out, sizeof out - z.avail_out);
      if (status == Z_BUF_ERROR && z.avail_in > 0) status = Z_OK;  // output was full
    }
    data.remove_prefix(data.size() - z.avail_in);
    inflateEnd(&z);
    if (status != Z_STREAM_END) return std::nullopt;
  }
  return text;
}

std::string Compress(std::string_view text, unsigned threads, std::size_t piece) {
  std::string out;
  GzipWriter writer([&](std::string_view bytes) { out.append(bytes); }, threads);
  for (std::size_t at = 0; at < text.size(); at += piece) writer.Write(text.substr(at, piece));
  writer.Finish();
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view data(reinterpret_cast<const char*>(bytes) + 1, size - 1);
  const std::size_t chunk = bytes[0] % 64 + 1;

  if (lindqvar::CompressionOf(data) == lindqvar::Compression::Gzip) {
    const std::optional<std::string> expected = ReferenceGunzip(data);
    for (const lindqvar::GzipReader::Inflater inflater : lindqvar::testing::Inflaters()) {
      if (GunzipInPieces(data, 1, inflater) != expected ||
          GunzipInPieces(data, chunk * 1000, inflater) != expected) {
        std::abort();
      }
    }
  }

  const std::string one = Compress(data, 1, chunk * 100);
  if (Compress(data, 3, chunk) != one || GunzipInPieces(one, chunk) != std::string(data))
    std::abort();
  return 0;
}
