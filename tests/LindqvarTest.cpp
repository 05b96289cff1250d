#include <gtest/gtest.h>

#include <string>

#include "Failure.h"
#include "Lindqvar.h"
#include "ProgrammeTimes.h"
#include "Sections.h"

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

TEST(ConvertListingTime, AcceptedForms) {
  using namespace std::string_literals;
  struct Row {
    std::string value;
    std::string_view expected;
  };
  const Row rows[] = {
      {"20040921193000 +0000", "20040921193000 +0100"},  // old suffix replaced
      {"20040921200000", "20040921200000 +0100"},
      {"20041201070500", "20041201070500"},        // winter: no suffix
      {"20041201070542 +0100", "20041201070500"},  // seconds become 00
      {"200412010705", "20041201070500"},
      {"2004120107053", "20041201070500"},   // seconds from the 13th byte alone
      {"20041201070", "20041201070000"},     // minute from the 11th byte alone
      {"$7D41201070500", "20041201070500"},  // hexadecimal year
      {"x7d41201070500", "20041201070500"},
      {"X7D41201070500", "20041201070500"},
      {"0x7D1201070500", "01251201070500"},
      {" 2001201070500", "02001201070500"},  // leading blanks
      {"+2001201070500", "02001201070500"},
      {"-001 1201070500", "655350120107000"},          // low 16 bits of -1; " 1" is a month
      {"2004-1010000000", "20046553501000000 +0100"},  // month -1 is judged like October
      {"20\0z1201070500"s, "00201201070500"},          // a zero byte ends the field
      {"20041201070500\0junk"s, "20041201070500"},
  };
  for (const Row& row : rows) {
    try {
      EXPECT_EQ(ConvertListingTime(row.value).View(), row.expected) << row.value;
    } catch (const Failure& failure) {
      ADD_FAILURE() << row.value << ": " << failure.message;
    }
  }
}

TEST(ConvertListingTime, RejectedForms) {
  using namespace std::string_literals;
  struct Row {
    std::string value;
    std::string message;
  };
  const Row rows[] = {
      {"200412010705 +0100", "' +' is not a valid integer value"},
      {"2004-12-01T07:05", "'2-' is not a valid integer value"},
      {"abcd1201070500", "'abcd' is not a valid integer value"},
      {"    1201070500", "'    ' is not a valid integer value"},  // blanks alone
      {"+   1201070500", "'+   ' is not a valid integer value"},  // sign alone
      {"$   1201070500", "'$   ' is not a valid integer value"},  // prefix alone
      {"0x  1201070500", "'0x  ' is not a valid integer value"},
      {"1 001201070500", "'1 00' is not a valid integer value"},  // blank after digit
      {"12ab1201070500", "'12ab' is not a valid integer value"},  // hex needs its prefix
      {"\0"
       "0041201070500"s,
       "'\0"
       "004' is not a valid integer value"s},
      {"20041201070\xC8", "'0\xC8' is not a valid integer value"},
      {"", "'' is not a valid listing time"},
      {"2004120107", "'2004120107' is not a valid listing time"},
  };
  for (const Row& row : rows) {
    try {
      ConvertListingTime(row.value);
      ADD_FAILURE() << "accepted " << row.value;
    } catch (const Failure& failure) {
      EXPECT_STREQ(failure.kind, "EConvertError");
      EXPECT_EQ(failure.message, row.message);
    }
  }
}

TEST(RewriteProgrammeTimes, Table) {
  struct Row {
    const char* name;
    std::string section;
    std::string expected;
  };
  const Row rows[] = {
      {"NoStartPassesUnchanged", "<programme channel=\"a\"></programme>",
       "<programme channel=\"a\"></programme>"},
      {"EmptySection", "", ""},
      {"StartAndStop",
       "<programme start=\"20040921193000 +0000\" stop=\"20040921200000 +0000\" c=\"x\">",
       "<programme start=\"20040921193000 +0100\" stop=\"20040921200000 +0100\" c=\"x\">"},
      {"TwoProgrammes",
       "<programme start=\"200412010705\" stop=\"200412010800\"/>\n"
       "<programme start=\"200412010800\" stop=\"200412010900\"/>",
       "<programme start=\"20041201070500\" stop=\"20041201080000\"/>\n"
       "<programme start=\"20041201080000\" stop=\"20041201090000\"/>"},
      {"LastProgrammeWithoutStop",
       "<programme start=\"20041201070500\" stop=\"20041201080000\"/>"
       "<programme start=\"20041201080000\"/>tail",
       "<programme start=\"20041201070500\" stop=\"20041201080000\"/>"
       "<programme start=\"20041201080000\"/>tail"},
      {"StoplessProgrammesAllConverted",
       "<p start=\"200412010705\"/><p start=\"200412010800\"/><p start=\"200412010900\" "
       "stop=\"200412011000\"/>",
       "<p start=\"20041201070500\"/><p start=\"20041201080000\"/><p start=\"20041201090000\" "
       "stop=\"20041201100000\"/>"},
      {"PdcStartAfterStopLeavesTheNextProgrammeAlone",
       "<p start=\"200412010705\" stop=\"200412010800\" pdc-start=\"200412010700\"/>"
       "<p start=\"200412010800\" stop=\"200412010900\"/>",
       "<p start=\"20041201070500\" stop=\"20041201080000\" pdc-start=\"20041201070000\"/>"
       "<p start=\"20041201080000\" stop=\"20041201090000\"/>"},
      {"StopBeforeStart", "<p stop=\"200406010800\" start=\"200406010700\">",
       "<p stop=\"20040601080000 +0100\" start=\"20040601070000 +0100\">"},
      {"NamesInCapitals", "<p START=\"200412010705\" Stop=\"200406010800\">",
       "<p START=\"20041201070500\" Stop=\"20040601080000 +0100\">"},
      {"ValueAtVeryEnd", "start=\"200412010705\"", "start=\"20041201070500\""},
      {"HighBytesAroundPassUnchanged", "<p start=\"200412010705\"><title>K\xC3\xA4rlek</title></p>",
       "<p start=\"20041201070500\"><title>K\xC3\xA4rlek</title></p>"},
  };
  for (const Row& row : rows) {
    std::string out = "kept:";
    RewriteProgrammeTimes(row.section, out);
    EXPECT_EQ(out, "kept:" + row.expected) << row.name;
  }
}

TEST(RewriteProgrammeTimes, UnconvertibleValuesRaise) {
  struct Row {
    std::string section;
    std::string message;
  };
  const Row rows[] = {
      {"<p start=\"200412010705 +0100\">", "' +' is not a valid integer value"},
      {"<p start=\"\">", "'' is not a valid listing time"},
      {"<p start=\"200412010705\" stop=\"\">", "'' is not a valid listing time"},
      {"<p start=\"20041201", "Listing time '20041201' has no closing quote"},
      {"<p start=\"", "Listing time '' has no closing quote"},
  };
  for (const Row& row : rows) {
    std::string out;
    try {
      RewriteProgrammeTimes(row.section, out);
      ADD_FAILURE() << "accepted " << row.section;
    } catch (const Failure& failure) {
      EXPECT_STREQ(failure.kind, "EConvertError");
      EXPECT_EQ(failure.message, row.message);
    }
  }
}

}  // namespace
}  // namespace lindqvar
