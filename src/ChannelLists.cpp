#include "ChannelLists.h"

#include <algorithm>
#include <new>
#include <utility>

#include "Console.h"
#include "ListingChecks.h"
#include "StringUtils.h"

namespace lindqvar {

namespace {

// Of a line longer than this, the rest is not looked at.
constexpr std::size_t kLongestLine = std::size_t{64} << 10;

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::string LowerCase(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = AsciiLower(c);
  return lower;
}

}  // namespace

bool MatchesWildcards(std::string_view text, std::string_view pattern, bool foldCase) {
  // One pass, going back only to just after the last star.
  std::size_t t = 0;
  std::size_t p = 0;
  std::size_t star = std::string_view::npos;
  std::size_t resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (p < pattern.size() &&
               (pattern[p] == '?' || (foldCase ? AsciiLower(pattern[p]) == AsciiLower(text[t])
                                               : pattern[p] == text[t]))) {
      ++p;
      ++t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

ExtinfEntry ReadExtinf(std::string_view line) {
  ExtinfEntry entry;
  bool found = false;
  std::size_t at = std::min<std::size_t>(line.size(), 7);  // past "#EXTINF"
  if (at < line.size() && line[at] == ':') ++at;
  const auto quoted = [&](std::size_t open) {  // the end of a quoted stretch at open
    const std::size_t close = line.find(line[open], open + 1);
    return close == std::string_view::npos ? line.size() : close + 1;
  };
  while (at < line.size()) {
    if (IsBlank(line[at])) {
      ++at;
    } else if (line[at] == ',') {
      entry.title = std::string(Trimmed(line.substr(at + 1)));
      break;
    } else if (line[at] == '"' || line[at] == '\'') {
      at = quoted(at);
    } else {
      const std::size_t nameAt = at;
      while (at < line.size() && !IsBlank(line[at]) && line[at] != '=' && line[at] != ',' &&
             line[at] != '"' && line[at] != '\'') {
        ++at;
      }
      const std::string_view name = line.substr(nameAt, at - nameAt);
      if (at >= line.size() || line[at] != '=') continue;
      ++at;
      std::string_view value;
      if (at < line.size() && (line[at] == '"' || line[at] == '\'')) {
        const std::size_t close = line.find(line[at], at + 1);
        value = line.substr(at + 1, close == std::string_view::npos ? close : close - at - 1);
        at = close == std::string_view::npos ? line.size() : close + 1;
      } else {
        const std::size_t valueAt = at;
        while (at < line.size() && !IsBlank(line[at]) && line[at] != ',') ++at;
        value = line.substr(valueAt, at - valueAt);
      }
      if (!found && SameAsciiLetters(name, "tvg-id")) {
        entry.id = std::string(Trimmed(value));
        found = true;
      }
    }
  }
  return entry;
}

ChannelSelection::Reader::Reader(ChannelSelection& selection, std::string name)
    : selection_(selection), list_(selection.lists_.size()) {
  selection.lists_.push_back(ChannelList{std::move(name), {}, 0, {}, 0, {}, {}});
}

void ChannelSelection::Reader::Feed(std::string_view bytes) {
  while (!bytes.empty()) {
    const std::size_t end = bytes.find('\n');
    const std::string_view piece = bytes.substr(0, end);
    partial_.append(piece.substr(0, kLongestLine - std::min(kLongestLine, partial_.size())));
    if (end == std::string_view::npos) return;
    Line(partial_);
    partial_.clear();
    bytes.remove_prefix(end + 1);
  }
}

bool ChannelSelection::Reader::Finish() {
  if (!partial_.empty()) Line(partial_);
  partial_ = std::string();
  for (const std::string& line : plain_) {
    if (line.find_first_of("*?") != std::string::npos) {
      selection_.AddPattern(list_, line);
    } else {
      selection_.AddId(list_, line);
    }
  }
  plain_ = {};
  return !selection_.lists_[list_].items.empty();
}

void ChannelSelection::Reader::Line(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (std::exchange(first_, false)) {
    if (line.starts_with("\xEF\xBB\xBF")) line.remove_prefix(3);
    m3u_ = line.starts_with("#EXTM3U");
  }
  if (line.starts_with("#EXTINF")) {
    if (!m3u_) plain_.clear();  // a playlist after all
    m3u_ = true;
    const ExtinfEntry entry = ReadExtinf(line);
    ChannelList& list = selection_.lists_[list_];
    if (!entry.id.empty()) {
      selection_.AddId(list_, entry.id);
    } else if (list.withoutId++ == 0) {
      list.firstWithoutId = entry.title.substr(0, kLongestShown + 1);
    }
    return;
  }
  if (m3u_) return;
  const std::string_view id = Trimmed(line);
  if (!id.empty() && id.front() != '#') plain_.emplace_back(id);
}

void ChannelSelection::AddId(std::size_t list, std::string_view id) {
  const auto index = static_cast<std::uint32_t>(entries_.size());
  const std::optional<IdStore::Added> added = exact_.Insert(id, index);
  if (!added) throw std::bad_alloc();
  const auto listIndex = static_cast<std::uint32_t>(list);
  if (added->added) {
    entries_.push_back(Entry{added->handle, listIndex, listIndex});
    if (!folded_.Insert(LowerCase(id), added->handle)) throw std::bad_alloc();
  } else {
    Entry& entry = entries_[exact_.Value(added->handle)];
    if (entry.lastList == listIndex) return;  // named twice in one list, as SD and HD
    entry.lastList = listIndex;
  }
  lists_[list].items.push_back({false, exact_.Value(added->handle)});
}

void ChannelSelection::AddPattern(std::size_t list, std::string_view pattern) {
  for (std::uint32_t i = 0; i < patterns_.size(); ++i) {
    if (patterns_[i].list == list && patterns_[i].text == pattern) return;
  }
  lists_[list].items.push_back({true, static_cast<std::uint32_t>(patterns_.size())});
  patterns_.push_back(Pattern{std::string(pattern), list});
}

void ChannelSelection::NoteCaseOnly(std::size_t list, std::string_view id, std::string_view entry) {
  const std::optional<IdStore::Added> added =
      caseOnlyIds_.Insert(id, static_cast<std::uint32_t>(list));
  if (!added || !added->added) return;
  ChannelList& named = lists_[list];
  if (named.caseOnly++ == 0) {
    named.firstCaseOnly = std::string(id.substr(0, kLongestShown + 1));
    named.firstCaseOnlyEntry = std::string(entry.substr(0, kLongestShown + 1));
  }
}

ChannelSelection::Match ChannelSelection::Find(std::string_view id) {
  if (const std::optional<IdStore::Handle> handle = exact_.Find(id)) {
    entries_[exact_.Value(*handle)].found = true;
    return {true, false};
  }
  for (Pattern& pattern : patterns_) {
    if (MatchesWildcards(id, pattern.text, false)) {
      pattern.found = true;
      return {true, false};
    }
  }
  if (const std::optional<IdStore::Handle> folded = folded_.Find(LowerCase(id))) {
    const IdStore::Handle handle = folded_.Value(*folded);
    Entry& entry = entries_[exact_.Value(handle)];
    entry.found = true;
    NoteCaseOnly(entry.list, id, exact_.Id(handle));
    return {true, true};
  }
  for (Pattern& pattern : patterns_) {
    if (MatchesWildcards(id, pattern.text, true)) {
      pattern.found = true;
      NoteCaseOnly(pattern.list, id, pattern.text);
      return {true, true};
    }
  }
  return {};
}

std::optional<std::string> ChannelSelection::ReadWarning(std::size_t list) const {
  const ChannelList& named = lists_[list];
  if (named.withoutId == 0) return std::nullopt;
  return "\"" + ShownFileName(named.name) + "\" has " +
         CountOf(named.withoutId, "entry", "entries") + " without a tvg-id, first \"" +
         Shown(named.firstWithoutId, kLongestShown) + "\"";
}

std::vector<std::string> ChannelSelection::Warnings() const {
  std::vector<std::string> lines;
  for (const ChannelList& list : lists_) {
    std::size_t missing = 0;
    std::string first;
    for (const ChannelList::Item& item : list.items) {
      const bool found = item.pattern ? patterns_[item.index].found : entries_[item.index].found;
      if (found || missing++ > 0) continue;
      first = item.pattern ? patterns_[item.index].text
                           : std::string(exact_.Id(entries_[item.index].handle));
    }
    const std::string quoted = "\"" + ShownFileName(list.name) + "\"";
    if (missing > 0) {
      lines.push_back(quoted + " names " + CountOf(missing, "channel", "channels") +
                      " that no input has, first \"" + Shown(first, kLongestShown) + "\"");
    }
    if (list.caseOnly > 0) {
      lines.push_back(CountOf(list.caseOnly, "channel id matches ", "channel ids match ") + quoted +
                      " only when letter case is ignored, first \"" +
                      Shown(list.firstCaseOnly, kLongestShown) + "\" for \"" +
                      Shown(list.firstCaseOnlyEntry, kLongestShown) + "\"");
    }
  }
  return lines;
}

}  // namespace lindqvar
