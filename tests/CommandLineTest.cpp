// The command line as the Windows runtime splits it.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "CommandLine.h"

namespace lindqvar {
namespace {

bool NoLeadBytes(unsigned char) {
  return false;
}

// A made-up code page whose characters of two bytes begin with 0x81 and may
// end in any byte, so that stepping over them whole shows.
bool LeadByte81(unsigned char c) {
  return c == 0x81;
}

TEST(SplitCommandLine, Table) {
  using Args = std::vector<std::string>;
  struct Row {
    const char* name;
    std::string line;
    Args expected;
    LeadByteTest isLeadByte = NoLeadBytes;
  };
  const Row rows[] = {
      {"Plain", "Lindqvar.exe a.xml -t out.xml", {"Lindqvar.exe", "a.xml", "-t", "out.xml"}},
      {"QuotedBlanks",
       "\"C:\\Program Files\\Lindqvar.exe\" \"my guide.xml\" out.xml",
       {"C:\\Program Files\\Lindqvar.exe", "my guide.xml", "out.xml"}},
      {"QuoteInsideArgument", "p a\"b c\"d e", {"p", "ab cd", "e"}},
      {"EmptyQuotesInside", "p a\"\"b", {"p", "ab"}},
      {"PairAtStartSkipped", "p \"\" a \"\"\"\" b", {"p", "a", "b"}},
      {"PairBeforeText", "p \"\"a", {"p", "a"}},
      {"ControlBytesSeparate",
       "p a\tb\x01"
       "c\r\nd",
       {"p", "a", "b", "c", "d"}},
      // No escapes: a backslash is text, even before a closing quote.
      {"BackslashBeforeClosingQuote", "p \"C:\\EPG\\\" o", {"p", "C:\\EPG\\", "o"}},
      {"UnclosedQuote", "p \"a b", {"p", "a b"}},
      {"QuoteOpensToTheEnd", "p a \" b", {"p", "a", " b"}},
      {"EmptyArgumentEndsTheList", "p a \"", {"p", "a"}},
      {"NothingAfterName", "p   ", {"p"}},
      {"ZeroByteEndsTheLine", std::string("p a\0b", 5), {"p", "a"}},
      {"HighBytesAreText", "p caf\xE9.xml", {"p", "caf\xE9.xml"}},
      {"TwoByteCharacterHidesQuote", "p \"\x81\"x\" y", {"p", "\x81\"x", "y"}, LeadByte81},
      {"TwoByteCharacterHidesBlank", "p a\x81 b c", {"p", "a\x81 b", "c"}, LeadByte81},
      {"LeadByteAtTheEnd", "p a\x81", {"p", "a\x81"}, LeadByte81},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(SplitCommandLine(row.line, row.isLeadByte), row.expected) << row.name;
    // The wide command line, split by the same rule, each byte a unit.
    if (row.isLeadByte != NoLeadBytes) continue;
    const auto wide = [](const std::string& bytes) {
      return std::u16string(bytes.begin(), bytes.end());
    };
    std::vector<std::u16string> expected;
    for (const std::string& arg : row.expected) expected.push_back(wide(arg));
    EXPECT_EQ(SplitWideCommandLine(wide(row.line)), expected) << row.name;
  }
  // Characters outside any ANSI code page are text like any other.
  EXPECT_EQ(SplitWideCommandLine(u"p \"\u0433\u0438\u0434 1.xml\" \u65b0\u95fb.xml"),
            (std::vector<std::u16string>{u"p", u"\u0433\u0438\u0434 1.xml", u"\u65b0\u95fb.xml"}));
}

// Any UTF-16, lone surrogates included, comes back from its UTF-8 bytes as
// it was; and those bytes are UTF-8's where the text is well formed.
TEST(Utf8FromUtf16, RoundTrips) {
  std::mt19937 random(16);
  const char16_t units[] = {u'a',   u'/',   u'\u00E9', u'\u0433', u'\u65B0', 0xD83D,
                            0xDE00, 0xDC00, 0xD800,    0xFFFD,    0xFFFF,    1};
  for (int round = 0; round < 20000; ++round) {
    std::u16string text;
    for (std::size_t n = random() % 12; n > 0; --n) text += units[random() % std::size(units)];
    ASSERT_EQ(Utf16FromUtf8(Utf8FromUtf16(text)), text);
  }
  EXPECT_EQ(Utf8FromUtf16(u"caf\u00E9 \u0433 \U0001F600"), "caf\xC3\xA9 \xD0\xB3 \xF0\x9F\x98\x80");
  EXPECT_EQ(Utf8FromUtf16(std::u16string(1, char16_t{0xD800})), "\xED\xA0\x80");
  // Bytes that are no UTF-8 (a stray continuation, an overlong form, a cut
  // sequence) each stand for U+FFFD.
  EXPECT_EQ(Utf16FromUtf8("a\x80"
                          "b\xC0\xAF"
                          "c\xE2\x82"),
            u"a\uFFFDb\uFFFD\uFFFDc\uFFFD\uFFFD");
}

}  // namespace
}  // namespace lindqvar
