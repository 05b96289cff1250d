#include "timezones.h"

#include <cstring>

namespace lindqvar {

namespace {

// Key of each month for the weekday reckoning, January first.
constexpr int kMonthKey[12] = {0, 3, 3, 6, 1, 4, 6, 2, 5, 0, 3, 5};

// The last Sunday of a 31-day month is the 31st less the 31st's weekday.
std::uint16_t LastSundayOf(std::uint16_t year, std::uint16_t month) {
  return static_cast<std::uint16_t>(31 - WeekdayOf(CalendarTime{year, month, 0, 31, 0, 0, 0, 0}));
}

// Writes value in decimal, zero-padded on the left to at least minDigits.
char* WriteDecimal(char* out, unsigned value, int minDigits) {
  if (minDigits == 2 && value < 100) {
    out[0] = static_cast<char>('0' + value / 10);
    out[1] = static_cast<char>('0' + value % 10);
    return out + 2;
  }
  char digits[10];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (int pad = count; pad < minDigits; ++pad) *out++ = '0';
  while (count > 0) *out++ = digits[--count];
  return out;
}

}  // namespace

bool IsLeapYear(int year) {
  return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

int WeekdayOf(const CalendarTime& date) {
  const int yy = date.year % 100;
  const int century = date.year / 100;
  const int key = date.month >= 1 && date.month <= 12 ? kMonthKey[date.month - 1] : 0;
  int e = yy + yy / 4 + key + date.day - 2 * (century % 4);
  if (IsLeapYear(date.year) && (date.month == 1 || date.month == 2)) --e;
  const int r = ((e % 7) + 7) % 7;
  return r == 0 ? 6 : r - 1;
}

SummerTimeBounds SummerTimeBoundsOf(std::uint16_t year) {
  return {CalendarTime{year, 3, 0, LastSundayOf(year, 3), 2, 0, 0, 0},
          CalendarTime{year, 10, 0, LastSundayOf(year, 10), 1, 0, 0, 0}};
}

bool IsSummerTime(const CalendarTime& time) {
  switch (time.month) {
    case 1:
    case 2:
    case 11:
    case 12:
      return false;
    case 4:
    case 5:
    case 6:
    case 7:
    case 8:
    case 9:
      return true;
    case 3: {
      const CalendarTime start = SummerTimeBoundsOf(time.year).SummerStart;
      return time.day > start.day || (time.day == start.day && time.hour >= start.hour);
    }
    default: {
      const CalendarTime end = SummerTimeBoundsOf(time.year).SummerEnd;
      return time.day < end.day || (time.day == end.day && time.hour < end.hour);
    }
  }
}

ListingTime FormatListingTime(const CalendarTime& time, bool withSeconds) {
  ListingTime text;
  char* out = text.bytes;
  out = WriteDecimal(out, time.year, 4);
  out = WriteDecimal(out, time.month, 2);
  out = WriteDecimal(out, time.day, 2);
  out = WriteDecimal(out, time.hour, 2);
  out = WriteDecimal(out, time.minute, 2);
  if (withSeconds) {
    std::memcpy(out, "00", 2);
    out += 2;
  }
  if (IsSummerTime(time)) {
    std::memcpy(out, " +0100", 6);
    out += 6;
  }
  text.size = static_cast<std::size_t>(out - text.bytes);
  return text;
}

}  // namespace lindqvar
