// The warnings about inputs that break the joined guide: each fault gives
// its one line, its absence none, and the lines are the same whatever size
// of window the input is read through.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Buffered.h"
#include "ListingChecks.h"

namespace lindqvar {
namespace {

using namespace std::string_literals;

// The warnings for inputs read in order, each through windows of readSize
// new bytes (all of it at once for 0).
std::vector<std::string> Warnings(const std::vector<std::pair<std::string, std::string>>& inputs,
                                  std::size_t readSize, std::size_t idMemory = SIZE_MAX) {
  KnownChannels known(idMemory);
  std::vector<std::string> lines;
  for (const auto& [name, text] : inputs) {
    known.inputs.push_back(name);
    ListingScan scan;
    scan.checks.known = &known;
    scan.checks.self = static_cast<std::uint32_t>(known.inputs.size() - 1);
    if (readSize == 0) {
      scan.Scan(Window{text, 0});
    } else {
      testing::ReadThroughBuffer(text, {0, text.size()}, readSize,
                                 [&](Window window) { scan.Scan(window); });
    }
    scan.checks.Finish(text.size());
    for (std::string& line : ListingWarnings(name, scan.checks, scan.channels.section,
                                             scan.programmes.section, known)) {
      lines.push_back(std::move(line));
    }
  }
  return lines;
}

std::string Channel(const std::string& id) {
  return "<channel id=\"" + id + "\"><display-name>" + id + "</display-name></channel>\n";
}

const std::string kProgramme =
    "<programme start=\"20261201070000 +0100\" channel=\"a\"><title>Nyheter</title></programme>\n";

std::string Listing(const std::string& declaration, const std::string& channels,
                    const std::string& programmes) {
  return declaration + "<tv>\n" + channels + programmes + "</tv>\n";
}

TEST(ListingWarnings, EachFaultItsLine) {
  const std::string utf8 = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  const std::string good = Listing(utf8, Channel("a") + Channel("b"), kProgramme);
  struct Row {
    const char* name;
    std::vector<std::pair<std::string, std::string>> inputs;
    std::vector<std::string> expected;
  };
  const Row rows[] = {
      {"NoFault", {{"a.xml", good}}, {}},
      {"NoDeclaration", {{"a.xml", Listing("", Channel("a"), "\xC3\xA5" + kProgramme)}}, {}},
      {"SingleQuotedUtf8",
       {{"a.xml", Listing("<?xml version='1.0' encoding='utf-8'?>", Channel("a"), kProgramme)}},
       {}},
      {"UsAscii",
       {{"a.xml", Listing("<?xml version=\"1.0\" encoding=\"us-ascii\" ?>", Channel("a"), "")}},
       {}},
      {"DeclaredLatin1",
       {{"se.xml", Listing("\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>",
                           Channel("svt1"), "<programme>caf\xE9</programme>")}},
       {"\"se.xml\" is declared ISO-8859-1, but the joined guide is read as UTF-8"}},
      {"Latin1Undeclared",
       {{"se.xml", Listing("", Channel("a"), "<programme>caf\xE9</programme>")}},
       {"\"se.xml\" is not valid UTF-8 at byte " + std::to_string(5 + Channel("a").size() + 14)}},
      {"Overlong",
       {{"a.xml", Listing(utf8, "<channel id=\"\xC0\xBC\"></channel>", "")}},
       {"\"a.xml\" is not valid UTF-8 at byte " + std::to_string(utf8.size() + 18)}},
      {"Surrogate",
       {{"a.xml", Listing("", Channel("a"), "<programme>\xED\xA0\x80</programme>")}},
       {"\"a.xml\" is not valid UTF-8 at byte " + std::to_string(5 + Channel("a").size() + 11)}},
      {"CutShortAtTheSectionsEnd",
       {{"a.xml", Listing("", Channel("a"), "<programme>\xE2\x82</programme>")}},
       {"\"a.xml\" is not valid UTF-8 at byte " + std::to_string(5 + Channel("a").size() + 11)}},
      {"CutShortByTheInputsEnd", {{"a.xml", "<channel></channel>\xE2\x82"}}, {}},
      {"BadBytesOutsideTheSections",
       {{"a.xml", "<!-- caf\xE9 -->" + Channel("a") + "<!-- \xFF -->"}},
       {}},
      {"RepeatedAcrossInputs",
       {{"one.xml", good},
        {"two.xml", Listing(utf8, Channel("c") + Channel("b") + Channel("a"), kProgramme)}},
       {"\"two.xml\" repeats 2 channel ids given before, first \"b\" from \"one.xml\""}},
      {"RepeatedWithinOneInput",
       {{"one.xml", Listing("", Channel("a") + Channel("b") + Channel("a"), "")}},
       {"\"one.xml\" repeats 1 channel id given before, first \"a\" from \"one.xml\""}},
      {"IdsMatchedAsBytes",
       {{"one.xml",
         Listing("", Channel("bbc1.uk") + Channel("BBC1.uk") + Channel("bbc1.uk "), "")}},
       {}},
      {"IdInAnyAttributePlace",
       {{"one.xml",
         "<channel\n  id = 'x' lang=\"en\"></channel><channel data-id=\"x\" id=\"x\"></channel>"}},
       {"\"one.xml\" repeats 1 channel id given before, first \"x\" from \"one.xml\""}},
      {"ProgrammesAmongChannels",
       {{"g.xml", Listing("", Channel("a") + kProgramme + Channel("b"), kProgramme)}},
       {"\"g.xml\" has programmes among its channels; the joined guide holds them twice"}},
      {"ChannelsAmongProgrammes",
       {{"g.xml", Listing("", "", kProgramme + "<channel id=\"z\"/>" + kProgramme)}},
       {"\"g.xml\" has channels among its programmes; the joined guide holds them twice"}},
      {"ChannelsAllAfterProgrammes", {{"g.xml", Listing("", "", kProgramme) + Channel("a")}}, {}},
      {"AllThreeInOrder",
       {{"one.xml", good},
        {"x.xml", Listing("<?xml version=\"1.0\" encoding=\"windows-1252\"?>",
                          Channel("a") + kProgramme + Channel("b"), kProgramme)}},
       {"\"x.xml\" is declared windows-1252, but the joined guide is read as UTF-8",
        "\"x.xml\" repeats 2 channel ids given before, first \"a\" from \"one.xml\"",
        "\"x.xml\" has programmes among its channels; the joined guide holds them twice"}},
      {"LongIdAndLongAttributeBeforeIt",
       {{"one.xml", Listing("",
                            "<channel id=\"" + std::string(1500, 'i') + "\"></channel>" +
                                "<channel data-x=\"" + std::string(2000, '>') + "\" id=\"" +
                                std::string(1500, 'i') + "\"></channel>",
                            "")}},
       {"\"one.xml\" repeats 1 channel id given before, first \"" + std::string(200, 'i') +
        "...\" from \"one.xml\""}},
      {"LongIdsAlikeInTheirFirstBytes",
       {{"one.xml",
         Listing("", Channel(std::string(3000, 'i') + "a") + Channel(std::string(3000, 'i') + "b"),
                 "")}},
       {}},
      {"LongDeclaration",
       {{"se.xml", Listing("<?xml version=\"1.0\" standalone=\"" + std::string(3000, ' ') +
                               "yes\" encoding=\"ISO-8859-1\"?>",
                           Channel("a"), "")}},
       {"\"se.xml\" is declared ISO-8859-1, but the joined guide is read as UTF-8"}},
      {"EncodingPastTheFirst64KiB",
       {{"se.xml",
         Listing("<?xml version=\"1.0\"" + std::string(70000, ' ') + "encoding=\"ISO-8859-1\"?>",
                 Channel("a"), "")}},
       {}},
      {"ControlBytesShown",
       {{"one\r\n.xml", Listing("<?xml version=\"1.0\" encoding=\"x\x1B[2J\"?>",
                                Channel("a\r\nxml written to 'x' sucessfully\t\x7F") +
                                    Channel("a\r\nxml written to 'x' sucessfully\t\x7F"),
                                "")}},
       {"\"one\\r\\n.xml\" is declared x\\x1B[2J, but the joined guide is read as UTF-8",
        "\"one\\r\\n.xml\" repeats 1 channel id given before, first "
        "\"a\\r\\nxml written to 'x' sucessfully\\t\\x7F\" from \"one\\r\\n.xml\""}},
      {"NothingTakenNothingSaid",
       {{"page.html", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><html>\xE9</html>"}},
       {}},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Warnings(row.inputs, 0), row.expected) << row.name;
    ASSERT_EQ(Warnings(row.inputs, 1000), row.expected) << row.name << " by 1000";
    // Every fault also where a window's end cuts it (in the longest rows,
    // where a few sizes do).
    for (std::size_t readSize = 1; readSize <= 40;
         readSize += row.inputs[0].second.size() > 10000 ? 13 : 1) {
      ASSERT_EQ(Warnings(row.inputs, readSize), row.expected) << row.name << " by " << readSize;
    }
  }
}

// When memory for the ids runs out, the check stops with one line, for the
// input it ran out in, and nothing more of ids after it.
TEST(ListingWarnings, TooManyChannelIds) {
  std::string many;
  for (int i = 0; i < 100000; ++i) many += Channel("c" + std::to_string(i));
  const std::vector<std::pair<std::string, std::string>> inputs = {
      {"few.xml", Listing("", Channel("a") + Channel("a"), "")},
      {"many.xml", Listing("", many, "")},
      {"again.xml", Listing("", many, "")}};
  for (const std::size_t readSize : {std::size_t{0}, std::size_t{4093}}) {
    EXPECT_EQ(Warnings(inputs, readSize, std::size_t{3} << 19),
              (std::vector<std::string>{
                  "\"few.xml\" repeats 1 channel id given before, first \"a\" from \"few.xml\"",
                  "too many channel ids to check for repeats after \"many.xml\""}));
    EXPECT_EQ(
        Warnings(inputs, readSize).back(),
        "\"again.xml\" repeats 100000 channel ids given before, first \"c0\" from \"many.xml\"");
  }
}

}  // namespace
}  // namespace lindqvar
