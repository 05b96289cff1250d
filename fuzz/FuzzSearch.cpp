// The fast search, forwards, backwards and for several patterns at once,
// against the plain scan, for any text, pattern, start position and case
// mode.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "Reference.h"
#include "Sections.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lindqvar;
  if (size < 2) return 0;
  const bool caseSensitive = (data[0] & 1) != 0;
  const std::size_t patternLength = 1 + data[1] % 12;
  if (size - 2 < patternLength) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 2, size - 2);
  const std::string_view pattern = bytes.substr(0, patternLength);
  const std::string_view text = bytes.substr(patternLength);
  const Position startAt = 1 + static_cast<Position>((data[0] >> 1) % (text.size() + 2));

  // The pattern and its first half (or its last byte) looked for together.
  const std::string_view set[] = {pattern, pattern.substr(0, (pattern.size() + 1) / 2),
                                  pattern.substr(pattern.size() - 1)};
  std::size_t which = 0;
  std::size_t expectedWhich = 0;
  if (SearchFirstOf(text, PreparePatterns(set, caseSensitive), startAt, which) !=
          reference::SearchFirstOf(text, set, startAt, caseSensitive, expectedWhich) ||
      which != expectedWhich) {
    std::abort();
  }
  if (SearchText(text, pattern, startAt, caseSensitive) !=
          reference::Search(text, pattern, startAt, caseSensitive) ||
      SearchLastText(text, pattern, startAt, caseSensitive) !=
          reference::SearchLast(text, pattern, startAt, caseSensitive) ||
      ExtractSection(text, pattern, pattern) != reference::ExtractSection(text, pattern, pattern)) {
    std::abort();
  }
  return 0;
}
