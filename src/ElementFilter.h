// The element filter, one more stage of the copy path beside the time
// rewriting: the channel and programme elements of a section, found as its
// windows come, each kept or dropped whole by its id. An element runs from
// its start tag to the first end tag of its name after it, or to "/>" that
// ends its start tag, or else to the section's end; the bytes before it,
// back to the element before, go with it. Bytes after the last element,
// and a start tag the section cuts off, stay. Kept bytes pass on exactly.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "Sections.h"
#include "StartTag.h"

namespace lindqvar {

class ElementFilter {
 public:
  enum class Kind { kChannel, kProgramme };

  // Whether an element of kind is kept: its id (a channel's id attribute, a
  // programme's channel attribute, references decoded; as IdBytes keys it),
  // or none when it has none.
  using Decide = std::function<bool(Kind kind, std::optional<std::string_view> id)>;
  // Where kept bytes go; none when nothing is written, as in the first
  // pass, which only looks at the elements.
  using Sink = std::function<void(std::string_view bytes)>;

  ElementFilter(Decide decide, Sink sink);

  // Begins a section at offset first.
  void Start(std::uint64_t first);

  // The section's bytes, a window at a time, in order and overlapping as
  // WalkWindows makes them.
  void Feed(Window window);

  // The section ended where the bytes fed end.
  void Finish();

  // Nothing more is looked at: what is still fed is let go.
  void Stop() { stopped_ = true; }

 private:
  enum class State { kGap, kTag, kBody };

  // Passes bytes [pos_, to) of window on, holds them back, or drops them,
  // as the element they belong to asks.
  void Hold(const Window& window, std::uint64_t to);
  void Pass(const Window& window, std::uint64_t to);
  void EndElement();
  Position NextMarker(const Window& window, std::size_t& which) const;

  Decide decide_;
  Sink sink_;
  State state_ = State::kGap;
  Kind kind_ = Kind::kChannel;
  std::uint64_t pos_ = 0;         // next byte not yet passed on, held or dropped
  std::uint64_t searchFrom_ = 0;  // first place where the next marker may begin
  std::uint64_t tagPos_ = 0;      // next byte of the start tag for the reader
  char lastTagByte_ = 0;          // the last byte the reader took
  bool keep_ = false;             // the element's bytes pass on
  bool stopped_ = false;
  std::string held_;  // the bytes before an element and its start tag, until it is decided
  AttributeReader tag_;
};

}  // namespace lindqvar
