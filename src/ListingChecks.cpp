#include "ListingChecks.h"

#include <algorithm>
#include <string_view>

#include "Console.h"
#include "StringUtils.h"

namespace lindqvar {

namespace {

constexpr std::string_view kChannelMarker = "<channel";
constexpr std::string_view kProgrammeMarker = "<programme";

// Ids waiting for a closing marker may take this much; beyond it, as when
// memory runs out, the check of ids stops.
constexpr std::size_t kMostPending = std::size_t{16} << 20;

void PutNumber(std::string& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>(value >> (8 * i));
}

std::uint64_t GetNumber(std::string_view in, int bytes) {
  std::uint64_t value = 0;
  for (int i = 0; i < bytes; ++i)
    value |= std::uint64_t{static_cast<unsigned char>(in[i])} << (8 * i);
  return value;
}

}  // namespace

std::string Shown(std::string_view bytes, std::size_t longest) {
  const bool cut = bytes.size() > longest;
  if (cut) bytes = bytes.substr(0, longest);
  std::string shown;
  shown.reserve(bytes.size());
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) {
      shown += c;
    } else if (c == '\r') {
      shown += "\\r";
    } else if (c == '\n') {
      shown += "\\n";
    } else if (c == '\t') {
      shown += "\\t";
    } else {
      static constexpr char kHex[] = "0123456789ABCDEF";
      shown += "\\x";
      shown += kHex[byte >> 4];
      shown += kHex[byte & 0xF];
    }
  }
  return cut ? shown + "..." : shown;
}

std::string CountOf(std::size_t n, std::string_view one, std::string_view many) {
  return std::to_string(n) + " " + std::string(n == 1 ? one : many);
}

std::string ShownFileName(std::string_view name) {
  return Shown(ShownName(name));
}

void ListingChecks::ScanProlog(Window window) {
  const std::string_view text = window.bytes;
  if (prolog == Prolog::kStart) {
    // A declaration begins the input, after a byte order mark if there is
    // one: "<?xml" and a blank. Up to nine bytes tell.
    const std::size_t from = static_cast<std::size_t>(prologStart.size() - window.offset);
    prologStart.append(text.substr(std::min(from, text.size()), 9 - prologStart.size()));
    constexpr std::string_view kBom = "\xEF\xBB\xBF";
    constexpr std::string_view kOpening = "<?xml";
    std::string_view start = prologStart;
    if (kBom.starts_with(start)) return;  // all a mark so far, or nothing yet
    if (start.starts_with(kBom)) start.remove_prefix(kBom.size());
    if (start.size() <= kOpening.size()) {
      if (!kOpening.starts_with(start)) EndProlog();
      return;
    }
    if (!start.starts_with(kOpening) || !IsXmlBlank(start[kOpening.size()])) return EndProlog();
    prolog = Prolog::kDeclaration;
    declaration.Start("encoding", false);
    declarationAt = prologStart.size() - start.size() + kOpening.size();
  }
  if (prolog != Prolog::kDeclaration) return;
  const std::uint64_t upTo = std::min(window.End(), kDeclarationBytes);
  if (declarationAt < upTo) {
    declarationAt +=
        declaration.Feed(text.substr(static_cast<std::size_t>(declarationAt - window.offset),
                                     static_cast<std::size_t>(upTo - declarationAt)));
  }
  if (declaration.Ended() || declaration.Found() || declarationAt >= kDeclarationBytes) EndProlog();
}

