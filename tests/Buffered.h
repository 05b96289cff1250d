// The first and second pass as the run makes them over an input, with the
// input read through a buffer that takes readSize new bytes at a time, so
// tests can put every buffer end on every marker and value.
#pragma once

#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Lindqvar.h"

namespace lindqvar::testing {

template <typename Visit>
void ReadThroughBuffer(std::string_view text, Range range, std::size_t readSize, Visit&& visit) {
  std::vector<char> buffer(kWindowOverlap + readSize);
  const auto read = [&](std::uint64_t offset, char* bytes, std::size_t size) {
    std::memcpy(bytes, text.data() + offset, size);
  };
  WalkWindows(buffer, range.first, range.end, read, visit);
}

// The first pass over text, with every programme time checked.
inline ListingScan ScanThroughBuffer(std::string_view text, std::size_t readSize) {
  ListingScan scan;
  scan.checkTimes = true;
  ReadThroughBuffer(text, {0, text.size()}, readSize, [&](Window window) { scan.Scan(window); });
  return scan;
}

// The second pass's rewriting of section of text. Raises like the run.
inline std::string RewriteThroughBuffer(std::string_view text, Range section,
                                        std::size_t readSize) {
  std::string out;
  TimeRewriter rewriter;
  rewriter.Start(section.first);
  ReadThroughBuffer(text, section, readSize,
                    [&](Window window) { rewriter.Feed(window, window.End(), &out); });
  rewriter.Finish();
  return out;
}

// A decision for the element filter that tests can repeat: some of the
// elements with an id kept, by its hash; of those without, the channels.
inline bool SomeKept(bool programme, std::optional<std::string_view> id) {
  return id ? (std::hash<std::string_view>()(*id) + programme) % 3 != 0 : !programme;
}

// What the element filter passes on of text read through a buffer of
// readSize new bytes, keeping what SomeKept keeps; decisions gets a k or a
// d for each element, in order.
inline std::string FilterThroughBuffer(std::string_view text, std::size_t readSize,
                                       std::string& decisions) {
  std::string out;
  ElementFilter filter(
      [&](ElementFilter::Kind kind, std::optional<std::string_view> id) {
        const bool keep = SomeKept(kind == ElementFilter::Kind::kProgramme, id);
        decisions += keep ? 'k' : 'd';
        return keep;
      },
      [&](std::string_view bytes) { out += bytes; });
  filter.Start(0);
  ReadThroughBuffer(text, {0, text.size()}, readSize, [&](Window window) { filter.Feed(window); });
  filter.Finish();
  return out;
}

inline std::string_view Cut(std::string_view text, Range range) {
  return text.substr(range.first, range.Size());
}

}  // namespace lindqvar::testing
