// The channel and programme sections of a listing, and the joined
// document's fixed pieces. An input is looked at a window at a time, so
// that a listing of any size passes through one small reused buffer; a
// whole text is simply a single window.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "StringUtils.h"

namespace lindqvar {

// Opens the joined document; its tv element is closed by ListingFooter.
inline constexpr std::string_view ListingHeader =
    "<?xml version=\"1.0\"?><tv date=\"20040921\" source-info-name=\"Lindqvar\" "
    "generator-info-name=\"Lindqvar\" generator-info-url=\"https://lindqvar.org/\">";

inline constexpr std::string_view ListingFooter = "</tv>";

// The bytes of an input from offset on (offsets are 0-based).
struct Window {
  std::string_view bytes;
  std::uint64_t offset = 0;

  std::uint64_t End() const { return offset + bytes.size(); }
  // The 1-based position in the window of the absolute offset at.
  Position PositionOf(std::uint64_t at) const { return static_cast<Position>(at - offset) + 1; }
};

// The first place where a marker of length m may still begin once every
// candidate from next on that fits wholly before windowEnd has been tried.
inline std::uint64_t Untried(std::uint64_t next, std::uint64_t windowEnd, std::size_t m) {
  return windowEnd + 1 >= m ? std::max(next, windowEnd + 1 - m) : next;
}

// A stretch [first, end) of an input; empty when end is not past first.
struct Range {
  std::uint64_t first = 0;
  std::uint64_t end = 0;

  std::uint64_t Size() const { return end > first ? end - first : 0; }
};

// Each window repeats this many bytes from the end of the one before: more
// than the longest marker, so a marker split by a read lies whole in the
// window after it.
inline constexpr std::size_t kWindowOverlap = 16;

// Calls visit with successive windows over [from, to) of an input, filling
// buffer through read(offset, bytes, size), which must deliver all size
// bytes. buffer must be larger than kWindowOverlap; each read after the
// first lands at the same place, so reads keep their alignment.
template <typename Read, typename Visit>
void WalkWindows(std::span<char> buffer, std::uint64_t from, std::uint64_t to, Read&& read,
                 Visit&& visit) {
  char* const fresh = buffer.data() + kWindowOverlap;
  const std::size_t step = buffer.size() - kWindowOverlap;
  std::size_t kept = 0;
  for (std::uint64_t offset = from; offset < to;) {
    const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(step, to - offset));
    read(offset, fresh, size);
    visit(Window{std::string_view(fresh - kept, kept + size), offset - kept});
    offset += size;
    const std::size_t keep = std::min(kWindowOverlap, kept + size);
    std::memmove(fresh - keep, fresh + size - keep, keep);
    kept = keep;
  }
}

// Calls visit(window) with successive windows, as WalkWindows does, over
// all the bytes fill(bytes, size) delivers, up to size at a time, until it
// delivers none; returns how many there were. The windows are read into
// the two halves of buffer in turn, so that another thread may still look
// at one window while the next one is read. Each half must be larger than
// kWindowOverlap.
template <typename Fill, typename Visit>
std::uint64_t WalkWindowsInTurn(std::span<char> buffer, Fill&& fill, Visit&& visit) {
  const std::size_t half = buffer.size() / 2;
  char* const fresh[2] = {buffer.data() + kWindowOverlap, buffer.data() + half + kWindowOverlap};
  const std::size_t step = half - kWindowOverlap;
  std::size_t kept = 0;
  std::uint64_t offset = 0;
  for (int which = 0, ended = 0; !ended; which ^= 1) {
    // The overlap from the end of the window before, in the other buffer.
    std::memcpy(fresh[which] - kept, fresh[which ^ 1] + (offset == 0 ? 0 : step) - kept, kept);
    std::size_t size = 0;
    while (size < step) {
      const std::size_t got = fill(fresh[which] + size, step - size);
      if (got == 0) {
        ended = 1;
        break;
      }
      size += got;
    }
    if (size == 0) break;
    visit(Window{std::string_view(fresh[which] - kept, kept + size), offset - kept});
    offset += size;
    kept = std::min(kWindowOverlap, kept + size);
  }
  return offset;
}

// Follows one section through the windows of an input: the stretch from the
// first openMarker to the end of the last closeMarker after it, both
// matched in any letter case. Windows must come in order, each starting no
// later than the bytes the scan has not yet tried in full.
struct SectionScan {
  std::string_view openMarker;
  std::string_view closeMarker;
  bool closeCanOverlap;  // occurrences of closeMarker may overlap
  bool opened = false;
  Range section;           // end stays 0 until a closing marker is found
  std::uint64_t next = 0;  // first place where a marker may still begin

  SectionScan(std::string_view open, std::string_view close);

  // Scans one window; true when it held a closing marker of the section,
  // which then ends at section.end.
  bool Scan(Window window);
};

// The stretch from the first openMarker to the end of the last closeMarker
// after it, both matched in any letter case; empty when either is missing.
// The view refers into text.
std::string_view ExtractSection(std::string_view text, std::string_view openMarker,
                                std::string_view closeMarker);

}  // namespace lindqvar
