#include "GuideShaping.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "Console.h"
#include "Failure.h"
#include "Gzip.h"
#include "InputFile.h"
#include "Inputs.h"
#include "ListingChecks.h"

namespace lindqvar {

namespace {

// The ids of the inputs whose verdict is kept, beyond which each is looked
// for in the lists again.
constexpr std::size_t kMostListed = std::size_t{1} << 16;

}  // namespace

const char* const kOptionLines[2] = {
    "       --channels=LIST  keep only the channels LIST names (an M3U playlist, or one id a line)",
    "       --first-wins     take each channel from the first input that has programmes for it"};

ShapingOptions ReadShapingOptions(const std::vector<std::string>& args) {
  ShapingOptions options;
  for (; options.next < args.size(); ++options.next) {
    const std::string& arg = args[options.next];
    if (arg.starts_with("--channels=")) {
      options.lists.push_back(arg.substr(11));
    } else if (arg == "--first-wins") {
      options.firstWins = true;
    } else {
      // "--" ends the options, when there are options: without them every
      // argument is what it always was.
      if (arg == "--" && (options.firstWins || !options.lists.empty())) ++options.next;
      break;
    }
  }
  return options;
}

std::optional<ChannelSelection> ReadChannelLists(const std::vector<std::string>& names,
                                                 std::string& missing) {
  ChannelSelection selection;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string& name = names[i];
    if (!InputExists(name)) {
      missing = name;
      return std::nullopt;
    }
    InputFile file = OpenInput(name);
    ChannelSelection::Reader reader(selection, name);
    const FirstBytes first = ReadFirstBytes(file);
    const ReadBytes raw = ReadFromStart(file, first);
    std::optional<GzipReader> gzip;
    if (CompressionOf(first.View()) == Compression::Gzip) gzip.emplace(raw);
    std::vector<char> chunk(std::size_t{64} << 10);
    try {
      for (std::size_t got; (got = gzip ? gzip->Read(chunk.data(), chunk.size())
                                        : raw(chunk.data(), chunk.size())) > 0;) {
        reader.Feed({chunk.data(), got});
      }
    } catch (const DamagedData&) {
      Raise("EInOutError", "Compressed file \"" + ShownName(name) + "\" is damaged");
    }
    if (!reader.Finish()) Raise("EConvertError", "No channel ids in \"" + ShownName(name) + "\"");
    if (const std::optional<std::string> warning = selection.ReadWarning(i)) {
      PrintWarning("Lindqvar: warning: " + *warning);
    }
  }
  return selection;
}

GuideShaping::GuideShaping(std::optional<ChannelSelection> selection, bool firstWins)
    : selection_(std::move(selection)), firstWins_(firstWins) {}

void GuideShaping::Saw(std::uint32_t input, Kind kind, std::optional<std::string_view> id) {
  if (!id) {
    somethingKept_ = somethingKept_ || !selection_;
    return;
  }
  // What this input showed of the id so far: each kind of element once is
  // all that counts.
  constexpr std::uint32_t kProgrammeSeen = 1;
  constexpr std::uint32_t kChannelSeen = 2;
  constexpr std::uint32_t kNotListed = 4;
  const std::optional<IdStore::Added> seen = inputIds_.Insert(*id, 0);
  if (!seen) throw std::bad_alloc();
  const std::uint32_t was = inputIds_.Value(seen->handle);
  const std::uint32_t bit = kind == Kind::kProgramme ? kProgrammeSeen : kChannelSeen;
  if (was & (bit | kNotListed)) return;
  if (was == 0 && selection_ && !selection_->Find(*id).kept) {
    inputIds_.SetValue(seen->handle, kNotListed);
    return;
  }
  inputIds_.SetValue(seen->handle, was | bit);
  somethingKept_ = true;
  if (!firstWins_) return;
  const std::optional<IdStore::Added> added =
      owners_.Insert(*id, static_cast<std::uint32_t>(owned_.size()));
  if (!added) throw std::bad_alloc();
  if (added->added) owned_.emplace_back();
  Owner& owner = owned_[owners_.Value(added->handle)];
  std::uint32_t& first = kind == Kind::kProgramme ? owner.programme : owner.channel;
  if (first == kNone) first = input;
}

std::optional<std::string> GuideShaping::FinishInput(std::uint32_t input,
                                                     const std::vector<std::string>& names) {
  if (!firstWins_) {
    inputIds_.Clear();
    return std::nullopt;
  }
  std::size_t givenUp = 0;
  std::string first;
  std::uint32_t firstOwner = 0;
  inputIds_.ForEach([&](IdStore::Handle handle) {
    if (inputIds_.Value(handle) == 4) return;  // not one the lists keep
    const std::string_view id = inputIds_.Id(handle);
    const std::uint32_t owner = owned_[owners_.Value(*owners_.Find(id))].Input();
    if (owner == input || givenUp++ > 0) return;
    first = std::string(id.substr(0, kLongestShown + 1));
    firstOwner = owner;
  });
  inputIds_.Clear();
  if (givenUp == 0) return std::nullopt;
  return "\"" + ShownFileName(names[input]) + "\" gives up " +
         CountOf(givenUp, "channel", "channels") + " to earlier inputs, first \"" +
         Shown(first, kLongestShown) + "\" to \"" + ShownFileName(names[firstOwner]) + "\"";
}

std::size_t GuideShaping::PlaceOf(std::string_view id) {
  // Ids of one source mostly differ in their first bytes or their last.
  std::uint64_t first = 0;
  std::uint64_t last = 0;
  const std::size_t size = std::min<std::size_t>(id.size(), 8);
  std::memcpy(&first, id.data(), size);
  std::memcpy(&last, id.data() + id.size() - size, size);
  const std::uint64_t mixed = (first ^ (last * 31) ^ id.size()) * 0x9E3779B97F4A7C15ull;
  return static_cast<std::size_t>(mixed >> 56) % kDecidedPlaces;
}

bool GuideShaping::Keeps(std::uint32_t input, Kind kind, std::optional<std::string_view> id) {
  if (!id) return !selection_;  // a list keeps no element without an id
  // A programme's id was mostly decided a moment ago.
  Decided* const decided = kind == Kind::kProgramme ? &decided_[PlaceOf(*id)] : nullptr;
  if (decided && decided->input == input && decided->id == *id) return decided->kept;
  // What the lists say of an id is looked up once: programmes of every
  // channel come one after another.
  bool kept = true;
  if (selection_ && listed_.Size() < kMostListed) {
    const std::optional<IdStore::Added> known = listed_.Insert(*id, 2);
    if (!known) throw std::bad_alloc();
    if (known->added) listed_.SetValue(known->handle, selection_->Find(*id).kept);
    kept = listed_.Value(known->handle) == 1;
  } else if (selection_) {
    kept = selection_->Find(*id).kept;  // a guide of very many channels
  }
  if (kept && firstWins_) {
    const std::optional<IdStore::Handle> found = owners_.Find(*id);
    Owner* const owner = found ? &owned_[owners_.Value(*found)] : nullptr;
    kept = owner && owner->Input() == input;
    if (kept && kind == Kind::kChannel) kept = !std::exchange(owner->channelKept, true);
  }
  if (decided) {
    decided->id.assign(*id);
    decided->input = input;
    decided->kept = kept;
  }
  return kept;
}

}  // namespace lindqvar
