#include "Sections.h"

#include "StringUtils.h"

namespace lindqvar {

namespace {

// The first place where a marker of length m may still begin once every
// candidate that fits wholly before windowEnd has been tried.
std::uint64_t Untried(std::uint64_t next, std::uint64_t windowEnd, std::size_t m) {
  return windowEnd + 1 >= m ? std::max(next, windowEnd + 1 - m) : next;
}

// The 1-based position in window of the absolute offset at.
Position PositionOf(const Window& window, std::uint64_t at) {
  return static_cast<Position>(at - window.offset) + 1;
}

}  // namespace

SectionScan::SectionScan(std::string_view open, std::string_view close)
    : openMarker(open), closeMarker(close), closeCanOverlap(CanOverlapItself(close, false)) {}

bool SectionScan::Scan(Window window) {
  if (!opened) {
    const Position at = SearchText(window.bytes, openMarker, PositionOf(window, next), false);
    if (at == -1) {
      next = Untried(next, window.End(), openMarker.size());
      return false;
    }
    opened = true;
    section.first = window.offset + static_cast<std::uint64_t>(at - 1);
    next = section.first;
  }
  const auto m = static_cast<Position>(closeMarker.size());
  bool found = false;
  if (!closeCanOverlap) {
    // Occurrences cannot overlap, so the chain of searches that the section
    // rule describes, each starting just past the previous match, visits
    // every one of them: the last one is found faster from the end.
    const Position last =
        SearchLastText(window.bytes, closeMarker, PositionOf(window, next), false);
    if (last != -1) {
      section.end = window.offset + static_cast<std::uint64_t>(last - 1 + m);
      found = true;
    }
  } else {
    for (Position past; (past = SearchPastEnd(window.bytes, closeMarker, PositionOf(window, next),
                                              false)) != -1;) {
      section.end = next = window.offset + static_cast<std::uint64_t>(past - 1);
      found = true;
    }
  }
  next = Untried(next, window.End(), closeMarker.size());
  return found;
}

std::string_view ExtractSection(std::string_view text, std::string_view openMarker,
                                std::string_view closeMarker) {
  SectionScan scan(openMarker, closeMarker);
  scan.Scan(Window{text, 0});
  const Range& section = scan.section;
  return text.substr(static_cast<std::size_t>(section.first),
                     static_cast<std::size_t>(section.Size()));
}

}  // namespace lindqvar
