// The lists of channels a user gives (M3U playlists and plain lists), how
// ids match them, and which input keeps a channel with --first-wins.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "ChannelLists.h"
#include "GuideShaping.h"

namespace lindqvar {
namespace {

using Kind = ElementFilter::Kind;

TEST(ReadExtinf, AttributesAndTitles) {
  struct Row {
    std::string_view line;
    std::string_view id;
    std::string_view title;
  };
  const Row rows[] = {
      {"#EXTINF:-1 tvg-id=\"bbc1.uk\" tvg-name=\"BBC One\",BBC One HD", "bbc1.uk", "BBC One HD"},
      {"#EXTINF:-1 tvg-ID='rtl.de' group-title=\"News, Germany\",RTL, live", "rtl.de", "RTL, live"},
      {"#EXTINF:-1 tvg-id=bare.id tvg-logo=x,Title", "bare.id", "Title"},
      {"#EXTINF:-1 tvg-id=bare.id,Title", "bare.id", "Title"},
      {"#EXTINF:-1 TVG-ID=\"  padded  \" ,  Spaced title  ", "padded", "Spaced title"},
      {"#EXTINF:-1 tvg-name=\"a,b\" tvg-id=\"late\",T", "late", "T"},
      {"#EXTINF:-1 tvg-id=\"\",Empty", "", "Empty"},
      {"#EXTINF:-1,No attributes", "", "No attributes"},
      {"#EXTINF:-1 tvg-id=\"first\" tvg-id=\"second\",T", "first", "T"},
      {"#EXTINF:-1 xtvg-id=\"not\" tvg-idx=\"either\",T", "", "T"},
      {"#EXTINF:-1 tvg-id=\"never closed", "never closed", ""},
      {"#EXTINF", "", ""},
  };
  for (const Row& row : rows) {
    const ExtinfEntry entry = ReadExtinf(row.line);
    EXPECT_EQ(entry.id, row.id) << row.line;
    EXPECT_EQ(entry.title, row.title) << row.line;
  }
}

// The ids a list gives, whole and read a byte at a time.
std::vector<std::string> Ids(std::string_view text, std::size_t piece, std::size_t* withoutId) {
  ChannelSelection selection;
  ChannelSelection::Reader reader(selection, "list");
  for (std::size_t at = 0; at < text.size(); at += piece) reader.Feed(text.substr(at, piece));
  if (!reader.Finish()) return {"(none)"};
  std::vector<std::string> ids;
  for (const char* probe : {"a", "b", "c", "bbc1.uk", "rtl", "RTL", "d", "x.tv", "xy.tv", "#c"}) {
    if (selection.Find(probe).kept) ids.emplace_back(probe);
  }
  if (withoutId) *withoutId = selection.Lists()[0].withoutId;
  return ids;
}

TEST(ChannelSelection, ListsOfBothKinds) {
  struct Row {
    const char* name;
    std::string_view text;
    std::vector<std::string> kept;
    std::size_t withoutId;
  };
  const Row rows[] = {
      {"Plain", "a\nb\n", {"a", "b"}, 0},
      {"PlainCrLfBlanksCommentsEmpty", "  a \r\n# c\r\n\r\n\tb\t\r\n", {"a", "b"}, 0},
      {"PlainWildcards", "x*.tv\n", {"x.tv", "xy.tv"}, 0},
      {"PlainQuestionMark", "x?.tv\n", {"xy.tv"}, 0},
      {"PlainNothingElseSpecial", "&amp;\n\"a\"\n", {}, 0},
      {"PlainCaseAsWritten", "RTL\n", {"rtl", "RTL"}, 0},
      {"PlainNoIds", "# only\n\n", {"(none)"}, 0},
      {"M3u", "#EXTM3U\n#EXTINF:-1 tvg-id=\"a\",A\nhttp://a\n", {"a"}, 0},
      {"M3uBomCrLf", "\xEF\xBB\xBF#EXTM3U\r\n#EXTINF:-1 tvg-id=\"b\",B\r\nhttp://b\r\n", {"b"}, 0},
      {"M3uSdAndHd",
       "#EXTM3U\n#EXTINF:-1 tvg-id=\"a\",A SD\nu\n#EXTINF:-1 tvg-id=\"a\",A HD\nu\n",
       {"a"},
       0},
      {"M3uWithoutHeader", "a\n#EXTINF:-1 tvg-id=\"b\",B\nc\n", {"b"}, 0},
      {"M3uEntriesWithoutId",
       "#EXTM3U\n#EXTINF:-1,X\n#EXTINF:-1 tvg-id=\"\",Y\n#EXTINF:-1 tvg-id=\"c\",C\n",
       {"c"},
       2},
      {"M3uNoIds", "#EXTM3U\n#EXTINF:-1,X\nhttp://x\n", {"(none)"}, 1},
      {"M3uUrlsAreNoIds", "#EXTM3U\na\n#EXTINF:-1 tvg-id=\"b\",B\n", {"b"}, 0},
  };
  for (const Row& row : rows) {
    for (const std::size_t piece : {std::size_t{1}, std::size_t{1000}}) {
      std::size_t withoutId = 0;
      EXPECT_EQ(Ids(row.text, piece, &withoutId), row.kept) << row.name << " by " << piece;
      if (row.kept != std::vector<std::string>{"(none)"}) {
        EXPECT_EQ(withoutId, row.withoutId) << row.name;
      }
    }
  }
}

// Exact bytes first; letter case ignored only when nothing matches
// exactly; and what the lists' warnings then say.
TEST(ChannelSelection, MatchingAndWarnings) {
  ChannelSelection selection;
  for (const auto& [name, text] :
       {std::pair{"one.m3u",
                  "#EXTM3U\n#EXTINF:-1 tvg-id=\"rtl\",rtl\n#EXTINF:-1 tvg-id=\"RTL\",RTL\n"
                  "#EXTINF:-1 tvg-id=\"Bbc1.uk\",BBC\n#EXTINF:-1 tvg-id=\"gone.tv\",Gone\n"},
        std::pair{"two.txt", "sv*.se\nmissing.tv\nrtl\n"}}) {
    ChannelSelection::Reader reader(selection, name);
    reader.Feed(text);
    ASSERT_TRUE(reader.Finish());
  }
  struct Row {
    std::string_view id;
    bool kept;
    bool caseOnly;
  };
  const Row rows[] = {
      {"rtl", true, false},     {"RTL", true, false},    {"Rtl", true, true},
      {"bbc1.uk", true, true},  {"BBC1.UK", true, true}, {"Bbc1.uk", true, false},
      {"svt1.se", true, false}, {"SVT2.SE", true, true}, {"svt1.dk", false, false},
      {"gone", false, false},   {"", false, false},      {"bbc1.uk ", false, false},
  };
  for (const Row& row : rows) {
    const ChannelSelection::Match match = selection.Find(row.id);
    EXPECT_EQ(match.kept, row.kept) << row.id;
    EXPECT_EQ(match.caseOnly, row.caseOnly) << row.id;
  }
  EXPECT_EQ(selection.Warnings(),
            (std::vector<std::string>{
                "\"one.m3u\" names 1 channel that no input has, first \"gone.tv\"",
                "3 channel ids match \"one.m3u\" only when letter case is ignored, first \"Rtl\" "
                "for \"rtl\"",
                "\"two.txt\" names 1 channel that no input has, first \"missing.tv\"",
                "1 channel id matches \"two.txt\" only when letter case is ignored, first "
                "\"SVT2.SE\" for \"sv*.se\""}));
}

// With --first-wins, each id belongs to the first input with a programme
// of it, else the first with a channel of it, which keeps only its first
// channel element of it.
TEST(GuideShaping, FirstWins) {
  struct Element {
    std::uint32_t input;
    Kind kind;
    const char* id;
  };
  // In each input's order: what the inputs hold.
  const std::vector<Element> elements = {
      {0, Kind::kChannel, "a"},   {0, Kind::kChannel, "b"}, {0, Kind::kProgramme, "a"},
      {1, Kind::kChannel, "a"},   {1, Kind::kChannel, "b"}, {1, Kind::kProgramme, "a"},
      {1, Kind::kProgramme, "b"}, {1, Kind::kChannel, "c"}, {2, Kind::kChannel, "c"},
      {2, Kind::kChannel, "c"},   {2, Kind::kChannel, "d"}, {2, Kind::kProgramme, "c"},
  };
  GuideShaping shaping(std::nullopt, true);
  const std::vector<std::string> names = {"one.xml", "two.xml", "three.xml"};
  std::vector<std::string> lines;
  for (std::uint32_t input = 0; input < 3; ++input) {
    for (const Element& element : elements) {
      if (element.input == input) shaping.Saw(input, element.kind, element.id);
    }
    if (const auto line = shaping.FinishInput(input, names)) lines.push_back(*line);
  }
  // three.xml takes c from two.xml, a later input: two.xml hears of a alone.
  EXPECT_EQ(lines, (std::vector<std::string>{"\"two.xml\" gives up 1 channel to earlier inputs, "
                                             "first \"a\" to \"one.xml\""}));
  // a: programmes in one.xml; b: programmes only in two.xml, which takes it
  // from one.xml; c: its first channel in two.xml, its programmes in
  // three.xml, which keeps its first channel element of it alone; d: only
  // in three.xml.
  std::string kept;
  for (const Element& element : elements) {
    kept += shaping.Keeps(element.input, element.kind, element.id) ? 'k' : '-';
  }
  EXPECT_EQ(kept, "k-k-k-k-k-kk");
  EXPECT_TRUE(shaping.Keeps(0, Kind::kProgramme, std::nullopt));  // no id, no list: kept
}

// Programmes of a guide sorted by time come in turns among its channels;
// the decisions kept for recent ids must never answer for another id or
// another input, however many ids share their places.
TEST(GuideShaping, ProgrammesInTurnsAmongManyChannels) {
  GuideShaping shaping(std::nullopt, true);
  const auto id = [](int i) { return "ch" + std::to_string(i) + ".example.tv"; };
  constexpr int kIds = 1000;
  for (int i = 0; i < kIds; i += 2) shaping.Saw(0, Kind::kProgramme, id(i));
  static_cast<void>(shaping.FinishInput(0, {"one.xml", "two.xml"}));
  for (int i = 0; i < kIds; ++i) shaping.Saw(1, Kind::kProgramme, id(i));
  static_cast<void>(shaping.FinishInput(1, {"one.xml", "two.xml"}));
  // The even ids belong to one.xml, the odd ones to two.xml.
  std::mt19937 random(7);
  for (int round = 0; round < 20000; ++round) {
    const int i = static_cast<int>(random() % (round % 2 ? 40 : kIds));
    const auto input = static_cast<std::uint32_t>(random() % 2);
    ASSERT_EQ(shaping.Keeps(input, Kind::kProgramme, id(i)), (i % 2 == 0) == (input == 0))
        << id(i) << " in input " << input;
  }
}

}  // namespace
}  // namespace lindqvar
