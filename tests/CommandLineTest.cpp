// The command line as the Windows runtime splits it.
#include <gtest/gtest.h>

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
  }
}

}  // namespace
}  // namespace lindqvar
