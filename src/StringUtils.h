// Position-based byte-string search with optional ASCII case folding, and
// inclusive range copy. Positions are 1-based; a missing match is -1.
// Knows nothing of XML or files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace lindqvar {

using Position = std::int64_t;

// True when the bytes match; without caseSensitive, ASCII letters also match
// their other-case partner. No other byte folds.
bool SameChar(unsigned char a, unsigned char b, bool caseSensitive);

// Position of the first occurrence of pattern that begins at or after
// startAt and lies wholly inside text, or -1. A startAt below 1 raises
// "Cannot start string search from %d"; past the end it finds nothing.
// The pattern must be non-empty.
Position SearchText(std::string_view text, std::string_view pattern, Position startAt,
                    bool caseSensitive);

// SearchText, case-sensitive.
Position SearchFrom(std::string_view text, std::string_view pattern, Position startAt);

// SearchText from position 1.
Position SearchFromStart(std::string_view text, std::string_view pattern, bool caseSensitive);

// Position just past the match SearchText finds (may be size + 1), or -1.
Position SearchPastEnd(std::string_view text, std::string_view pattern, Position startAt,
                       bool caseSensitive);

// Position of the last occurrence of pattern that begins at or after
// startAt and lies wholly inside text, or -1. Raises like SearchText.
Position SearchLastText(std::string_view text, std::string_view pattern, Position startAt,
                        bool caseSensitive);

// Up to four non-empty patterns looked for together by SearchFirstOf,
// prepared once for many searches. The patterns must outlive the set.
struct PatternSet {
  static constexpr std::size_t kMaxPatterns = 4;
  std::span<const std::string_view> patterns;
  bool caseSensitive = true;
  std::size_t shortest = 0;
  std::size_t longest = 0;
  // A quick test on the place where a match would end: the bytes back[i]
  // before it must be one of byte[i][0 .. count[i]), each after or-ing in
  // its fold bit.
  std::size_t back[2] = {0, 0};
  std::size_t count[2] = {0, 0};
  unsigned char byte[2][kMaxPatterns] = {};
  unsigned char fold[2][kMaxPatterns] = {};
};

PatternSet PreparePatterns(std::span<const std::string_view> patterns, bool caseSensitive);

// Position of the first place at or after startAt where one of the set's
// patterns begins and lies wholly inside text, or -1; which tells the
// pattern, the first in the list when several begin there. Raises like
// SearchText.
Position SearchFirstOf(std::string_view text, const PatternSet& set, Position startAt,
                       std::size_t& which);

// Whether two occurrences of pattern can overlap in a text, that is, whether
// some proper prefix matches the suffix of the same length.
bool CanOverlapItself(std::string_view pattern, bool caseSensitive);

// Position of the first byte at or after startAt where text is not
// well-formed UTF-8 (an overlong form, a surrogate, a code point past
// U+10FFFF, a stray or missing continuation byte), or -1. A sequence that
// the end of text cuts short is not judged: incomplete then gives its
// position, for a caller with more text to come; otherwise it is -1.
Position SearchInvalidUtf8(std::string_view text, Position startAt, Position& incomplete);

// Whether a and b are the same but for the letter case of ASCII letters.
bool SameAsciiLetters(std::string_view a, std::string_view b);

// c in lower case when it is an ASCII capital, else c.
char AsciiLower(char c);

// Appends the UTF-8 bytes of code, any value up to U+10FFFF (a surrogate too,
// as three bytes).
void AppendUtf8(std::string& out, char32_t code);

// The bytes at positions first to last, both included; empty when last is
// below first. The view refers into text. A range reaching outside the text
// is cut to the part that lies inside it.
std::string_view CopyRange(std::string_view text, Position first, Position last);

}  // namespace lindqvar
