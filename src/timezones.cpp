#include "timezones.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

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

// "%.4d%.2d%.2d%.2d%.2d" of year to minute.
char* WriteYearToMinute(char* out, const CalendarTime& time) {
  out = WriteDecimal(out, time.year, 4);
  out = WriteDecimal(out, time.month, 2);
  out = WriteDecimal(out, time.day, 2);
  out = WriteDecimal(out, time.hour, 2);
  return WriteDecimal(out, time.minute, 2);
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
  char* out = WriteYearToMinute(text.bytes, time);
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

namespace {

// Reads a POSIX TZ string from at on; each part moves at past what it read.
struct RuleReader {
  std::string_view text;
  std::size_t at = 0;

  bool AtEnd() const { return at == text.size(); }
  bool Take(char c) {
    if (at < text.size() && text[at] == c) {
      ++at;
      return true;
    }
    return false;
  }
  bool Digit() const { return at < text.size() && text[at] >= '0' && text[at] <= '9'; }
  // Digits, as a number no larger than most.
  bool Number(int& value, int most) {
    if (!Digit()) return false;
    value = 0;
    while (Digit()) {
      value = value * 10 + (text[at++] - '0');
      if (value > most) return false;
    }
    return true;
  }
  // A zone's abbreviation: three letters or more, or in angle brackets
  // three or more letters, digits and signs.
  bool Name() {
    std::size_t length = 0;
    if (Take('<')) {
      while (at < text.size() && text[at] != '>') {
        const char c = text[at++];
        const bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                             (c >= '0' && c <= '9') || c == '+' || c == '-';
        if (!allowed) return false;
        ++length;
      }
      return Take('>') && length >= 3;
    }
    while (at < text.size() && ((text[at] | 0x20) >= 'a' && (text[at] | 0x20) <= 'z')) {
      ++at;
      ++length;
    }
    return length >= 3;
  }
  // [+|-]hh[:mm[:ss]], in seconds, hours no more than mostHours.
  bool Duration(std::int32_t& seconds, int mostHours) {
    const bool negative = Take('-');
    if (!negative) Take('+');
    int hours = 0;
    int minutes = 0;
    int secs = 0;
    if (!Number(hours, mostHours)) return false;
    if (Take(':') && (!Number(minutes, 59) || (Take(':') && !Number(secs, 59)))) return false;
    seconds = hours * 3600 + minutes * 60 + secs;
    if (negative) seconds = -seconds;
    return true;
  }
  bool Change(ZoneRule::Change& change) {
    if (Take('M')) {
      change.kind = ZoneRule::Change::kWeekOfMonth;
      if (!Number(change.month, 12) || change.month < 1 || !Take('.') || !Number(change.week, 5) ||
          change.week < 1 || !Take('.') || !Number(change.weekday, 6)) {
        return false;
      }
    } else if (Take('J')) {
      change.kind = ZoneRule::Change::kJulianNoLeapDay;
      if (!Number(change.day, 365) || change.day < 1) return false;
    } else {
      change.kind = ZoneRule::Change::kDayOfYear;
      if (!Number(change.day, 365)) return false;
    }
    change.time = 2 * 3600;
    return !Take('/') || Duration(change.time, 167);
  }
};

std::int64_t FloorDivide(std::int64_t a, std::int64_t b) {
  return a / b - (a % b != 0 && (a < 0) != (b < 0));
}

// Days from 1 January 1970 to the date, in the Gregorian calendar (after
// Howard Hinnant's days_from_civil).
std::int64_t DaysFromCivil(std::int64_t year, int month, int day) {
  year -= month <= 2;
  const std::int64_t era = FloorDivide(year, 400);
  const std::int64_t yearOfEra = year - era * 400;
  const std::int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

bool IsLeap(std::int64_t year) {
  return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

// The day of a change in a year, in days from 1 January 1970.
std::int64_t ChangeDay(const ZoneRule::Change& change, std::int64_t year) {
  const std::int64_t january1 = DaysFromCivil(year, 1, 1);
  switch (change.kind) {
    case ZoneRule::Change::kJulianNoLeapDay:
      return january1 + change.day - 1 + (IsLeap(year) && change.day >= 60);
    case ZoneRule::Change::kDayOfYear:
      return january1 + change.day;
    case ZoneRule::Change::kWeekOfMonth:
      break;
  }
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const std::int64_t first = DaysFromCivil(year, change.month, 1);
  const int firstWeekday =
      static_cast<int>(((first + 4) % 7 + 7) % 7);  // 1 January 1970 was a Thursday
  int day = (change.weekday - firstWeekday + 7) % 7 + (change.week - 1) * 7;
  const int length = kDays[change.month - 1] + (change.month == 2 && IsLeap(year));
  while (day >= length) day -= 7;
  return first + day;
}

// Works out the rule's changes in the year and the years around it that
// come after the moment after (UTC): each as the first wall-clock time of
// the offset after it. Clocks going forward skip the times up to the new
// offset's (they keep the offset before); clocks going back repeat times,
// whose first coming keeps the offset before too. Before the first of them
// comes the offset before, or offsetAfter when the zone's listed changes
// reach into these years.
void FillRuleYear(const ZoneRule& zone, std::int64_t year, std::int64_t after,
                  std::int32_t offsetAfter, ZoneYear& cache) {
  struct Step {
    std::int64_t at;  // UTC
    std::int64_t from;
    int order;  // 0 for the end of summer time, 1 for its start
    std::int32_t offset;
  };
  Step steps[6];
  std::size_t count = 0;
  for (std::int64_t y = year - 1; y <= year + 1; ++y) {
    const std::int64_t startsAt =
        ChangeDay(zone.start, y) * 86400 + zone.start.time - zone.standard;
    const std::int64_t endsAt = ChangeDay(zone.end, y) * 86400 + zone.end.time - zone.summer;
    const std::int32_t larger = std::max(zone.standard, zone.summer);
    steps[count++] = {startsAt, startsAt + larger, 1, zone.summer};
    steps[count++] = {endsAt, endsAt + larger, 0, zone.standard};
  }
  // In order of time, the end of summer time first on a tie: six steps,
  // put in place one by one.
  for (std::size_t i = 1; i < count; ++i) {
    for (std::size_t j = i; j > 0; --j) {
      const Step& a = steps[j - 1];
      const Step& b = steps[j];
      if (a.from < b.from || (a.from == b.from && a.order <= b.order)) break;
      std::swap(steps[j - 1], steps[j]);
    }
  }
  cache.ruleKnown = true;
  cache.offsetBefore = steps[0].order == 1 ? zone.standard : zone.summer;
  cache.count = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (steps[i].at <= after) {
      cache.offsetBefore = offsetAfter;
      continue;
    }
    cache.from[cache.count] = steps[i].from;
    cache.offsetFrom[cache.count++] = steps[i].offset;
  }
}

}  // namespace

std::optional<ZoneRule> ParseZoneRule(std::string_view text) {
  RuleReader reader{text};
  ZoneRule zone;
  std::int32_t west = 0;
  if (!reader.Name() || !reader.Duration(west, 24)) return std::nullopt;
  zone.standard = -west;
  if (reader.AtEnd()) return zone;
  if (!reader.Name()) return std::nullopt;
  zone.hasSummer = true;
  zone.summer = zone.standard + 3600;
  if (!reader.AtEnd() && reader.text[reader.at] != ',') {
    if (!reader.Duration(west, 24)) return std::nullopt;
    zone.summer = -west;
  }
  if (reader.AtEnd()) {
    // No dates given: the rules of the United States, as C libraries take.
    return ParseZoneRule(std::string(text) + ",M3.2.0,M11.1.0");
  }
  if (!reader.Take(',') || !reader.Change(zone.start) || !reader.Take(',') ||
      !reader.Change(zone.end) || !reader.AtEnd()) {
    return std::nullopt;
  }
  return zone;
}

TimeZone MakeTimeZone(std::int32_t first, std::vector<std::int64_t> changes,
                      std::vector<std::int32_t> offsets, std::optional<ZoneRule> rule) {
  TimeZone zone{first, std::move(changes), std::move(offsets), {}, std::move(rule)};
  // A change's new offset counts from the first local time that comes only
  // after it: the end of the gap when the clocks go forward, the end of the
  // doubled stretch when they go back. Kept in order should two changes
  // come closer together than their offsets differ.
  zone.wallFrom.reserve(zone.changes.size());
  std::int32_t before = first;
  for (std::size_t i = 0; i < zone.changes.size(); ++i) {
    std::int64_t from = zone.changes[i] + std::max(before, zone.offsets[i]);
    if (i > 0) from = std::max(from, zone.wallFrom[i - 1]);
    zone.wallFrom.push_back(from);
    before = zone.offsets[i];
  }
  return zone;
}

std::vector<std::int32_t> OffsetsOf(const TimeZone& zone) {
  std::vector<std::int32_t> offsets = zone.offsets;
  offsets.push_back(zone.first);
  if (zone.rule) {
    offsets.push_back(zone.rule->standard);
    if (zone.rule->hasSummer) offsets.push_back(zone.rule->summer);
  }
  std::sort(offsets.begin(), offsets.end());
  offsets.erase(std::unique(offsets.begin(), offsets.end()), offsets.end());
  return offsets;
}

std::int32_t OffsetAtLocalTime(const TimeZone& zone, const CalendarTime& time, ZoneYear& cache) {
  std::int64_t year = time.year;
  int month = time.month;
  if (month < 1 || month > 12) {
    const std::int64_t months = static_cast<std::int64_t>(time.month) - 1;
    year += FloorDivide(months, 12);
    month = static_cast<int>(months - FloorDivide(months, 12) * 12) + 1;
  }
  const auto listedAfter = [&](std::int64_t wall) {
    return static_cast<std::size_t>(
        std::upper_bound(zone.wallFrom.begin(), zone.wallFrom.end(), wall) - zone.wallFrom.begin());
  };
  if (cache.year != year) {
    cache.year = year;
    cache.ruleKnown = false;
    for (int m = 1; m <= 12; ++m) cache.monthStart[m - 1] = DaysFromCivil(year, m, 1);
    cache.start = cache.monthStart[0] * 86400;
    cache.last = DaysFromCivil(year + 1, 1, 1) * 86400 - 1;
    cache.listedFrom = listedAfter(cache.start - 1);
    cache.listedTo = listedAfter(cache.last);
  }
  const std::int64_t wall = (cache.monthStart[month - 1] + time.day - 1) * 86400 +
                            std::int64_t{time.hour} * 3600 + std::int64_t{time.minute} * 60;

  // The listed changes, up to the last one's new offset, or for ever when
  // there is no rule after them. A year holds a few of them at most.
  const bool listed = !zone.changes.empty();
  if (listed && (!zone.rule || wall < zone.wallFrom.back())) {
    std::size_t after = cache.listedFrom;
    if (wall >= cache.start && wall <= cache.last) {
      while (after < cache.listedTo && zone.wallFrom[after] <= wall) ++after;
    } else {
      after = listedAfter(wall);  // a day past the month's end, say
    }
    return after == 0 ? zone.first : zone.offsets[after - 1];
  }
  if (!zone.rule) return zone.first;
  const ZoneRule& rule = *zone.rule;
  if (!rule.hasSummer) return rule.standard;
  if (!cache.ruleKnown) {
    FillRuleYear(rule, year, listed ? zone.changes.back() : INT64_MIN,
                 listed ? zone.offsets.back() : 0, cache);
  }
  std::int32_t offset = cache.offsetBefore;
  for (std::size_t i = 0; i < cache.count && wall >= cache.from[i]; ++i)
    offset = cache.offsetFrom[i];
  return offset;
}

ListingTime FormatZonedListingTime(const CalendarTime& time, std::int32_t offset) {
  ListingTime text;
  char* out = WriteYearToMinute(text.bytes, time);
  std::memcpy(out, offset < 0 ? "00 -" : "00 +", 4);
  out += 4;
  const unsigned minutes = static_cast<unsigned>(offset < 0 ? -offset : offset) / 60;
  out = WriteDecimal(out, minutes / 60, 2);
  out = WriteDecimal(out, minutes % 60, 2);
  text.size = static_cast<std::size_t>(out - text.bytes);
  return text;
}

}  // namespace lindqvar
