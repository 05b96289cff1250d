// The channels a user wants in the guide: the ids of one or more lists,
// each an M3U playlist (the tvg-id of its #EXTINF entries) or a plain list
// of one id a line, with * and ? as wildcards. An id is matched exactly
// first, and when no entry has it, with ASCII letter case ignored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "IdStore.h"

namespace lindqvar {

// One list as it was read.
struct ChannelList {
  std::string name;
  // Its distinct entries in its order: ids (into the selection's entries)
  // and wildcard patterns (into its patterns).
  struct Item {
    bool pattern;
    std::uint32_t index;
  };
  std::vector<Item> items;
  std::size_t withoutId = 0;   // M3U entries with no or an empty tvg-id
  std::string firstWithoutId;  // the title of the first
  std::size_t caseOnly = 0;    // ids of the inputs matched only with case ignored
  std::string firstCaseOnly;
  std::string firstCaseOnlyEntry;
};

class ChannelSelection {
 public:
  // Reads the lines of a list named name, as its bytes come, a piece at a
  // time, then ends it: whether it gave any id.
  class Reader {
   public:
    Reader(ChannelSelection& selection, std::string name);
    void Feed(std::string_view bytes);
    bool Finish();

   private:
    void Line(std::string_view line);

    ChannelSelection& selection_;
    std::size_t list_;
    std::string partial_;  // a line the piece before did not end, as far as it is kept
    bool first_ = true;
    bool m3u_ = false;
    // A plain list's lines, held until the list ends: a later #EXTINF line
    // makes it a playlist, whose other lines name no channel.
    std::vector<std::string> plain_;
  };

  struct Match {
    bool kept = false;
    bool caseOnly = false;  // only with letter case ignored
  };

  // Whether the lists keep id, marking the entry it matched as found in an
  // input.
  Match Find(std::string_view id);

  const std::vector<ChannelList>& Lists() const { return lists_; }

  // The line about entries of list without a tvg-id, if it has any.
  std::optional<std::string> ReadWarning(std::size_t list) const;

  // The lines about the lists once every input has been read: entries no
  // input has, ids matched only with case ignored.
  std::vector<std::string> Warnings() const;

 private:
  struct Pattern {
    std::string text;
    std::size_t list;
    bool found = false;
  };
  struct Entry {
    IdStore::Handle handle;  // in exact_
    std::uint32_t list;      // the first list that names it
    std::uint32_t lastList;  // the last list that named it so far
    bool found = false;
  };

  void AddId(std::size_t list, std::string_view id);
  void AddPattern(std::size_t list, std::string_view pattern);
  void NoteCaseOnly(std::size_t list, std::string_view id, std::string_view entry);

  std::vector<ChannelList> lists_;
  IdStore exact_;   // each id, valued by its index into entries_
  IdStore folded_;  // each id in lower case, valued by the handle in exact_ of the first
  std::vector<Entry> entries_;
  std::vector<Pattern> patterns_;
  IdStore caseOnlyIds_;  // ids of the inputs matched only with case ignored, once each
};

// Whether text matches pattern, in which * stands for any bytes and ? for
// any one byte; with ASCII letter case ignored when foldCase.
bool MatchesWildcards(std::string_view text, std::string_view pattern, bool foldCase);

// The value of the tvg-id attribute of an M3U #EXTINF line (name in any
// letter case; value quoted either way, or bare up to a blank or comma;
// blanks around it trimmed), and its title, from the first comma outside
// quotes on.
struct ExtinfEntry {
  std::string id;
  std::string title;
};
ExtinfEntry ReadExtinf(std::string_view line);

}  // namespace lindqvar
