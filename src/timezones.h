// Summer-time rules: leap years, weekdays, the summer-time window of a year
// and the listing time form "YYYYMMDDhhmmss" with its " +0100" zone suffix.
// Knows nothing of text search.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

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

}  // namespace lindqvar
