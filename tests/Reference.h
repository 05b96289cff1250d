// Deliberately simple versions of the search, section and rewriting rules,
// written straight from their statements, for the fast code to agree with.
#pragma once

#include <string>
#include <string_view>

#include "Failure.h"
#include "ProgrammeTimes.h"
#include "Sections.h"
#include "StringUtils.h"

namespace lindqvar::reference {

// Tries every position in turn, byte by byte.
inline Position Search(std::string_view text, std::string_view pattern, Position startAt,
                       bool caseSensitive) {
  const Position n = static_cast<Position>(text.size());
  const Position m = static_cast<Position>(pattern.size());
  if (n < startAt) return -1;
  for (Position p = startAt; p <= n; ++p) {
    Position i = 0;
    while (i < m && p + i <= n &&
           SameChar(static_cast<unsigned char>(text[p + i - 1]),
                    static_cast<unsigned char>(pattern[i]), caseSensitive)) {
      ++i;
    }
    if (i == m) return p;
  }
  return -1;
}

inline Position SearchLast(std::string_view text, std::string_view pattern, Position startAt,
                           bool caseSensitive) {
  Position last = -1;
  for (Position p = startAt; (p = Search(text, pattern, p, caseSensitive)) != -1; ++p) last = p;
  return last;
}

// The chain of searches, each from just past the previous closing marker.
inline std::string_view ExtractSection(std::string_view text, std::string_view open,
                                       std::string_view close) {
  const Position first = Search(text, open, 1, false);
  if (first == -1) return {};
  Position end = first;
  for (Position next; (next = Search(text, close, end, false)) != -1;) {
    end = next + static_cast<Position>(close.size());
  }
  return text.substr(static_cast<std::size_t>(first - 1), static_cast<std::size_t>(end - first));
}

// The twelve steps as written, one start and one stop value per round.
inline std::string RewriteProgrammeTimes(std::string_view section) {
  const auto copy = [&](Position first, Position last) {
    return last < first ? std::string()
                        : std::string(section.substr(static_cast<std::size_t>(first - 1),
                                                     static_cast<std::size_t>(last - first + 1)));
  };
  const auto value = [&](Position from) {
    const Position quote = Search(section, "\"", from, true);
    if (quote == -1) {
      const std::string rest = copy(from, static_cast<Position>(section.size()));
      throw Failure{"EConvertError",
                    "Listing time '" + rest.substr(0, 40) + (rest.size() > 40 ? "..." : "") +
                        "' has no closing quote",
                    nullptr};
    }
    return quote;
  };
  const Position n = static_cast<Position>(section.size());
  std::string out;
  Position pos = 1;
  for (;;) {
    const Position a = Search(section, "start=\"", pos, false);
    if (a == -1) return out + copy(pos, n);
    out += copy(pos, a + 6);
    const Position q = value(a + 7);
    out += ConvertListingTime(copy(a + 7, q - 1)).View();
    const Position b = Search(section, "stop=\"", q, false);
    if (b == -1) return out + copy(q, n);
    out += copy(q, b + 5);
    const Position r = value(b + 6);
    out += ConvertListingTime(copy(b + 6, r - 1)).View();
    pos = r;
  }
}

}  // namespace lindqvar::reference
