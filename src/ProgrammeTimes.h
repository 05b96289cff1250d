// Rewriting the programme times of an input marked with "-t": every start
// and stop value becomes its listing time in the summer/winter zone form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "Sections.h"
#include "timezones.h"

namespace lindqvar {

// Rewrites a programme section that arrives a window at a time: the value
// of every attribute whose name ends in start or stop, each in the order it
// stands. The names are found in any letter case, also at the end of
// longer names such as pdc-start. The state is a small copyable record, so
// a caller that does not yet know where the section ends can keep the state
// at each place it might end.
struct TimeRewriter {
  static constexpr std::size_t kKeptValueBytes = 41;  // all that conversion and messages read

  // With a zone, every time gets the offset the zone has in force then
  // (-t=ZONE); without, the summer/winter zone form (-t).
  const TimeZone* zone = nullptr;
  ZoneYear zoneYear;

  std::uint64_t pos = 0;         // next byte of the section not yet passed on
  std::uint64_t searchFrom = 0;  // first place where the next attribute may begin
  bool inValue = false;          // between the quotes of a value
  std::size_t valueSize = 0;     // bytes of that value so far
  char valueBytes[kKeptValueBytes];

  // Begins a section at offset first, in the zone already set.
  void Start(std::uint64_t first);

  // Handles the bytes of window from pos up to the offset upTo, appending
  // the rewritten text to out, or only checking the times when out is
  // null. The window must begin no later than pos and the attribute
  // searches still open. Raises EConvertError for a value that cannot be
  // converted.
  void Feed(Window window, std::uint64_t upTo, std::string* out);

  // Ends the section where the bytes fed so far end. Raises EConvertError
  // when it ends inside a value.
  void Finish() const;
};

// The rewriting of a section that comes in pieces of any size and place,
// such as the bytes the element filter keeps: they are rewritten as one
// stream, gathered into windows with the usual overlap.
class StreamedTimes {
 public:
  StreamedTimes(const TimeZone* zone, std::string& out);

  void Add(std::string_view bytes);

  // The stream ends. Raises EConvertError when it ends inside a value.
  void Finish();

 private:
  void Rewrite();

  TimeRewriter rewriter_;
  std::string& out_;
  std::string window_;        // the bytes not yet rewritten, after those it repeats
  std::uint64_t offset_ = 0;  // of window_'s first byte in the stream
  std::size_t repeated_ = 0;  // bytes at its start already rewritten
};

// Appends section to programmeText with every start and stop value
// rewritten by ConvertListingTime. Raises EConvertError.
void RewriteProgrammeTimes(std::string_view section, std::string& programmeText,
                           const TimeZone* zone = nullptr);

// The value's YYYYMMDDhhmm as a listing time with seconds "00" and the zone
// suffix of the summer-time window, or, given a zone, the offset the zone
// has in force at that local time; anything after the fourteenth byte is
// dropped. A field that is not an integer, or a value too short to hold a
// minute, raises EConvertError.
ListingTime ConvertListingTime(std::string_view value, const TimeZone* zone = nullptr,
                               ZoneYear* zoneYear = nullptr);

}  // namespace lindqvar
