#include "ListingChecks.h"

#include <algorithm>
#include <string_view>

#include "StringUtils.h"

namespace lindqvar {

namespace {

constexpr std::string_view kChannelMarker = "<channel";
constexpr std::string_view kProgrammeMarker = "<programme";

// A channel start tag longer than this is not looked into for its id.
constexpr std::size_t kLongestTag = 1024;

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool SameAsciiLetters(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return SameChar(static_cast<unsigned char>(x), static_cast<unsigned char>(y), false);
         });
}

// The attributes of a tag or declaration, from at on, as name and value;
// false past the last. A name without a value is skipped.
bool NextAttribute(std::string_view text, std::size_t& at, std::string_view& name,
                   std::string_view& value) {
  for (;;) {
    while (at < text.size() && IsBlank(text[at])) ++at;
    const std::size_t nameAt = at;
    while (at < text.size() && !IsBlank(text[at]) && text[at] != '=' && text[at] != '>' &&
           text[at] != '/' && text[at] != '?') {
      ++at;
    }
    if (at == nameAt) return false;
    name = text.substr(nameAt, at - nameAt);
    while (at < text.size() && IsBlank(text[at])) ++at;
    if (at >= text.size() || text[at] != '=') continue;
    ++at;
    while (at < text.size() && IsBlank(text[at])) ++at;
    if (at >= text.size() || (text[at] != '"' && text[at] != '\'')) return false;
    const std::size_t close = text.find(text[at], at + 1);
    if (close == std::string_view::npos) return false;
    value = text.substr(at + 1, close - at - 1);
    at = close + 1;
    return true;
  }
}

// The encoding the XML declaration at the start of prolog names, if it
// names one.
std::optional<std::string> DeclaredEncoding(std::string_view prolog) {
  if (prolog.starts_with("\xEF\xBB\xBF")) prolog.remove_prefix(3);
  if (!prolog.starts_with("<?xml") || prolog.size() < 6 || !IsBlank(prolog[5])) return {};
  const std::string_view declaration = prolog.substr(0, prolog.find("?>"));
  std::size_t at = 5;
  std::string_view name;
  std::string_view value;
  while (NextAttribute(declaration, at, name, value)) {
    if (name == "encoding") return std::string(value);
  }
  return {};
}

// The id of a channel start tag, from its marker to its ">", if it has one.
std::optional<std::string> ChannelId(std::string_view tag) {
  std::size_t at = kChannelMarker.size();
  std::string_view name;
  std::string_view value;
  while (NextAttribute(tag, at, name, value)) {
    if (name == "id") return std::string(value);
  }
  return {};
}

}  // namespace

void ListingChecks::Scan(Window window, const SectionScan& channels,
                         const SectionScan& programmes) {
  const std::string_view text = window.bytes;

  if (!prologDone) {
    const std::size_t from = static_cast<std::size_t>(prolog.size() - window.offset);
    prolog.append(text.substr(std::min(from, text.size()), kPrologBytes - prolog.size()));
    if (prolog.size() == kPrologBytes || prolog.find("?>") != std::string::npos) EndProlog();
  }

  // UTF-8, in each section from its beginning on, until a bad sequence is
  // found there. One found only now may begin before bytes already checked,
  // but never before the window.
  const bool checkChannels = channels.opened && !badUtf8InChannels;
  const bool checkProgrammes = programmes.opened && !badUtf8InProgrammes;
  if (!declaredEncoding && (checkChannels || checkProgrammes)) {
    std::uint64_t from = UINT64_MAX;
    if (checkChannels) from = std::min(from, utf8Checking[0] ? utf8From : channels.section.first);
    if (checkProgrammes) {
      from = std::min(from, utf8Checking[1] ? utf8From : programmes.section.first);
    }
    utf8Checking[0] = utf8Checking[0] || checkChannels;
    utf8Checking[1] = utf8Checking[1] || checkProgrammes;
    for (Position at = window.PositionOf(std::max(from, window.offset));;) {
      Position incomplete = -1;
      const Position bad = SearchInvalidUtf8(text, at, incomplete);
      if (bad == -1) {
        utf8From = incomplete == -1 ? window.End() : window.offset + incomplete - 1;
        break;
      }
      const std::uint64_t offset = window.offset + static_cast<std::uint64_t>(bad - 1);
      if (checkChannels && !badUtf8InChannels && channels.section.first <= offset) {
        badUtf8InChannels = offset;
      }
      if (checkProgrammes && !badUtf8InProgrammes && programmes.section.first <= offset) {
        badUtf8InProgrammes = offset;
      }
      utf8From = offset + 1;
      if ((!checkChannels || badUtf8InChannels) && (!checkProgrammes || badUtf8InProgrammes)) {
        break;
      }
      at = bad + 1;
    }
  }

  // Channel start tags: each one's id, and the first inside the programmes.
  for (;;) {
    if (!inTag) {
      const Position at = SearchText(
          text, kChannelMarker, window.PositionOf(std::max(nextChannel, window.offset)), false);
      if (at == -1) {
        nextChannel = Untried(nextChannel, window.End(), kChannelMarker.size());
        break;
      }
      tagAt = window.offset + static_cast<std::uint64_t>(at - 1);
      tagEnd = tagAt;
      tag.clear();
      inTag = true;
      if (programmes.opened && !channelAfterProgrammesBegin && programmes.section.first <= tagAt) {
        channelAfterProgrammesBegin = tagAt;
      }
    }
    // The tag up to its ">", or as far as the window or the longest tag
    // looked into goes; the search goes on after it either way, wherever
    // the windows end.
    const std::string_view rest = text.substr(static_cast<std::size_t>(tagEnd - window.offset));
    const std::size_t close = rest.find('>');
    const std::size_t take = std::min(close == std::string_view::npos ? rest.size() : close + 1,
                                      kLongestTag - tag.size());
    tag.append(rest.substr(0, take));
    tagEnd += take;
    nextChannel = tagEnd;
    if (tag.back() != '>' && tag.size() < kLongestTag) break;  // it goes on in the next window
    inTag = false;
    const char after = tag.size() > kChannelMarker.size() ? tag[kChannelMarker.size()] : '>';
    if (tag.back() == '>' && (IsBlank(after) || after == '>' || after == '/')) {
      if (std::optional<std::string> id = ChannelId(tag)) ids.emplace_back(tagAt, std::move(*id));
    }
  }

  // The first programme at or after the channels' beginning.
  if (channels.opened && !programmeAfterChannelsBegin) {
    if (programmes.opened && programmes.section.first >= channels.section.first) {
      programmeAfterChannelsBegin = programmes.section.first;
    } else {
      const std::uint64_t from = std::max({nextProgramme, channels.section.first, window.offset});
      const Position at = SearchText(text, kProgrammeMarker, window.PositionOf(from), false);
      if (at != -1) {
        programmeAfterChannelsBegin = window.offset + static_cast<std::uint64_t>(at - 1);
      } else {
        nextProgramme = Untried(from, window.End(), kProgrammeMarker.size());
      }
    }
  }
}

