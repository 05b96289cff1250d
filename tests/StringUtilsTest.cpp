#include <gtest/gtest.h>

#include <random>
#include <span>
#include <string>

#include "Failure.h"
#include "Reference.h"
#include "StringUtils.h"

namespace lindqvar {
namespace {

using reference::Search;
using reference::SearchLast;

struct SearchCase {
  const char* name;
  std::string text;
  std::string pattern;
  Position startAt;
  bool caseSensitive;
  Position expected;
};

TEST(SearchText, Table) {
  using namespace std::string_literals;
  const SearchCase cases[] = {
      {"FromTwoFindsAtTwo", "abc", "b", 2, true, 2},
      {"StartPastMatch", "abc", "b", 3, true, -1},
      {"StartJustPastEnd", "abc", "b", 4, true, -1},
      {"StartFarPastEnd", "abc", "b", 99, true, -1},
      {"EmptyText", "", "<channel", 1, false, -1},
      {"OverlappingFromTwo", "aaaa", "aa", 2, true, 2},
      {"LastOverlapFitsAtEnd", "aaaa", "aa", 3, true, 3},
      {"OverlapCannotRunPastEnd", "aaaa", "aa", 4, true, -1},
      {"CapitalsFoldWhenInsensitive", "x<CHANNEL id", "<channel", 1, false, 2},
      {"MixedCaseFolds", "<ChAnNeL", "<channel", 1, false, 1},
      {"LongerTagNameMatches", "<channels>", "<channel", 1, false, 1},
      {"CapitalsDoNotMatchSensitive", "<CHANNEL <channel", "<channel", 1, true, 10},
      {"BracketDoesNotFoldToBrace", "{", "[", 1, false, -1},
      {"HighBytesDoNotFold", "\xE8", "\xC8", 1, false, -1},
      {"HighByteMatchesItself", "a\xC8", "\xC8", 1, false, 2},
      {"PatternRunsPastEnd", "x</chann", "</channel>", 1, false, -1},
      {"MatchAtVeryEnd", "ab</tv>", "</tv>", 1, true, 3},
      {"AllLetterPatternFolds", "xxSTaRt", "start", 1, false, 3},
      {"ZeroBytesInText", "a\0b\0start=\""s, "START=\"", 1, false, 5},
      {"PatternShorterThanRemainder", "ab", "abc", 1, true, -1},
      {"FirstOfSeveralWins", "stop=\"1\" stop=\"2\"", "stop=\"", 2, false, 10},
  };
  for (const SearchCase& c : cases) {
    EXPECT_EQ(SearchText(c.text, c.pattern, c.startAt, c.caseSensitive), c.expected) << c.name;
    EXPECT_EQ(Search(c.text, c.pattern, c.startAt, c.caseSensitive), c.expected)
        << c.name << " (reference)";
  }
}

TEST(SearchText, StartBelowOneRaisesEvenOnEmptyText) {
  for (const Position startAt : {Position{0}, Position{-7}}) {
    for (const std::string_view text : {std::string_view("abc"), std::string_view()}) {
      try {
        SearchText(text, "b", startAt, true);
        FAIL() << "no failure raised from " << startAt;
      } catch (const Failure& failure) {
        EXPECT_STREQ(failure.kind, "Exception");
        EXPECT_EQ(failure.message, "Cannot start string search from " + std::to_string(startAt));
      }
    }
  }
}

TEST(SearchText, ShorthandsAgree) {
  const std::string text = "aaaa</tv>";
  EXPECT_EQ(SearchFromStart(text, "AA", false), 1);
  EXPECT_EQ(SearchFromStart(text, "AA", true), -1);
  EXPECT_EQ(SearchFrom(text, "aa", 2), 2);
  EXPECT_EQ(SearchPastEnd(text, "aa", 2, true), 4);
  EXPECT_EQ(SearchPastEnd(text, "</tv>", 1, true), static_cast<Position>(text.size()) + 1);
  EXPECT_EQ(SearchPastEnd(text, "</TV>", 1, true), -1);
}

TEST(SameChar, OnlyAsciiLettersFold) {
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      const bool letterPair = ((a >= 'A' && a <= 'Z') || (a >= 'a' && a <= 'z')) && (a ^ 32) == b;
      const auto ua = static_cast<unsigned char>(a);
      const auto ub = static_cast<unsigned char>(b);
      ASSERT_EQ(SameChar(ua, ub, true), a == b) << a << " " << b;
      ASSERT_EQ(SameChar(ua, ub, false), a == b || letterPair) << a << " " << b;
    }
  }
}

