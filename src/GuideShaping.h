// What --channels and --first-wins make of the guide: which channel and
// programme elements of which input it keeps. The first pass tells the
// ids each input has; the second keeps an element when the lists name its
// id and, with --first-wins, when its input owns the id: the first input
// in command-line order with a programme for it, else the first with a
// channel for it, which keeps only its first channel element of that id.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ChannelLists.h"
#include "ElementFilter.h"
#include "IdStore.h"

namespace lindqvar {

// The options that shape the guide, leading the arguments: --channels=LIST
// (any number of times) and --first-wins, ended by "--" or by the first
// other argument; next is the index of that argument.
struct ShapingOptions {
  std::vector<std::string> lists;
  bool firstWins = false;
  std::size_t next = 1;
};
ShapingOptions ReadShapingOptions(const std::vector<std::string>& args);

// The line --help prints for each option, after the usage.
extern const char* const kOptionLines[2];

// The lists named, read through the input layer (files, pipes, gzip data):
// nothing, with missing set to the name, when one does not exist. Raises
// EConvertError for a list that names no channel id, and whatever reading
// an input raises. Prints the warning about entries without a tvg-id.
std::optional<ChannelSelection> ReadChannelLists(const std::vector<std::string>& names,
                                                 std::string& missing);

class GuideShaping {
 public:
  using Kind = ElementFilter::Kind;

  GuideShaping(std::optional<ChannelSelection> selection, bool firstWins);

  bool Active() const { return selection_ || firstWins_; }
  bool FirstWins() const { return firstWins_; }
  ChannelSelection* Selection() { return selection_ ? &*selection_ : nullptr; }

  // Whether the first pass looks at elements: with --first-wins, to know
  // who owns what; with lists alone, until one is kept (which the second
  // pass would find too late to keep an old guide from being replaced).
  bool FirstPassLooks() const { return firstWins_ || (selection_ && !somethingKept_); }

  // The first pass of input saw an element.
  void Saw(std::uint32_t input, Kind kind, std::optional<std::string_view> id);

  // The first pass of input is over: the line about the ids it gives up to
  // earlier inputs, if any (with --first-wins), naming inputs by names.
  std::optional<std::string> FinishInput(std::uint32_t input,
                                         const std::vector<std::string>& names);

  // Whether input keeps an element, in the second pass, in the order its
  // elements come.
  bool Keeps(std::uint32_t input, Kind kind, std::optional<std::string_view> id);

  // Whether the lists keep anything at all of the inputs, once their first
  // passes are over.
  bool SomethingKept() const { return somethingKept_; }

 private:
  static constexpr std::uint32_t kNone = UINT32_MAX;
  struct Owner {
    std::uint32_t programme = kNone;  // the first input with a programme of the id
    std::uint32_t channel = kNone;    // the first with a channel of it
    bool channelKept = false;         // the owner's first channel element has been kept

    std::uint32_t Input() const { return programme != kNone ? programme : channel; }
  };

  std::optional<ChannelSelection> selection_;
  bool firstWins_;
  bool somethingKept_ = false;
  IdStore owners_;  // each id the lists keep, valued by its index into owned_
  std::vector<Owner> owned_;
  IdStore inputIds_;  // the distinct ids of the input read first now, with what it showed of them
  IdStore listed_;    // the ids of the inputs, valued 1 when the lists keep them, else 0
  // Recent decisions on programmes in the second pass, each in the place
  // its id's first and last bytes give: programmes come in runs of one
  // channel, or in turns among a few dozen.
  struct Decided {
    std::string id;
    std::uint32_t input = kNone;
    bool kept = false;
  };
  static constexpr std::size_t kDecidedPlaces = 256;
  static std::size_t PlaceOf(std::string_view id);
  std::array<Decided, kDecidedPlaces> decided_;
};

}  // namespace lindqvar
