#include "StringUtils.h"

#include <cstring>
#include <string>

#include "Failure.h"

namespace lindqvar {

namespace {

bool IsAsciiLetter(unsigned char c) {
  const unsigned char lower = c | 0x20;
  return lower >= 'a' && lower <= 'z';
}

bool MatchesAt(const unsigned char* text, std::string_view pattern, bool caseSensitive) {
  const auto* pat = reinterpret_cast<const unsigned char*>(pattern.data());
  if (caseSensitive) return std::memcmp(text, pat, pattern.size()) == 0;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (!SameChar(text[i], pat[i], false)) return false;
  }
  return true;
}

// Index of a pattern byte that only ever matches itself, so that memchr can
// find the candidates; npos when every byte is a letter that folds.
std::size_t AnchorIndex(std::string_view pattern, bool caseSensitive) {
  if (caseSensitive) return 0;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (!IsAsciiLetter(static_cast<unsigned char>(pattern[i]))) return i;
  }
  return std::string_view::npos;
}

}  // namespace

bool SameChar(unsigned char a, unsigned char b, bool caseSensitive) {
  if (caseSensitive || a == b) return a == b;
  if (a >= 'A' && a <= 'Z') return b == a + 32;
  if (a >= 'a' && a <= 'z') return b == a - 32;
  return false;
}

// Candidates are visited in ascending order, one byte apart, exactly as a
// plain scan would; memchr on a byte that cannot fold only skips positions
// that could never match.
Position SearchText(std::string_view text, std::string_view pattern, Position startAt,
                    bool caseSensitive) {
  if (startAt < 1) Raise("Exception", "Cannot start string search from " + std::to_string(startAt));
  const std::size_t n = text.size();
  const std::size_t m = pattern.size();
  if (static_cast<std::size_t>(startAt) > n) return -1;
  const std::size_t from = static_cast<std::size_t>(startAt) - 1;
  if (m == 0) return startAt;
  if (m > n - from) return -1;
  const std::size_t lastCandidate = n - m;
  const auto* base = reinterpret_cast<const unsigned char*>(text.data());

  const std::size_t anchor = AnchorIndex(pattern, caseSensitive);
  if (anchor == std::string_view::npos) {
    for (std::size_t p = from; p <= lastCandidate; ++p) {
      if (MatchesAt(base + p, pattern, false)) return static_cast<Position>(p) + 1;
    }
    return -1;
  }

  const unsigned char key = static_cast<unsigned char>(pattern[anchor]);
  std::size_t scan = from + anchor;
  const std::size_t scanEnd = lastCandidate + anchor + 1;
  while (scan < scanEnd) {
    const void* hit = std::memchr(base + scan, key, scanEnd - scan);
    if (hit == nullptr) return -1;
    const std::size_t at = static_cast<const unsigned char*>(hit) - base;
    const std::size_t p = at - anchor;
    if (MatchesAt(base + p, pattern, caseSensitive)) return static_cast<Position>(p) + 1;
    scan = at + 1;
  }
  return -1;
}

Position SearchFrom(std::string_view text, std::string_view pattern, Position startAt) {
  return SearchText(text, pattern, startAt, true);
}

Position SearchFromStart(std::string_view text, std::string_view pattern, bool caseSensitive) {
  return SearchText(text, pattern, 1, caseSensitive);
}

Position SearchPastEnd(std::string_view text, std::string_view pattern, Position startAt,
                       bool caseSensitive) {
  const Position found = SearchText(text, pattern, startAt, caseSensitive);
  return found == -1 ? -1 : found + static_cast<Position>(pattern.size());
}

std::string_view CopyRange(std::string_view text, Position first, Position last) {
  const Position size = static_cast<Position>(text.size());
  if (first < 1) first = 1;
  if (last > size) last = size;
  if (last < first) return {};
  return text.substr(static_cast<std::size_t>(first - 1),
                     static_cast<std::size_t>(last - first + 1));
}

}  // namespace lindqvar