TEST(SearchLastText, Table) {
  EXPECT_EQ(SearchLastText("</channel></CHANNEL>x", "</channel>", 1, false), 11);
  EXPECT_EQ(SearchLastText("</channel></CHANNEL>x", "</channel>", 1, true), 1);
  EXPECT_EQ(SearchLastText("</channel></CHANNEL>x", "</channel>", 2, true), -1);
  EXPECT_EQ(SearchLastText("aaaa", "aa", 1, true), 3);
  EXPECT_EQ(SearchLastText("", "a", 1, true), -1);
  EXPECT_THROW(SearchLastText("abc", "a", 0, true), Failure);
}

TEST(SearchFirstOf, Table) {
  const std::string_view times[] = {"start=\"", "stop=\""};
  const std::string_view mixedLengths[] = {"bcd", "abcde", "x"};
  struct Row {
    const char* name;
    std::string text;
    std::span<const std::string_view> patterns;
    Position startAt;
    Position expected;
    std::size_t which;
  };
  const Row rows[] = {
      {"StopBeforeStart", "<p stop=\"1\" start=\"2\">", times, 1, 4, 1},
      {"FoldsLetters", "<p pdc-START=\"1\">", times, 1, 8, 0},
      {"NeitherThere", "<p title=\"start\">", times, 1, -1, 0},
      {"CutAtTheEnd", "<p stop=", times, 1, -1, 0},
      {"FromAfterTheFirst", "stop=\"1\" start=\"2\"", times, 2, 10, 0},
      // A longer pattern that ends after a shorter one but begins first.
      {"LongerBeginsFirst", "zzabcdez", mixedLengths, 1, 3, 1},
      {"ShortestAtTheVeryEnd", "zzzx", mixedLengths, 1, 4, 2},
      {"StartPastEnd", "abc", mixedLengths, 5, -1, 0},
  };
  for (const Row& row : rows) {
    std::size_t which = 99;
    EXPECT_EQ(SearchFirstOf(row.text, PreparePatterns(row.patterns, false), row.startAt, which),
              row.expected)
        << row.name;
    if (row.expected != -1) {
      EXPECT_EQ(which, row.which) << row.name;
    }
  }
  std::size_t which = 0;
  EXPECT_THROW(SearchFirstOf("abc", PreparePatterns(times, false), 0, which), Failure);
}

TEST(CanOverlapItself, BordersUnderFolding) {
  EXPECT_FALSE(CanOverlapItself("</channel>", false));
  EXPECT_FALSE(CanOverlapItself("</programme>", false));
  EXPECT_TRUE(CanOverlapItself("aa", true));
  EXPECT_TRUE(CanOverlapItself("abA", false));
  EXPECT_FALSE(CanOverlapItself("abA", true));
  EXPECT_TRUE(CanOverlapItself("<x<", true));
  EXPECT_FALSE(CanOverlapItself("x", true));
}

TEST(CopyRange, Boundaries) {
  const std::string text = "abcdefg";
  EXPECT_EQ(CopyRange(text, 5, 4), "");
  EXPECT_EQ(CopyRange(text, 3, 3), "c");
  EXPECT_EQ(CopyRange(text, 1, 7), text);
  EXPECT_EQ(CopyRange(text, 6, 9), "fg");  // cut to what lies inside
  EXPECT_EQ(CopyRange(text, 8, 9), "");
  EXPECT_EQ(CopyRange(text, -2, 1), "a");
}

// The memchr-driven search must give exactly the plain scan's answers,
// including on zero bytes, high bytes, overlaps and matches at the end.
TEST(SearchText, AgreesWithPlainScanOnRandomTexts) {
  using namespace std::string_literals;
  std::mt19937 random(20041);
  const std::string alphabet = "aAsStT<>/=\"\0\xC8\xE8 "s;
  const std::string patterns[] = {"<channel", "</programme>", "start=\"", "stop=\"", "\"",
                                  "aa",       "sTa",          "\xC8",     "a\0a"s,   "TtT"};
  for (int round = 0; round < 4000; ++round) {
    std::string text(random() % (round % 4 == 0 ? 200 : 40), ' ');
    for (char& c : text) c = alphabet[random() % alphabet.size()];
    std::string pattern = patterns[random() % std::size(patterns)];
    if (random() % 3 == 0 && !text.empty()) {  // plant a folded copy somewhere
      std::string planted = pattern;
      for (char& c : planted) {
        if (random() % 2 && ((c | 32) >= 'a' && (c | 32) <= 'z')) c ^= 32;
      }
      text.insert(random() % (text.size() + 1), planted);
    }
    const Position startAt = 1 + static_cast<Position>(random() % (text.size() + 2));
    for (const bool caseSensitive : {true, false}) {
      ASSERT_EQ(SearchText(text, pattern, startAt, caseSensitive),
                Search(text, pattern, startAt, caseSensitive))
          << "text '" << text << "' pattern '" << pattern << "' from " << startAt;
      ASSERT_EQ(SearchLastText(text, pattern, startAt, caseSensitive),
                SearchLast(text, pattern, startAt, caseSensitive))
          << "text '" << text << "' pattern '" << pattern << "' from " << startAt;
    }
  }
}

