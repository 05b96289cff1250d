// Faults of an input that the join passes on silently and that break the
// joined guide further down: an encoding other than UTF-8, channel ids
// given twice, programmes among the channels or channels among the
// programmes. The first pass notices them as the bytes go by; the join
// itself stays as it is, and the user gets a warning that names the input.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "IdStore.h"
#include "Sections.h"
#include "StartTag.h"

namespace lindqvar {

// The channel ids the inputs have given so far, each with the input that
// gave it first; the check stops for good when memory for them runs out.
struct KnownChannels {
  IdStore ids;                      // each with its index into inputs
  std::vector<std::string> inputs;  // the inputs' names, in order

  explicit KnownChannels(std::size_t limit = SIZE_MAX) : ids(limit) {}
};

struct ListingChecks {
  // The XML declaration at the input's start is read for its encoding as
  // far as this, however long it is.
  static constexpr std::uint64_t kDeclarationBytes = std::uint64_t{64} << 10;
  enum class Prolog { kStart, kDeclaration, kDone };
  Prolog prolog = Prolog::kStart;
  std::string prologStart;  // the first bytes, up to those of "<?xml" and a blank
  AttributeReader declaration;
  std::uint64_t declarationAt = 0;              // the declaration's bytes read so far end here
  std::optional<std::string> declaredEncoding;  // one other than UTF-8 and US-ASCII

  // UTF-8 is checked from where the first section begins; each section
  // keeps the first bad sequence found at or after its own beginning.
  std::uint64_t utf8From = 0;             // first byte not yet checked
  bool utf8Checking[2] = {false, false};  // the channels, the programmes have been checked
  std::optional<std::uint64_t> badUtf8InChannels;
  std::optional<std::uint64_t> badUtf8InProgrammes;

  // Channel start tags, for their ids, read as they come (one cut by a
  // window's end goes on in the next). An id counts once a closing marker
  // of the channel section follows it: until then it waits in pending.
  KnownChannels* known = nullptr;  // none: ids are not checked
  std::uint32_t self = 0;          // this input's index in known->inputs
  // With lists of channels: only the ids they keep count, their references
  // decoded as the lists see them.
  std::function<bool(std::string_view id)> keepsId;
  std::uint64_t nextChannel = 0;  // first place where "<channel" may still begin
  bool inTag = false;
  bool tagNamed = false;  // the byte after the marker showed it a channel tag
  std::uint64_t tagAt = 0;
  std::uint64_t tagEnd = 0;  // the bytes of the tag read so far end here
  AttributeReader tag;
  std::string pending;  // offset (8 bytes), key length (4), key, for each id waiting
  std::size_t pendingRead = 0;
  std::size_t repeats = 0;
  std::string firstRepeat;  // shown as it is given, cut at 200 bytes
  std::uint32_t firstRepeatFrom = 0;
  bool ranOutHere = false;  // memory for the ids ran out while this input was read
  std::string idsLine;      // a line to give in place of the repeats', with --first-wins

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
  void ScanProlog(Window window);
  void ScanChannelTags(Window window, const SectionScan& channels, const SectionScan& programmes);
  void Confirm(std::uint64_t sectionEnd);
  void RunOut();
  void EndProlog();
};

// The warning lines for an input named name whose sections are channels and
// programmes, in this order and at most one of each kind: its encoding,
// its channel ids given before, its sections inside each other.
std::vector<std::string> ListingWarnings(const std::string& name, const ListingChecks& checks,
                                         Range channels, Range programmes,
                                         const KnownChannels& known);

// Bytes of a file name, an id or an encoding as a warning shows them: each
// byte below 0x20 and 0x7F as \xHH (\r, \n and \t as those two characters),
// so that no warning can end a line, forge another or reach a terminal as
// a control sequence; cut at longest bytes with "...".
std::string Shown(std::string_view bytes, std::size_t longest = SIZE_MAX);

// The longest id, encoding or title a warning shows.
inline constexpr std::size_t kLongestShown = 200;

// "1 channel", "2 channels": n, then one or many as n asks.
std::string CountOf(std::size_t n, std::string_view one, std::string_view many);

// A file name as a warning shows it: as messages show names (ShownName),
// its control bytes then shown as Shown shows them.
std::string ShownFileName(std::string_view name);

}  // namespace lindqvar
