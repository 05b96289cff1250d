// Section extraction and time rewriting on arbitrary bytes, whole and
// through a buffer of the size the first byte gives. Both sections equal
// the chained search. The rewriting equals the plain rewriting, and a
// rewritten section differs from its input only inside start and stop
// values, each replaced by a listing time; or else all fail alike with
// EConvertError. The warnings about the input are the same either way, and
// the element filter keeps what its plain version keeps.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Buffered.h"
#include "Reference.h"

namespace {

using lindqvar::Position;
using lindqvar::reference::Search;

// 0-based [begin, end) of every value the rewriting converts: the value of
// each start or stop attribute in turn, as long as it is closed.
std::vector<std::pair<std::size_t, std::size_t>> ValueRanges(std::string_view section) {
  std::vector<std::pair<std::size_t, std::size_t>> ranges;
  Position pos = 1;
  static constexpr std::string_view kTimes[] = {"start=\"", "stop=\""};
  for (;;) {
    std::size_t which = 0;
    const Position at = lindqvar::reference::SearchFirstOf(section, kTimes, pos, false, which);
    if (at == -1) return ranges;
    const Position begin = at + static_cast<Position>(kTimes[which].size());
    const Position quote = Search(section, "\"", begin, true);
    if (quote == -1) return ranges;
    ranges.emplace_back(begin - 1, quote - 1);
    pos = quote;
  }
}

bool IsListingTime(std::string_view time) {
  if (time.ends_with(" +0100")) time.remove_suffix(6);
  if (time.size() < 14) return false;
  for (const char c : time) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// out must be section with each range replaced by a listing time.
bool ChangedOnlyInsideValues(std::string_view section, std::string_view out) {
  std::size_t in = 0;
  std::size_t at = 0;
  for (const auto& [begin, end] : ValueRanges(section)) {
    const std::string_view same = section.substr(in, begin - in);
    if (out.substr(at, same.size()) != same) return false;
    at += same.size();
    const std::size_t quote = out.find('"', at);
    if (quote == std::string_view::npos || !IsListingTime(out.substr(at, quote - at))) return false;
    at = quote;
    in = end;
  }
  return out.substr(at) == section.substr(in);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lindqvar;
  if (size == 0) return 0;
  const std::size_t readSize = 1 + data[0] % 64;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  // The warnings are the same through the buffer as for the whole text.
  KnownChannels known[2];
  for (KnownChannels& inputs : known) inputs.inputs.push_back("f");
  ListingScan scan;
  scan.checkTimes = true;
  scan.checks.known = &known[0];
  testing::ReadThroughBuffer(text, {0, text.size()}, readSize,
                             [&](Window window) { scan.Scan(window); });
  ListingScan whole;
  whole.checks.known = &known[1];
  whole.Scan(Window{text, 0});
  std::vector<std::string> warnings[2];
  for (ListingScan* checked : {&scan, &whole}) {
    const int i = checked == &whole;
    checked->checks.Finish(text.size());
    warnings[i] = ListingWarnings("f", checked->checks, checked->channels.section,
                                  checked->programmes.section, known[i]);
  }
  if (warnings[0] != warnings[1]) std::abort();
  const std::string_view programmes = reference::ExtractSection(text, "<programme", "</programme>");
  if (ExtractSection(text, "<channel", "</channel>") !=
          reference::ExtractSection(text, "<channel", "</channel>") ||
      testing::Cut(text, scan.channels.section) != ExtractSection(text, "<channel", "</channel>") ||
      ExtractSection(text, "<programme", "</programme>") != programmes ||
      testing::Cut(text, scan.programmes.section) != programmes) {
    std::abort();
  }

  // The element filter keeps the same, deciding alike, through the buffer.
  std::string decisions[2];
  const std::string filtered =
      reference::FilterElements(text, [&](bool programme, const std::optional<std::string>& id) {
        const bool keep = testing::SomeKept(programme, id);
        decisions[0] += keep ? 'k' : 'd';
        return keep;
      });
  if (testing::FilterThroughBuffer(text, readSize, decisions[1]) != filtered ||
      decisions[0] != decisions[1]) {
    std::abort();
  }

  std::string plain;
  std::string plainFailure;
  try {
    plain = reference::RewriteProgrammeTimes(programmes);
  } catch (const Failure& failure) {
    plainFailure = failure.message;
  }
  const std::optional<Failure> checked = scan.TimesFailure();
  if ((checked ? checked->message : "") != plainFailure) std::abort();
  for (const bool buffered : {false, true}) {
    std::string fast;
    std::string fastFailure;
    try {
      if (buffered) {
        fast = testing::RewriteThroughBuffer(text, scan.programmes.section, readSize);
      } else {
        RewriteProgrammeTimes(programmes, fast);
      }
    } catch (const Failure& failure) {
      if (std::strcmp(failure.kind, "EConvertError") != 0) std::abort();
      fastFailure = failure.message;
    }
    if (fastFailure != plainFailure) std::abort();
    if (fastFailure.empty() && (fast != plain || !ChangedOnlyInsideValues(programmes, fast))) {
      std::abort();
    }
  }
  return 0;
}