void ListingChecks::EndProlog() {
  prologDone = true;
  const std::optional<std::string> encoding = DeclaredEncoding(prolog);
  if (encoding && !SameAsciiLetters(*encoding, "UTF-8") && !SameAsciiLetters(*encoding, "UTF8") &&
      !SameAsciiLetters(*encoding, "US-ASCII") && !SameAsciiLetters(*encoding, "ASCII")) {
    declaredEncoding = encoding;
  }
  prolog = std::string();
}

void ListingChecks::Finish(std::uint64_t end) {
  if (!prologDone) EndProlog();
  // A sequence that the input's end cuts short is a bad one.
  if (end > utf8From) {
    if (utf8Checking[0] && !badUtf8InChannels) badUtf8InChannels = utf8From;
    if (utf8Checking[1] && !badUtf8InProgrammes) badUtf8InProgrammes = utf8From;
  }
}

std::vector<std::string> ListingWarnings(const std::string& name, const ListingChecks& checks,
                                         Range channels, Range programmes, KnownChannels& known) {
  std::vector<std::string> lines;
  const std::string quoted = "\"" + name + "\"";
  const auto inside = [](const std::optional<std::uint64_t>& at, Range section) {
    return at && section.Size() > 0 && *at >= section.first && *at < section.end;
  };
  if (channels.Size() == 0 && programmes.Size() == 0) return lines;

  if (checks.declaredEncoding) {
    lines.push_back(quoted + " is declared " + *checks.declaredEncoding +
                    ", but the joined guide is read as UTF-8");
  } else {
    std::optional<std::uint64_t> bad;
    if (inside(checks.badUtf8InChannels, channels)) bad = checks.badUtf8InChannels;
    if (inside(checks.badUtf8InProgrammes, programmes) &&
        (!bad || *checks.badUtf8InProgrammes < *bad)) {
      bad = checks.badUtf8InProgrammes;
    }
    if (bad) lines.push_back(quoted + " is not valid UTF-8 at byte " + std::to_string(*bad));
  }

  const std::size_t self = known.inputs.size();
  known.inputs.push_back(name);
  std::size_t repeats = 0;
  std::string first;
  std::size_t firstFrom = 0;
  for (const auto& [at, id] : checks.ids) {
    if (!inside(at, channels)) continue;
    const auto [entry, added] = known.firstFrom.try_emplace(id, self);
    if (added) continue;
    if (repeats++ == 0) {
      first = id;
      firstFrom = entry->second;
    }
  }
  if (repeats > 0) {
    lines.push_back(quoted + " repeats " + std::to_string(repeats) +
                    " channel ids given before, first \"" + first + "\" from \"" +
                    known.inputs[firstFrom] + "\"");
  }

  if (inside(checks.programmeAfterChannelsBegin, channels)) {
    lines.push_back(quoted +
                    " has programmes among its channels; the joined guide holds them twice");
  } else if (inside(checks.channelAfterProgrammesBegin, programmes)) {
    lines.push_back(quoted +
                    " has channels among its programmes; the joined guide holds them twice");
  }
  return lines;
}

}  // namespace lindqvar
