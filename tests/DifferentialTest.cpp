// The fast search, section extraction and rewriting against the simple
// reference versions, on random texts and on generated listings.
#include <gtest/gtest.h>

#include <random>
#include <string>

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

void ExpectSameEverywhere(std::string_view text) {
  for (const auto& [open, close] :
       {std::pair{"<channel", "</channel>"}, std::pair{"<programme", "</programme>"}}) {
    ASSERT_EQ(ExtractSection(text, open, close), reference::ExtractSection(text, open, close))
        << text;
  }
  const Outcome fast = Run([&] {
    std::string out;
    RewriteProgrammeTimes(text, out);
    return out;
  });
  const Outcome chunked = Run([&] {
    std::string out;
    std::string chunk;
    RewriteProgrammeTimes(text, chunk, [&](std::string& full) {
      out += full;
      full.clear();
    });
    return out + chunk;
  });
  const Outcome plain = Run([&] { return reference::RewriteProgrammeTimes(text); });
  ASSERT_EQ(fast, plain) << text;
  ASSERT_EQ(chunked, plain) << text;
}

TEST(Differential, RandomTexts) {
  std::mt19937 random(921);
  for (int round = 0; round < 20000; ++round) {
    const std::string text = RandomText(random);
    ExpectSameEverywhere(text);
    const Position startAt = 1 + static_cast<Position>(random() % (text.size() + 2));
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

TEST(Differential, GeneratedListings) {
  // The largest one spans several rewrite chunks.
  for (const std::uint64_t size :
       {std::uint64_t{2000}, std::uint64_t{70000}, std::uint64_t{3} << 20}) {
    std::string listing;
    GenerateListing(size, size, [&](std::string_view piece) { listing += piece; });
    ExpectSameEverywhere(listing);
  }
}

}  // namespace
}  // namespace lindqvar