TEST(SearchInvalidUtf8, Boundaries) {
  using namespace std::string_literals;
  struct Row {
    const char* name;
    std::string text;
    Position expected;
    Position incomplete;
  };
  const Row rows[] = {
      {"Ascii", "<title>Nyheter</title>", -1, -1},
      {"TwoThreeFourBytes", "\xC3\xA5 \xE2\x82\xAC \xF0\x9F\x93\xBA", -1, -1},
      {"LargestCodePoint", "a\xF4\x8F\xBF\xBF", -1, -1},
      {"Latin1", "caf\xE9 au lait", 4, -1},
      {"StrayContinuation", "ab\x80", 3, -1},
      {"OverlongTwoBytes", "\xC0\xAF", 1, -1},
      {"OverlongC1", "\xC1\xBF", 1, -1},
      {"OverlongThreeBytes", "x\xE0\x80\xAF", 2, -1},
      {"OverlongFourBytes", "\xF0\x8F\xBF\xBF", 1, -1},
      {"Surrogate", "ok\xED\xA0\x80", 3, -1},
      {"PastU10FFFF", "\xF4\x90\x80\x80", 1, -1},
      {"F5AndAbove", "\xF5\x80\x80\x80", 1, -1},
      {"LeadThenAscii", "\xE2\x82x", 1, -1},
      {"CutShortAtTheEnd", "ab\xE2\x82", -1, 3},
      {"CutShortButAlreadyBad", "ab\xE0\x80", 3, -1},
      {"ZeroBytesAreAscii", "a\0b"s, -1, -1},
  };
  for (const Row& row : rows) {
    Position incomplete = 0;
    EXPECT_EQ(SearchInvalidUtf8(row.text, 1, incomplete), row.expected) << row.name;
    EXPECT_EQ(incomplete, row.incomplete) << row.name;
  }
  Position incomplete = 0;
  EXPECT_THROW(SearchInvalidUtf8("a", 0, incomplete), Failure);
}

// Long texts go sixteen or thirty-two bytes at a time: each fault, in
// every place and with every start, is found where the plain decoding by
// code points finds it.
TEST(SearchInvalidUtf8, AgreesWithDecodingByCodePoints) {
  using namespace std::string_literals;
  const std::string pieces[] = {"<programme start=\"20261201\">",
                                "abc",
                                "\xC3\xA5",
                                "\xE2\x82\xAC",
                                "\xF0\x9F\x93\xBA",
                                "\xD0\x9F\xD1\x80\xD0\xB8",
                                "\xE9",
                                "\x80",
                                "\xC0\xAF",
                                "\xE0\x9F\xBF",
                                "\xED\xA0\x80",
                                "\xF4\x90\x80\x80",
                                "\xF8",
                                "\xE2\x82",
                                "\xF0\x9F",
                                "\0"s,
                                " "};
  std::mt19937 random(8);
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    const std::size_t count = random() % (round % 3 == 0 ? 120 : 12);
    for (std::size_t i = 0; i < count; ++i) {
      // Mostly good text, so that a fault stands alone in a long stretch.
      const std::size_t piece = random() % 8 == 0 ? random() % std::size(pieces) : random() % 6;
      text += pieces[piece];
    }
    const Position startAt = 1 + static_cast<Position>(random() % (text.size() + 1));
    Position incomplete = 0;
    Position expectedIncomplete = 0;
    ASSERT_EQ(SearchInvalidUtf8(text, startAt, incomplete),
              reference::SearchInvalidUtf8(text, startAt, expectedIncomplete))
        << round;
    ASSERT_EQ(incomplete, expectedIncomplete) << round;
  }
}

}  // namespace
}  // namespace lindqvar
