// Deliberately plain versions of the rules the program follows, for the
// fast code to agree with: a search that tries every position byte by
// byte, the section rule as a chain of searches, the rewriting as one loop,
// and a time conversion with its own integer reading, its own calendar
// (std::chrono) and its own formatting. Nothing here calls the program's
// own code.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "Failure.h"
#include "StringUtils.h"

namespace lindqvar::reference {

inline bool SameChar(unsigned char a, unsigned char b, bool caseSensitive) {
  const auto lower = [](unsigned char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + 32) : c;
  };
  return caseSensitive ? a == b : lower(a) == lower(b);
}

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

// The earliest of the patterns' first matches; the first pattern on a tie.
inline Position SearchFirstOf(std::string_view text, std::span<const std::string_view> patterns,
                              Position startAt, bool caseSensitive, std::size_t& which) {
  Position best = -1;
  for (std::size_t i = 0; i < patterns.size(); ++i) {
    const Position at = Search(text, patterns[i], startAt, caseSensitive);
    if (at != -1 && (best == -1 || at < best)) {
      best = at;
      which = i;
    }
  }
  return best;
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

[[noreturn]] inline void Fail(const std::string& message) {
  throw Failure{"EConvertError", message, nullptr};
}

// A field read as an integer: blanks, a sign, then decimal digits or a
// hexadecimal number after "$", "x", "X", "0x" or "0X", up to the end of
// the field or a zero byte; the low 16 bits of the result.
inline std::uint16_t Integer(std::string_view field) {
  const std::string_view bytes = field.substr(0, field.find('\0'));
  std::size_t i = 0;
  while (i < bytes.size() && bytes[i] == ' ') ++i;
  bool negative = false;
  if (i < bytes.size() && (bytes[i] == '+' || bytes[i] == '-')) negative = bytes[i++] == '-';
  unsigned base = 10;
  if (bytes.substr(i, 1) == "$" || bytes.substr(i, 1) == "x" || bytes.substr(i, 1) == "X") {
    base = 16;
    i += 1;
  } else if (bytes.substr(i, 2) == "0x" || bytes.substr(i, 2) == "0X") {
    base = 16;
    i += 2;
  }
  if (i == bytes.size()) Fail("'" + std::string(field) + "' is not a valid integer value");
  std::uint32_t value = 0;
  for (; i < bytes.size(); ++i) {
    const char c = bytes[i];
    unsigned digit = 99;
    if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
    if (base == 16 && c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
    if (base == 16 && c >= 'A' && c <= 'F') digit = static_cast<unsigned>(c - 'A' + 10);
    if (digit >= base) Fail("'" + std::string(field) + "' is not a valid integer value");
    value = value * base + digit;
  }
  return static_cast<std::uint16_t>(negative ? 0u - value : value);
}

// The day of the last Sunday of a month in the Gregorian calendar, which
// repeats every 400 years.
inline unsigned LastSunday(unsigned year, unsigned month) {
  using namespace std::chrono;
  const year_month_weekday_last last{std::chrono::year{static_cast<int>(2000 + year % 400)} /
                                     std::chrono::month{month} / Sunday[std::chrono::last]};
  return static_cast<unsigned>(year_month_day{sys_days{last}}.day());
}

// From the last Sunday of March at 02:00 up to the last Sunday of October
// at 01:00 of the time's own year; a month outside 1 to 12 counts as
// October.
inline bool InSummer(unsigned year, unsigned month, unsigned day, unsigned hour) {
  if (month == 1 || month == 2 || month == 11 || month == 12) return false;
  if (month >= 4 && month <= 9) return true;
  if (month == 3) {
    const unsigned start = LastSunday(year, 3);
    return day > start || (day == start && hour >= 2);
  }
  const unsigned end = LastSunday(year, 10);
  return day < end || (day == end && hour < 1);
}

inline std::string ConvertListingTime(std::string_view value) {
  if (value.size() < 11) Fail("'" + std::string(value) + "' is not a valid listing time");
  const auto field = [&](std::size_t at) { return Integer(value.substr(at, 2)); };
  const unsigned year = Integer(value.substr(0, 4));
  const unsigned month = field(4);
  const unsigned day = field(6);
  const unsigned hour = field(8);
  const unsigned minute = field(10);
  if (value.size() > 12) field(12);  // the seconds must read, though they become 00
  char text[48];
  std::snprintf(text, sizeof text, "%04u%02u%02u%02u%02u00%s", year, month, day, hour, minute,
                InSummer(year, month, day, hour) ? " +0100" : "");
  return text;
}

// The rewriting as one loop: at each step the nearer of the next start="
// and stop=", then its value up to the next double quote.
inline std::string RewriteProgrammeTimes(std::string_view section) {
  const auto copy = [&](Position first, Position last) {
    return last < first ? std::string()
                        : std::string(section.substr(static_cast<std::size_t>(first - 1),
                                                     static_cast<std::size_t>(last - first + 1)));
  };
  const Position n = static_cast<Position>(section.size());
  std::string out;
  Position pos = 1;
  for (;;) {
    static constexpr std::string_view kTimes[] = {"start=\"", "stop=\""};
    std::size_t which = 0;
    const Position at = SearchFirstOf(section, kTimes, pos, false, which);
    if (at == -1) return out + copy(pos, n);
    const Position valueAt = at + static_cast<Position>(kTimes[which].size());
    out += copy(pos, valueAt - 1);
    const Position quote = Search(section, "\"", valueAt, true);
    if (quote == -1) {
      const std::string rest = copy(valueAt, n);
      Fail("Listing time '" + rest.substr(0, 40) + (rest.size() > 40 ? "..." : "") +
           "' has no closing quote");
    }
    out += ConvertListingTime(copy(valueAt, quote - 1));
    pos = quote;
  }
}

// Well-formed UTF-8 by code points: where the first sequence at or after
// position startAt that no code point can be read from begins, or -1. A
// sequence the text's end cuts short counts only if no ending could make it
// one; incomplete then gives where it begins.
inline Position SearchInvalidUtf8(std::string_view text, Position startAt, Position& incomplete) {
  incomplete = -1;
  for (std::size_t p = static_cast<std::size_t>(startAt) - 1; p < text.size();) {
    const auto lead = static_cast<unsigned char>(text[p]);
    std::size_t length = 0;
    std::uint32_t low = 0;  // the code point's bits from the lead byte
    for (const auto& [ones, size] : {std::pair{0x00u, 1u}, {0xC0u, 2u}, {0xE0u, 3u}, {0xF0u, 4u}}) {
      const unsigned mask = size == 1 ? 0x80u : (0xFF00u >> (size + 1)) & 0xFFu;
      if ((lead & mask) == ones) {
        length = size;
        low = lead & ~mask & 0xFFu;
      }
    }
    if (length == 0) return static_cast<Position>(p) + 1;
    // The smallest and largest code point the bytes there can begin.
    std::uint32_t smallest = low;
    std::uint32_t largest = low;
    std::size_t k = 1;
    for (; k < length && p + k < text.size(); ++k) {
      const auto next = static_cast<unsigned char>(text[p + k]);
      if ((next & 0xC0) != 0x80) return static_cast<Position>(p) + 1;
      smallest = smallest << 6 | (next & 0x3F);
      largest = largest << 6 | (next & 0x3F);
    }
    for (std::size_t missing = k; missing < length; ++missing) {
      smallest <<= 6;
      largest = largest << 6 | 0x3F;
    }
    const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    const std::uint32_t from = std::max(smallest, least[length]);
    const std::uint32_t to = std::min<std::uint32_t>(largest, 0x10FFFF);
    const bool someCodePoint = from <= to && !(from >= 0xD800 && to <= 0xDFFF);
    if (!someCodePoint) return static_cast<Position>(p) + 1;
    if (k < length) {
      incomplete = static_cast<Position>(p) + 1;
      return -1;
    }
    p += length;
  }
  return -1;
}

// An attribute's value with its references decoded: &amp; &lt; &gt; &quot;
// &apos; and &#N; &#xH; of a code point XML allows (in UTF-8); anything else
// as it stands.
inline std::string DecodeReferences(std::string_view value) {
  std::string out;
  for (std::size_t i = 0; i < value.size();) {
    const std::size_t semicolon = value.find(';', i + 1);
    const std::size_t next = value.find('&', i + 1);
    if (value[i] != '&' || semicolon == std::string_view::npos || semicolon - i > 12 ||
        (next != std::string_view::npos && next < semicolon)) {
      out += value[i++];
      continue;
    }
    const std::string_view name = value.substr(i + 1, semicolon - i - 1);
    std::string decoded;
    if (name == "amp") decoded = "&";
    if (name == "lt") decoded = "<";
    if (name == "gt") decoded = ">";
    if (name == "quot") decoded = "\"";
    if (name == "apos") decoded = "'";
    if (name.size() >= 2 && name[0] == '#') {
      const bool hex = name[1] == 'x';
      const std::string_view digits = name.substr(hex ? 2 : 1);
      const std::string_view allowed = hex ? "0123456789abcdefABCDEF" : "0123456789";
      unsigned long code = 0;
      if (!digits.empty() && digits.size() <= 8 &&
          digits.find_first_not_of(allowed) == std::string_view::npos) {
        code = std::stoul(std::string(digits), nullptr, hex ? 16 : 10);
      }
      if (code != 0 && !(code >= 0xD800 && code <= 0xDFFF) && code <= 0x10FFFF) {
        if (code < 0x80) {
          decoded = std::string(1, static_cast<char>(code));
        } else if (code < 0x800) {
          decoded = {static_cast<char>(0xC0 | (code >> 6)),
                     static_cast<char>(0x80 | (code & 0x3F))};
        } else if (code < 0x10000) {
          decoded = {static_cast<char>(0xE0 | (code >> 12)),
                     static_cast<char>(0x80 | ((code >> 6) & 0x3F)),
                     static_cast<char>(0x80 | (code & 0x3F))};
        } else {
          decoded = {static_cast<char>(0xF0 | (code >> 18)),
                     static_cast<char>(0x80 | ((code >> 12) & 0x3F)),
                     static_cast<char>(0x80 | ((code >> 6) & 0x3F)),
                     static_cast<char>(0x80 | (code & 0x3F))};
        }
      }
    }
    if (decoded.empty()) {
      out += value[i++];
      continue;
    }
    out += decoded;
    i = semicolon + 1;
  }
  return out;
}

// The value of attribute wanted in the start tag that begins at text[at]
// (just after its name), and where the tag ends (past its ">"), or npos when
// it does not end in text. Names end at a blank, "=", ">", "/" or "?"; a
// value is quoted; anything else skips to the next ">".
struct TagRead {
  std::size_t end = std::string_view::npos;
  std::optional<std::string> value;
};
inline TagRead ReadTag(std::string_view text, std::size_t at, std::string_view wanted) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  TagRead read;
  while (at < text.size()) {
    const char c = text[at];
    if (blank(c) || c == '/' || c == '?') {
      ++at;
    } else if (c == '>') {
      read.end = at + 1;
      return read;
    } else if (c == '=') {
      const std::size_t close = text.find('>', at);
      if (close != std::string_view::npos) read.end = close + 1;
      return read;
    } else {
      const std::size_t nameAt = at;
      while (at < text.size() && !blank(text[at]) && text[at] != '=' && text[at] != '>' &&
             text[at] != '/' && text[at] != '?') {
        ++at;
      }
      const std::string_view name = text.substr(nameAt, at - nameAt);
      while (at < text.size() && blank(text[at])) ++at;
      if (at >= text.size() || text[at] != '=') continue;
      ++at;
      while (at < text.size() && blank(text[at])) ++at;
      if (at >= text.size()) return read;
      if (text[at] != '"' && text[at] != '\'') {
        const std::size_t close = text.find('>', at);
        if (close != std::string_view::npos) read.end = close + 1;
        return read;
      }
      const std::size_t close = text.find(text[at], at + 1);
      if (close == std::string_view::npos) return read;
      if (name == wanted && !read.value) {
        read.value = DecodeReferences(text.substr(at + 1, close - at - 1));
      }
      at = close + 1;
    }
  }
  return read;
}

// The element filter over a whole section: keep(isProgramme, id) decides,
// element by element in order.
template <typename Keep>
std::string FilterElements(std::string_view text, Keep&& keep) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  std::string out;
  std::size_t gap = 0;  // where the bytes before the next element begin
  std::size_t at = 0;
  for (;;) {
    // The next element's start tag.
    std::size_t start = std::string_view::npos;
    bool programme = false;
    for (std::size_t p = at; p < text.size() && start == std::string_view::npos; ++p) {
      for (const bool isProgramme : {false, true}) {
        const std::string_view marker = isProgramme ? "<programme" : "<channel";
        const std::size_t after = p + marker.size();
        bool matches = after <= text.size();
        for (std::size_t i = 0; matches && i < marker.size(); ++i) {
          matches = SameChar(static_cast<unsigned char>(text[p + i]),
                             static_cast<unsigned char>(marker[i]), false);
        }
        if (matches && after < text.size() &&
            (blank(text[after]) || text[after] == '>' || text[after] == '/')) {
          start = p;
          programme = isProgramme;
          break;
        }
      }
    }
    if (start == std::string_view::npos) return out + std::string(text.substr(gap));
    const std::size_t after = start + (programme ? 10 : 8);
    const TagRead tag = ReadTag(text, after, programme ? "channel" : "id");
    if (tag.end == std::string_view::npos) return out + std::string(text.substr(gap));
    std::size_t end = tag.end;
    if (text[tag.end - 2] != '/' || tag.end - 2 < after) {
      const Position close = Search(text, programme ? "</programme>" : "</channel>",
                                    static_cast<Position>(tag.end + 1), false);
      end = close == -1 ? text.size() : static_cast<std::size_t>(close - 1) + (programme ? 12 : 10);
    }
    if (keep(programme, tag.value)) out += text.substr(gap, end - gap);
    gap = at = end;
  }
}

}  // namespace lindqvar::reference
