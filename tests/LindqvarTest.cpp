#include <gtest/gtest.h>

#include <string>

#include "Lindqvar.h"

namespace lindqvar {
namespace {

struct SectionCase {
  const char* name;
  std::string text;
  std::string channels;
  std::string programmes;
};

const std::string kUsualListing =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
    "<!DOCTYPE tv SYSTEM \"xmltv.dtd\">\r\n"
    "<tv generator-info-name=\"grabber\">\r\n"
    "  <channel id=\"one\">\r\n    <display-name>One</display-name>\r\n  </channel>\r\n"
    "  <channel id=\"two\"><display-name>Two</display-name></channel>\r\n"
    "  <programme start=\"20041201070500\" channel=\"one\"><title>A</title></programme>\r\n"
    "  <programme start=\"20041201080000\" channel=\"two\"><title>B</title></programme>\r\n"
    "</tv>\r\n";

TEST(ExtractSection, Table) {
  const SectionCase cases[] = {
      {"UsualLayoutDropsProloguesAndIndentationOutside", kUsualListing,
       "<channel id=\"one\">\r\n    <display-name>One</display-name>\r\n  </channel>\r\n"
       "  <channel id=\"two\"><display-name>Two</display-name></channel>",
       "<programme start=\"20041201070500\" channel=\"one\"><title>A</title></programme>\r\n"
       "  <programme start=\"20041201080000\" channel=\"two\"><title>B</title></programme>"},
      {"ChannelsOnly", "<tv><channel id=\"a\"></channel></tv>", "<channel id=\"a\"></channel>", ""},
      {"ProgrammesOnly", "<tv><programme/>x</programme></tv>", "", "<programme/>x</programme>"},
      {"EmptyText", "", "", ""},
      {"NoMarkersAtAll", "<tv>nothing here</tv>", "", ""},
      {"EmptyElementChannelsOnly", "<channel id=\"a\"/><channel id=\"b\"/>", "", ""},
      {"EmptyElementChannelInBetweenIsKept",
       "<channel id=\"a\"/><channel id=\"b\"></channel><channel id=\"c\"/>",
       "<channel id=\"a\"/><channel id=\"b\"></channel>", ""},
      {"MarkersInCapitalsAndLongerNames", "<CHANNELS x></Channel>", "<CHANNELS x></Channel>", ""},
      {"ChannelAfterProgrammesSpansThem",
       "<channel a></channel><programme p></programme><channel b></channel>",
       "<channel a></channel><programme p></programme><channel b></channel>",
       "<programme p></programme>"},
      {"ChannelsAllAfterProgrammes", "<programme p></programme><channel b></channel>",
       "<channel b></channel>", "<programme p></programme>"},
      {"ClosingMarkerBeforeOpeningIsIgnored", "</channel><channel a>", "", ""},
      {"ClosingMarkerCutOffAtEnd", "<channel a></channel><channel b></chan",
       "<channel a></channel>", ""},
      {"SectionEndsAtLastByte", "<channel></channel>", "<channel></channel>", ""},
  };
  for (const SectionCase& c : cases) {
    EXPECT_EQ(ExtractSection(c.text, "<channel", "</channel>"), c.channels) << c.name;
    EXPECT_EQ(ExtractSection(c.text, "<programme", "</programme>"), c.programmes) << c.name;
  }
}

TEST(ListingHeader, OpensTvElementWithFixedAttributes) {
  const std::string_view prefix =
      "<?xml version=\"1.0\"?><tv date=\"20040921\" source-info-name=\"Lindqvar\" "
      "generator-info-name=\"Lindqvar\" generator-info-url=\"https://";
  EXPECT_TRUE(ListingHeader.starts_with(prefix));
  EXPECT_TRUE(ListingHeader.ends_with("\">"));
  EXPECT_EQ(ListingHeader.find_first_of("\r\n"), std::string_view::npos);
}

}  // namespace
}  // namespace lindqvar
