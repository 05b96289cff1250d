#include "Sections.h"

#include "StringUtils.h"

namespace lindqvar {

SectionScan::SectionScan(std::string_view open, std::string_view close)
    : openMarker(open), closeMarker(close), closeCanOverlap(CanOverlapItself(close, false)) {}

bool SectionScan::Scan(Window window) {
  if (!opened) {
    const Position at = SearchText(window.bytes, openMarker, window.PositionOf(next), false);
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
    const Position last = SearchLastText(window.bytes, closeMarker, window.PositionOf(next), false);
    if (last != -1) {
      section.end = window.offset + static_cast<std::uint64_t>(last - 1 + m);
      found = true;
    }
  } else {
    for (Position past;
         (past = SearchPastEnd(window.bytes, closeMarker, window.PositionOf(next), false)) != -1;) {
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
