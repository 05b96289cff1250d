// Summer-time rules: leap years, weekdays, the summer-time window of a year
// and the listing time form "YYYYMMDDhhmmss" with its " +0100" zone suffix;
// and any time zone, by name or as a POSIX TZ string, with the offset it
// gives a local time. Knows nothing of text search.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lindqvar {

struct CalendarTime {
  std::uint16_t year;
  std::uint16_t month;      // 1 to 12
  std::uint16_t dayOfWeek;  // 0 = Sunday; never read here
  std::uint16_t day;
  std::uint16_t hour;
  std::uint16_t minute;
  std::uint16_t second;
  std::uint16_t milliseconds;  // never read here
};

// A listing time as text: the longest, with five-digit fields and the zone
// suffix, is 33 bytes.
struct ListingTime {
  char bytes[40];
  std::size_t size = 0;

  std::string_view View() const { return {bytes, size}; }
};

// The two ends of a year's summer-time window: from the last Sunday of
// March at hour 2 to the last Sunday of October at hour 1.
struct SummerTimeBounds {
  CalendarTime SummerStart;
  CalendarTime SummerEnd;
};

bool IsLeapYear(int year);

// 0 = Sunday to 6 = Saturday, from year, month and day alone.
int WeekdayOf(const CalendarTime& date);

SummerTimeBounds SummerTimeBoundsOf(std::uint16_t year);

// Whether time lies inside the summer-time window of its own year. Only
// year, month, day and hour count; a month of 0 or above 12 is judged like
// October.
bool IsSummerTime(const CalendarTime& time);

// "%.4d%.2d%.2d%.2d%.2d" of year to minute, then "00" when withSeconds, then
// " +0100" inside the summer-time window. The second field is not written.
ListingTime FormatListingTime(const CalendarTime& time, bool withSeconds);

// A time zone's rules as a POSIX TZ string gives them, such as
// "CET-1CEST,M3.5.0,M10.5.0/3": the standard offset and, for a zone with
// summer time, the summer offset and the local date and time of each
// change, the same every year. Offsets are seconds east of UTC.
struct ZoneRule {
  // The day of a change in a year, and the time of day it comes at, in the
  // local time in force until then (which may lie before 0:00 or past
  // 24:00).
  struct Change {
    enum Kind { kJulianNoLeapDay, kDayOfYear, kWeekOfMonth } kind = kWeekOfMonth;
    int day = 0;  // 1 to 365 (Jn), or 0 to 365 (n)
    int month = 0;
    int week = 0;     // 1 to 5, 5 being the last
    int weekday = 0;  // 0 = Sunday
    std::int32_t time = 2 * 3600;
  };
  std::int32_t standard = 0;
  bool hasSummer = false;
  std::int32_t summer = 0;
  Change start;  // summer time begins
  Change end;    // summer time ends
};

// The rule of a POSIX TZ string; nothing when it is not one.
std::optional<ZoneRule> ParseZoneRule(std::string_view text);

// A time zone through the years: the offsets its zone file lists, each
// from the moment it came into force, and after the last of them the POSIX
// rule, every year. A POSIX TZ string alone is a zone that lists none.
struct TimeZone {
  std::int32_t first = 0;              // in force before the first listed change
  std::vector<std::int64_t> changes;   // seconds since 1970 UTC, ascending
  std::vector<std::int32_t> offsets;   // in force from each change on
  std::vector<std::int64_t> wallFrom;  // the local time from which each counts
  std::optional<ZoneRule> rule;        // after the last listed change
};

// The zone of the listed changes (at the moments changes, to offsets, the
// two of the same length, the moments ascending) and rule after them.
TimeZone MakeTimeZone(std::int32_t first, std::vector<std::int64_t> changes,
                      std::vector<std::int32_t> offsets, std::optional<ZoneRule> rule);

// The zone a zone file describes (TZif, RFC 8536, version 2 or later, read
// from its 64-bit part and its rule); nothing for bytes that are not such
// a file, whose counts do not fit its size, or that hold leap seconds.
std::optional<TimeZone> ReadZoneFile(std::string_view bytes);

// Whether name has the form of a zone name of the IANA database and may be
// looked up among the system's zone files: at most 255 bytes, no leading
// "/", no empty, "." or ".." step, not in the "posix/" or "right/" trees,
// and not one of the names that stand for no zone of its own ("Factory",
// "localtime", "posixrules").
bool IsZoneFileName(std::string_view name);

// The zone of name as the table compiled into the program has it; nothing
// when the table does not know it.
std::optional<TimeZone> CompiledTimeZone(std::string_view name);

// The names the compiled table knows, sorted, and the tzdata version it was
// made from.
std::vector<std::string_view> CompiledZoneNames();
std::string_view CompiledZoneVersion();

// The zone -t=name asks for: on a system with zone files, its file in the
// system's zone folder, the newest data there is; else the compiled
// table's; else the POSIX TZ string name is. Nothing when it is none of
// them. The system's file is read here, once.
std::optional<TimeZone> FindTimeZone(std::string_view name);

// Every offset the zone can give, without repeats.
std::vector<std::int32_t> OffsetsOf(const TimeZone& zone);

// What the offsets of a year need, kept for the next time in the same
// year: where its months begin, which of the zone's listed changes count
// from within it, and, once the zone's rule has been asked about, where in local wall-clock time
// the rule's offsets change in that year and the ones around it, after the zone's last listed
// change.
struct ZoneYear {
  std::int64_t year = INT64_MIN;
  std::int64_t monthStart[12] = {};  // days from 1970 to the first of each month
  std::int64_t start = 0;            // the year's first and last wall-clock second
  std::int64_t last = 0;
  std::size_t listedFrom = 0;  // the listed changes that count from within the year
  std::size_t listedTo = 0;
  bool ruleKnown = false;
  std::size_t count = 0;
  std::int64_t from[6] = {};        // wall-clock seconds of a change's first time
  std::int32_t offsetFrom[6] = {};  // the offset from then on
  std::int32_t offsetBefore = 0;    // the offset before the first
};

// The offset in force at a local wall-clock time of zone: the year, month,
// day, hour and minute of time. A local time that comes twice, when the
// clocks go back, takes the first, earlier offset; a local time the clocks
// skip takes the offset in force before the gap. Other months and days than
// a calendar has count on from the year's start. cache holds what was
// worked out for the last year asked about.
std::int32_t OffsetAtLocalTime(const TimeZone& zone, const CalendarTime& time, ZoneYear& cache);

// "%.4d%.2d%.2d%.2d%.2d00" of year to minute, then a blank and the offset
// as "+HHMM" or "-HHMM", always written.
ListingTime FormatZonedListingTime(const CalendarTime& time, std::int32_t offset);

}  // namespace lindqvar
