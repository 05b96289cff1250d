// The fast search, the section scan and the rewriting, whole and through
// buffers of every small size, against the simple reference versions, on
// random texts and on generated listings.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "Buffered.h"
#include "ListingGenerator.h"
#include "Reference.h"

namespace lindqvar {
namespace {

using namespace std::string_literals;

// Pieces that make the rules work hard: markers in several letter cases,
// near-misses, times good and bad, zero bytes and bytes of 128 and more.
const std::string kPieces[] = {
    "<channel",
    "</channel>",
    "<CHANNEL ",
    "</ChAnNeL>",
    "</channe",
    "<programme",
    "</programme>",
    "</PROGRAMME>",
    "</programm",
    " start=\"",
    " START=\"",
    " stop=\"",
    " Stop=\"",
    "pdc-start=\"",
    "\"",
    "20041201070500",
    "200406010700",
    "20040921193000 +0000",
    "2004032802",
    " +0100",
    "$7D4",
    "\xC8\xE8",
    "\0"s,
    "x",
    "<",
    ">",
    "/",
    "  ",
    "\r\n",
};

std::string RandomText(std::mt19937& random) {
  std::string text;
  for (std::size_t count = random() % 40; count > 0; --count) {
    text += kPieces[random() % std::size(kPieces)];
  }
  return text;
}

// Either the same text, or the same failure.
struct Outcome {
  std::string text;
  std::string failure;
  bool operator==(const Outcome&) const = default;
};

template <typename Rewrite>
Outcome Run(Rewrite rewrite) {
  try {
    return {rewrite(), ""};
  } catch (const Failure& failure) {
    return {"", std::string(failure.kind) + ": " + failure.message};
  }
}

// The first pass, the rewriting of the second and the whole-text rules all
// agree with the reference, whatever the size of the reads.
void ExpectSameEverywhere(std::string_view text, std::size_t readSize) {
  using testing::Cut;
  const ListingScan scan = testing::ScanThroughBuffer(text, readSize);
  const std::string_view channels = reference::ExtractSection(text, "<channel", "</channel>");
  const std::string_view programmes = reference::ExtractSection(text, "<programme", "</programme>");
  ASSERT_EQ(Cut(text, scan.channels.section), channels) << text;
  ASSERT_EQ(Cut(text, scan.programmes.section), programmes) << text;
  ASSERT_EQ(ExtractSection(text, "<channel", "</channel>"), channels) << text;
  ASSERT_EQ(ExtractSection(text, "<programme", "</programme>"), programmes) << text;

  const Outcome plain = Run([&] { return reference::RewriteProgrammeTimes(programmes); });
  const std::optional<Failure> checked = scan.TimesFailure();
  ASSERT_EQ(checked ? std::string(checked->kind) + ": " + checked->message : "", plain.failure)
      << text;
  const Outcome whole = Run([&] {
    std::string out;
    RewriteProgrammeTimes(programmes, out);
    return out;
  });
  ASSERT_EQ(whole, plain) << text;
  const Outcome buffered =
      Run([&] { return testing::RewriteThroughBuffer(text, scan.programmes.section, readSize); });
  ASSERT_EQ(buffered, plain) << text;
}

TEST(Differential, RandomTexts) {
  std::mt19937 random(921);
  for (int round = 0; round < 20000; ++round) {
    const std::string text = RandomText(random);
    ExpectSameEverywhere(text, 1 + round % 64);
    const Position startAt = 1 + static_cast<Position>(random() % (text.size() + 2));
    for (const std::vector<std::string_view>& set :
         {std::vector<std::string_view>{"start=\"", "stop=\""},
          {"<", "\"", "x"},
          {"</channel>", "channel", "\r\n", " +0100"},
          {"aa"}}) {
      for (const bool caseSensitive : {true, false}) {
        std::size_t which = 99;
        std::size_t expectedWhich = 99;
        ASSERT_EQ(SearchFirstOf(text, PreparePatterns(set, caseSensitive), startAt, which),
                  reference::SearchFirstOf(text, set, startAt, caseSensitive, expectedWhich))
            << text;
        ASSERT_EQ(which, expectedWhich) << text;
      }
    }
    for (const std::string_view pattern : {"</channel>", "start=\"", "\"", "<"}) {
      for (const bool caseSensitive : {true, false}) {
        ASSERT_EQ(SearchText(text, pattern, startAt, caseSensitive),
                  reference::Search(text, pattern, startAt, caseSensitive));
        ASSERT_EQ(SearchLastText(text, pattern, startAt, caseSensitive),
                  reference::SearchLast(text, pattern, startAt, caseSensitive));
      }
    }
  }
}

// The element filter through windows of every size keeps what the plain
// version keeps, deciding alike element by element.
std::string ReferenceFilter(std::string_view text, std::string& decisions) {
  return reference::FilterElements(text, [&](bool programme, const std::optional<std::string>& id) {
    const bool keep = testing::SomeKept(programme, id);
    decisions += keep ? 'k' : 'd';
    return keep;
  });
}

TEST(Differential, ElementFilter) {
  std::mt19937 random(1024);
  static const std::string kTagPieces[] = {"<channel",
                                           "<programme",
                                           "</channel>",
                                           "</programme>",
                                           "<CHANNEL ",
                                           "<Programme\t",
                                           " id=\"a\"",
                                           " id='b'",
                                           " channel=\"a\"",
                                           " channel = 'a&amp;b'",
                                           " channel=\"&#x61;\"",
                                           " channel=\"&#97;\"",
                                           " id=\"&lt;\"",
                                           " id=&",
                                           "=\"x\"",
                                           " x",
                                           "/>",
                                           ">",
                                           "/",
                                           "\"",
                                           "'",
                                           "<channels>",
                                           "<!-- c -->",
                                           "\n  ",
                                           "text",
                                           "&amp",
                                           ";",
                                           "<programmes "};
  for (int round = 0; round < 6400; ++round) {
    std::string text;
    for (std::size_t count = random() % 30; count > 0; --count) {
      text += kTagPieces[random() % std::size(kTagPieces)];
    }
    std::string expectedDecisions;
    const std::string expected = ReferenceFilter(text, expectedDecisions);
    for (const std::size_t readSize : {std::size_t{1} + round % 64, std::size_t{1} << 20}) {
      std::string decisions;
      ASSERT_EQ(testing::FilterThroughBuffer(text, readSize, decisions), expected) << text;
      ASSERT_EQ(decisions, expectedDecisions) << text;
    }
  }
  std::string listing;
  GenerateListing(200000, 5, [&](std::string_view piece) { listing += piece; });
  std::string decisions;
  const std::string expected = ReferenceFilter(listing, decisions);
  for (const std::size_t readSize : {std::size_t{7}, std::size_t{4093}, std::size_t{1} << 20}) {
    EXPECT_TRUE(testing::FilterThroughBuffer(listing, readSize, decisions) == expected) << readSize;
  }
}

TEST(Differential, GeneratedListings) {
  for (const std::uint64_t size :
       {std::uint64_t{2000}, std::uint64_t{70000}, std::uint64_t{3} << 20}) {
    std::string listing;
    GenerateListing(size, size, [&](std::string_view piece) { listing += piece; });
    for (const std::size_t readSize : {std::size_t{7}, std::size_t{4093}, std::size_t{1} << 20}) {
      ExpectSameEverywhere(listing, readSize);
    }
  }
}

}  // namespace
}  // namespace lindqvar
