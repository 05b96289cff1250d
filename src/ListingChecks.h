// Faults of an input that the join passes on silently and that break the
// joined guide further down: an encoding other than UTF-8, channel ids
// given twice, programmes among the channels or channels among the
// programmes. The first pass notices them as the bytes go by; the join
// itself stays as it is, and the user gets a warning that names the input.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Sections.h"

namespace lindqvar {

struct ListingChecks {
  // The input's first bytes, which hold its XML declaration if it has one.
  static constexpr std::size_t kPrologBytes = 512;
  std::string prolog;
  bool prologDone = false;
  std::optional<std::string> declaredEncoding;  // one other than UTF-8 and US-ASCII

  // UTF-8 is checked from where the first section begins; each section
  // keeps the first bad sequence found at or after its own beginning.
  std::uint64_t utf8From = 0;             // first byte not yet checked
  bool utf8Checking[2] = {false, false};  // the channels, the programmes have been checked
  std::optional<std::uint64_t> badUtf8InChannels;
  std::optional<std::uint64_t> badUtf8InProgrammes;

  // Channel start tags, for their ids: one cut by a window's end waits in
  // tag for the rest.
  std::uint64_t nextChannel = 0;  // first place where "<channel" may still begin
  std::string tag;
  std::uint64_t tagAt = 0;
  std::uint64_t tagEnd = 0;  // the bytes of the tag gathered so far end here
  bool inTag = false;
  std::vector<std::pair<std::uint64_t, std::string>> ids;  // where each tag begins, its id

  // The first marker of each section inside the other's span, if any.
  std::uint64_t nextProgramme = 0;
  std::optional<std::uint64_t> channelAfterProgrammesBegin;
  std::optional<std::uint64_t> programmeAfterChannelsBegin;

  // Scans one window, in the same order and with the same overlap as the
  // section scans, after they have scanned it.
  void Scan(Window window, const SectionScan& channels, const SectionScan& programmes);

  // The input ended at end.
  void Finish(std::uint64_t end);

 private:
  void EndProlog();
};

// The channel ids the inputs have given so far, each with the input that
// gave it first.
struct KnownChannels {
  std::unordered_map<std::string, std::size_t> firstFrom;  // into inputs
  std::vector<std::string> inputs;
};

// The warning lines for an input named name whose sections are channels and
// programmes, in this order and at most one of each kind: its encoding,
// its channel ids given before (whose ids it then adds to known), its
// sections inside each other.
std::vector<std::string> ListingWarnings(const std::string& name, const ListingChecks& checks,
                                         Range channels, Range programmes, KnownChannels& known);

}  // namespace lindqvar