void ListingChecks::Scan(Window window, const SectionScan& channels,
                         const SectionScan& programmes) {
  const std::string_view text = window.bytes;
  if (prolog != Prolog::kDone) ScanProlog(window);

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

  ScanChannelTags(window, channels, programmes);

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

// Channel start tags: each one's id, and the first inside the programmes.
void ListingChecks::ScanChannelTags(Window window, const SectionScan& channels,
                                    const SectionScan& programmes) {
  const std::string_view text = window.bytes;
  const bool checkIds = known && !known->ids.RanOut();
  for (;;) {
    if (!inTag) {
      const Position at = SearchText(
          text, kChannelMarker, window.PositionOf(std::max(nextChannel, window.offset)), false);
      if (at == -1) {
        nextChannel = Untried(nextChannel, window.End(), kChannelMarker.size());
        break;
      }
      tagAt = window.offset + static_cast<std::uint64_t>(at - 1);
      if (programmes.opened && !channelAfterProgrammesBegin && programmes.section.first <= tagAt) {
        channelAfterProgrammesBegin = tagAt;
      }
      nextChannel = tagEnd = tagAt + kChannelMarker.size();
      if (!checkIds) continue;
      inTag = true;
      tagNamed = false;
    }
    if (tagEnd == window.End()) break;  // it goes on in the next window
    if (!tagNamed) {
      // "<channels" or the like is another tag.
      const char after = text[static_cast<std::size_t>(tagEnd - window.offset)];
      if (!IsXmlBlank(after) && after != '>' && after != '/') {
        inTag = false;
        continue;
      }
      tagNamed = true;
      tag.Start("id", static_cast<bool>(keepsId));
    }
    tagEnd += tag.Feed(text.substr(static_cast<std::size_t>(tagEnd - window.offset)));
    if (!tag.Ended()) break;
    nextChannel = tagEnd;
    inTag = false;
    if (!tag.Found()) continue;
    const std::string_view key = tag.Value().Key();
    if (pending.size() - pendingRead + key.size() > kMostPending) return RunOut();
    PutNumber(pending, tagAt, 8);
    PutNumber(pending, key.size(), 4);
    pending.append(key);
  }
  if (checkIds && channels.section.end > 0) Confirm(channels.section.end);
}

// The ids waiting that lie before sectionEnd, in the channel section for
// good, each either new or a repeat.
void ListingChecks::Confirm(std::uint64_t sectionEnd) {
  while (pendingRead < pending.size()) {
    const std::string_view record = std::string_view(pending).substr(pendingRead);
    if (GetNumber(record, 8) >= sectionEnd) break;
    const auto size = static_cast<std::size_t>(GetNumber(record.substr(8), 4));
    const std::string_view key = record.substr(12, size);
    pendingRead += 12 + size;
    if (keepsId && !keepsId(key)) continue;
    const std::optional<IdStore::Added> added = known->ids.Insert(key, self);
    if (!added) return RunOut();
    if (added->added) continue;
    if (repeats++ == 0) {
      firstRepeat = key.substr(0, kLongestShown + 1);
      firstRepeatFrom = known->ids.Value(added->handle);
    }
  }
  if (pendingRead > pending.size() / 2) {
    pending.erase(0, pendingRead);
    pendingRead = 0;
  }
}

void ListingChecks::RunOut() {
  known->ids.LetGo();
  ranOutHere = true;
  inTag = false;
  pending = std::string();
  pendingRead = 0;
}

void ListingChecks::EndProlog() {
  prolog = Prolog::kDone;
  prologStart = std::string();
  if (!declaration.Found()) return;
  const std::string_view encoding = declaration.Value().Key();
  if (!SameAsciiLetters(encoding, "UTF-8") && !SameAsciiLetters(encoding, "UTF8") &&
      !SameAsciiLetters(encoding, "US-ASCII") && !SameAsciiLetters(encoding, "ASCII")) {
    declaredEncoding = std::string(encoding.substr(0, kLongestShown + 1));
  }
}

void ListingChecks::Finish(std::uint64_t end) {
  if (prolog != Prolog::kDone) EndProlog();
  // Ids after the last closing marker are outside the channel section.
  pending = std::string();
  pendingRead = 0;
  // A sequence that the input's end cuts short is a bad one.
  if (end > utf8From) {
    if (utf8Checking[0] && !badUtf8InChannels) badUtf8InChannels = utf8From;
    if (utf8Checking[1] && !badUtf8InProgrammes) badUtf8InProgrammes = utf8From;
  }
}

std::vector<std::string> ListingWarnings(const std::string& name, const ListingChecks& checks,
                                         Range channels, Range programmes,
                                         const KnownChannels& known) {
  std::vector<std::string> lines;
  const std::string quoted = "\"" + ShownFileName(name) + "\"";
  const auto inside = [](const std::optional<std::uint64_t>& at, Range section) {
    return at && section.Size() > 0 && *at >= section.first && *at < section.end;
  };
  if (channels.Size() == 0 && programmes.Size() == 0) return lines;

  if (checks.declaredEncoding) {
    lines.push_back(quoted + " is declared " + Shown(*checks.declaredEncoding, kLongestShown) +
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

  if (!checks.idsLine.empty()) {
    lines.push_back(checks.idsLine);
  } else if (checks.ranOutHere) {
    lines.push_back("too many channel ids to check for repeats after " + quoted);
  } else if (checks.repeats > 0) {
    lines.push_back(quoted + " repeats " + CountOf(checks.repeats, "channel id", "channel ids") +
                    " given before, first \"" + Shown(checks.firstRepeat, kLongestShown) +
                    "\" from \"" + ShownFileName(known.inputs[checks.firstRepeatFrom]) + "\"");
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
