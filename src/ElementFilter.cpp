#include "ElementFilter.h"

#include <algorithm>
#include <array>

#include "StringUtils.h"

namespace lindqvar {

namespace {

constexpr std::array<std::string_view, 2> kMarkers = {"<channel", "<programme"};
constexpr std::string_view kEndTags[] = {"</channel>", "</programme>"};
constexpr std::string_view kIdAttributes[] = {"id", "channel"};

// Bytes before an element held beyond this (a malformed listing, such as
// megabytes of text between two programmes) are passed on whatever the
// element: so memory stays bounded, and nothing kept is ever lost.
constexpr std::size_t kLongestHeld = std::size_t{1} << 20;

const PatternSet& Markers() {
  static const PatternSet markers = PreparePatterns(kMarkers, false);
  return markers;
}

std::string_view Bytes(const Window& window, std::uint64_t from, std::uint64_t to) {
  return window.bytes.substr(static_cast<std::size_t>(from - window.offset),
                             static_cast<std::size_t>(to - from));
}

}  // namespace

ElementFilter::ElementFilter(Decide decide, Sink sink)
    : decide_(std::move(decide)), sink_(std::move(sink)) {}

void ElementFilter::Start(std::uint64_t first) {
  stopped_ = false;
  pos_ = searchFrom_ = first;
  EndElement();
}

void ElementFilter::EndElement() {
  state_ = State::kGap;
  keep_ = false;
  held_.clear();
}

void ElementFilter::Hold(const Window& window, std::uint64_t to) {
  if (to <= pos_) return;
  if (sink_) {
    held_.append(Bytes(window, pos_, to));
    if (held_.size() > kLongestHeld) {
      sink_(held_);
      held_.clear();
      keep_ = true;  // whatever the element: see kLongestHeld
    }
  }
  pos_ = to;
}

void ElementFilter::Pass(const Window& window, std::uint64_t to) {
  if (to <= pos_) return;
  if (sink_ && keep_) sink_(Bytes(window, pos_, to));
  pos_ = to;
}

// Where the next marker begins, as SearchFirstOf tells: mostly right after
// the blanks that follow the element before, so that is tried first.
Position ElementFilter::NextMarker(const Window& window, std::size_t& which) const {
  const std::string_view text = window.bytes;
  const Position from = window.PositionOf(std::max(searchFrom_, window.offset));
  constexpr std::size_t kBlanksTried = 32;
  const std::size_t blanksEnd =
      std::min(text.size(), static_cast<std::size_t>(from) - 1 + kBlanksTried);
  std::size_t at = static_cast<std::size_t>(from) - 1;
  while (at < blanksEnd && IsXmlBlank(text[at])) ++at;
  for (which = 0; which < kMarkers.size() && at < text.size(); ++which) {
    if (text.substr(at).starts_with(kMarkers[which])) return static_cast<Position>(at) + 1;
  }
  return SearchFirstOf(text, Markers(), from, which);
}

void ElementFilter::Feed(Window window) {
  const std::string_view text = window.bytes;
  const std::uint64_t end = window.End();
  while ((pos_ < end || state_ == State::kTag) && !stopped_) {
    switch (state_) {
      case State::kGap: {
        std::size_t which = 0;
        const Position at = NextMarker(window, which);
        if (at == -1) {
          Hold(window, end);
          searchFrom_ = Untried(searchFrom_, end, kMarkers[1].size());
          return;
        }
        const std::uint64_t markerAt = window.offset + static_cast<std::uint64_t>(at - 1);
        const std::uint64_t after = markerAt + kMarkers[which].size();
        if (after >= end) {  // the byte that tells is in the next window
          Hold(window, end);
          searchFrom_ = markerAt;
          return;
        }
        const char c = text[static_cast<std::size_t>(after - window.offset)];
        if (!IsXmlBlank(c) && c != '>' && c != '/') {  // "<channels" and the like
          searchFrom_ = markerAt + 1;
          break;
        }
        kind_ = which == 0 ? Kind::kChannel : Kind::kProgramme;
        tag_.Start(kIdAttributes[which], true);
        tagPos_ = after;
        lastTagByte_ = 0;
        state_ = State::kTag;
        break;
      }
      case State::kTag: {
        if (tagPos_ >= end) {
          Hold(window, end);
          return;
        }
        const std::string_view rest =
            text.substr(static_cast<std::size_t>(tagPos_ - window.offset));
        const std::size_t taken = tag_.Feed(rest);
        const char before = taken >= 2 ? rest[taken - 2] : lastTagByte_;
        lastTagByte_ = rest[taken - 1];
        tagPos_ += taken;
        if (!tag_.Ended()) {
          Hold(window, end);
          return;
        }
        const bool keep =
            decide_(kind_, tag_.Found() ? std::optional<std::string_view>(tag_.Value().Key())
                                        : std::nullopt) ||
            keep_;
        keep_ = keep;
        if (sink_ && keep_ && !held_.empty()) sink_(held_);
        held_.clear();
        Pass(window, tagPos_);
        searchFrom_ = tagPos_;
        if (before == '/')
          EndElement();
        else
          state_ = State::kBody;
        break;
      }
      case State::kBody: {
        const std::string_view endTag = kEndTags[kind_ == Kind::kChannel ? 0 : 1];
        const Position at = SearchText(
            text, endTag, window.PositionOf(std::max(searchFrom_, window.offset)), false);
        if (at == -1) {
          Pass(window, end);
          searchFrom_ = Untried(searchFrom_, end, endTag.size());
          return;
        }
        const std::uint64_t elementEnd =
            window.offset + static_cast<std::uint64_t>(at - 1) + endTag.size();
        Pass(window, elementEnd);
        searchFrom_ = elementEnd;
        EndElement();
        break;
      }
    }
  }
}

void ElementFilter::Finish() {
  // No element follows the bytes held: they stay.
  if (sink_ && state_ != State::kBody && !held_.empty()) sink_(held_);
  held_.clear();
}

}  // namespace lindqvar
