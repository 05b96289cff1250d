#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "timezones.h"

namespace lindqvar {
namespace {

CalendarTime At(int year, int month, int day, int hour = 0, int minute = 0) {
  return CalendarTime{static_cast<std::uint16_t>(year),
                      static_cast<std::uint16_t>(month),
                      0,
                      static_cast<std::uint16_t>(day),
                      static_cast<std::uint16_t>(hour),
                      static_cast<std::uint16_t>(minute),
                      0,
                      0};
}

TEST(IsLeapYear, GregorianRule) {
  for (const int year : {2000, 2004, 1996, 2400, 1600, 0}) EXPECT_TRUE(IsLeapYear(year)) << year;
  for (const int year : {1900, 2003, 2100, 2200, 1700, 2001})
    EXPECT_FALSE(IsLeapYear(year)) << year;
}

// Checked against a plain day count from a known Saturday, across four
// centuries so that every (century mod 4) and every leap rule is met.
TEST(WeekdayOf, AgreesWithDayCountAcrossCenturies) {
  int weekday = 6;  // 1 January 1600, like 1 January 2000, was a Saturday
  const int monthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  for (int year = 1600; year <= 2400; ++year) {
    for (int month = 1; month <= 12; ++month) {
      const int days = monthDays[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
      for (int day = 1; day <= days; ++day) {
        ASSERT_EQ(WeekdayOf(At(year, month, day)), weekday) << year << "-" << month << "-" << day;
        weekday = (weekday + 1) % 7;
      }
    }
  }
  EXPECT_EQ(WeekdayOf(At(2004, 3, 31)), 3);   // Wednesday
  EXPECT_EQ(WeekdayOf(At(2004, 10, 31)), 0);  // Sunday
}

TEST(SummerTimeBoundsOf, LastSundaysOfMarchAndOctober) {
  struct Row {
    int year, marchSunday, octoberSunday;
  };
  const Row rows[] = {{2004, 28, 31}, {2005, 27, 30}, {2021, 28, 31},
                      {2026, 29, 25}, {2027, 28, 31}, {2100, 28, 31}};
  for (const Row& row : rows) {
    const SummerTimeBounds bounds = SummerTimeBoundsOf(static_cast<std::uint16_t>(row.year));
    EXPECT_EQ(bounds.SummerStart.day, row.marchSunday) << row.year;
    EXPECT_EQ(bounds.SummerStart.month, 3);
    EXPECT_EQ(bounds.SummerStart.hour, 2);
    EXPECT_EQ(bounds.SummerEnd.day, row.octoberSunday) << row.year;
    EXPECT_EQ(bounds.SummerEnd.month, 10);
    EXPECT_EQ(bounds.SummerEnd.hour, 1);
  }
}

TEST(IsSummerTime, BoundaryHoursOfEachYear) {
  struct Row {
    CalendarTime time;
    bool inside;
  };
  const Row rows[] = {
      {At(2004, 3, 28, 1, 59), false},
      {At(2004, 3, 28, 2, 0), true},
      {At(2004, 3, 27, 23, 0), false},
      {At(2004, 3, 29, 0, 0), true},
      {At(2004, 10, 31, 0, 59), true},
      {At(2004, 10, 31, 1, 0), false},
      {At(2004, 10, 30, 23, 59), true},
      {At(2005, 3, 27, 1, 0), false},
      {At(2005, 3, 27, 2, 0), true},
      {At(2005, 10, 30, 0, 0), true},
      {At(2005, 10, 30, 1, 0), false},
      {At(2005, 10, 31, 0, 0), false},  // 2004's end day means nothing in 2005
      {At(2021, 3, 28, 2, 0), true},
      {At(2021, 10, 31, 0, 30), true},
      {At(2027, 3, 28, 1, 0), false},
      {At(2027, 10, 31, 1, 0), false},
      {At(2100, 3, 28, 2, 0), true},
      {At(2100, 10, 30, 23, 0), true},
      {At(2100, 10, 31, 1, 0), false},
      {At(2026, 10, 25, 0, 30), true},
      {At(2026, 10, 25, 1, 30), false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(IsSummerTime(row.time), row.inside)
        << row.time.year << "-" << row.time.month << "-" << row.time.day << " " << row.time.hour;
  }
}

TEST(IsSummerTime, MonthsOutsideAndInside) {
  for (int day : {1, 15, 31}) {
    for (int hour : {0, 12, 23}) {
      for (int month : {1, 2, 11, 12}) EXPECT_FALSE(IsSummerTime(At(2004, month, day, hour)));
      for (int month = 4; month <= 9; ++month)
        EXPECT_TRUE(IsSummerTime(At(2004, month, day, hour)));
    }
  }
  // Out-of-range months follow the October rule of their year.
  EXPECT_TRUE(IsSummerTime(At(2004, 13, 30, 23)));
  EXPECT_FALSE(IsSummerTime(At(2004, 13, 31, 1)));
  EXPECT_TRUE(IsSummerTime(At(2004, 0, 1, 0)));
}

TEST(FormatListingTime, WidthsAndSuffix) {
  struct Row {
    CalendarTime time;
    bool withSeconds;
    std::string_view expected;
  };
  const Row rows[] = {
      {At(2004, 9, 21, 19, 30), true, "20040921193000 +0100"},
      {At(2004, 12, 1, 7, 5), true, "20041201070500"},
      {At(2004, 12, 1, 7, 5), false, "200412010705"},
      {At(5, 1, 2, 3, 4), true, "00050102030400"},
      {At(12345, 12, 1, 0, 0), true, "123451201000000"},
      {At(65535, 65535, 65535, 65535, 65535), true, "655356553565535655356553500"},
      {At(2004, 6, 1, 0, 0), true, "20040601000000 +0100"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(FormatListingTime(row.time, row.withSeconds).View(), row.expected);
  }
  CalendarTime withSecond = At(2004, 12, 1, 7, 5);
  withSecond.second = 42;
  EXPECT_EQ(FormatListingTime(withSecond, true).View(), "20041201070500");
}

TEST(ParseZoneRule, FormsAndFaults) {
  const auto offsets = [](std::string_view text) {
    const std::optional<ZoneRule> zone = ParseZoneRule(text);
    if (!zone) return std::string("none");
    return std::to_string(zone->standard) +
           (zone->hasSummer ? "/" + std::to_string(zone->summer) : std::string());
  };
  const std::pair<std::string_view, std::string> rows[] = {
      {"CET-1CEST,M3.5.0,M10.5.0/3", "3600/7200"},
      {"EST5EDT,M3.2.0,M11.1.0", "-18000/-14400"},
      {"EST5EDT", "-18000/-14400"},  // the dates of the United States
      {"<+0530>-5:30", "19800"},
      {"<-03>3", "-10800"},
      {"<+1245>-12:45<+1345>,M9.5.0/2:45,M4.1.0/3:45", "45900/49500"},
      {"IST-1GMT0,M10.5.0,M3.5.0/1", "3600/0"},
      {"<-02>2<-01>,M3.5.0/-1,M10.5.0/0", "-7200/-3600"},
      {"EET-2EEST,M3.4.4/50,M10.4.4/50", "7200/10800"},
      {"XXX3YYY,J60/2:30:15,300/-167", "-10800/-7200"},
      {"", "none"},
      {"CET", "none"},               // no offset
      {"CE-1", "none"},              // a name of two letters
      {"CET-25", "none"},            // an offset past 24 hours
      {"CET-1CEST,M3.5.0", "none"},  // no end
      {"CET-1CEST,M13.5.0,M10.5.0", "none"},
      {"CET-1CEST,M3.6.0,M10.5.0", "none"},
      {"CET-1CEST,M3.5.7,M10.5.0", "none"},
      {"CET-1CEST,J0,J365", "none"},
      {"CET-1CEST,M3.5.0/168,M10.5.0", "none"},
      {"CET-1CEST,M3.5.0,M10.5.0/3x", "none"},
      {"<+05>-5:60", "none"},
      {"Europe/Berlin", "none"},  // a name, not a rule
  };
  for (const auto& [text, expected] : rows) EXPECT_EQ(offsets(text), expected) << text;
  EXPECT_TRUE(FindZoneRule("Europe/Berlin"));
  EXPECT_TRUE(FindZoneRule("UTC"));
  EXPECT_TRUE(FindZoneRule("CET-1CEST,M3.5.0,M10.5.0/3"));
  EXPECT_FALSE(FindZoneRule("Europe/Berlín"));
  EXPECT_FALSE(FindZoneRule("europe/berlin"));
}

std::string Zoned(const char* zone, int year, int month, int day, int hour, int minute) {
  ZoneYear cache;
  const CalendarTime time = At(year, month, day, hour, minute);
  return std::string(
      FormatZonedListingTime(time, OffsetAtLocalTime(*FindZoneRule(zone), time, cache)).View());
}

// The doubled hour takes its first, summer offset; a time the clocks skip,
// the offset before the gap; in either hemisphere, and in Ireland, whose
// rule calls winter time its summer time.
TEST(OffsetAtLocalTime, GapsAndDoubledHours) {
  struct Row {
    const char* zone;
    int year, month, day, hour, minute;
    std::string_view expected;
  };
  const Row rows[] = {
      {"Europe/Berlin", 2026, 3, 29, 1, 59, "20260329015900 +0100"},
      {"Europe/Berlin", 2026, 3, 29, 2, 30, "20260329023000 +0100"},  // skipped
      {"Europe/Berlin", 2026, 3, 29, 3, 0, "20260329030000 +0200"},
      {"Europe/Berlin", 2026, 10, 25, 2, 30, "20261025023000 +0200"},  // twice
      {"Europe/Berlin", 2026, 10, 25, 3, 0, "20261025030000 +0100"},
      {"Australia/Sydney", 2026, 4, 5, 2, 30, "20260405023000 +1100"},  // twice
      {"Australia/Sydney", 2026, 4, 5, 3, 0, "20260405030000 +1000"},
      {"Australia/Sydney", 2026, 10, 4, 2, 30, "20261004023000 +1000"},  // skipped
      {"Australia/Sydney", 2026, 10, 4, 3, 0, "20261004030000 +1100"},
      {"Europe/Dublin", 2026, 3, 29, 1, 30, "20260329013000 +0000"},     // skipped
      {"Europe/Dublin", 2026, 10, 25, 1, 30, "20261025013000 +0100"},    // twice
      {"America/New_York", 2026, 11, 1, 1, 30, "20261101013000 -0400"},  // twice
      {"Pacific/Chatham", 2026, 9, 27, 3, 0, "20260927030000 +1245"},    // skipped
      {"Asia/Kolkata", 2026, 7, 1, 12, 0, "20260701120000 +0530"},
      {"<-03>3", 2026, 1, 1, 0, 0, "20260101000000 -0300"},
      {"Etc/UTC", 2026, 1, 1, 0, 0, "20260101000000 +0000"},
      // The rules of today for every year, and months beyond a year's end
      // counting on into the next.
      {"Europe/Berlin", 1900, 7, 1, 12, 0, "19000701120000 +0200"},
      {"Europe/Berlin", 2026, 13, 1, 12, 0, "20261301120000 +0100"},
      {"Europe/Berlin", 2026, 0, 15, 12, 0, "20260015120000 +0100"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Zoned(row.zone, row.year, row.month, row.day, row.hour, row.minute), row.expected)
        << row.zone << " " << row.year << "-" << row.month << "-" << row.day << " " << row.hour
        << ":" << row.minute;
  }
}

// Around both changes of every year from 2025 to 2030, the offset agrees
// with the C library's for the same zone: the hour before a change, the hour
// after it, and the times between (skipped, or coming twice), which take
// the offset before the change by the rule above. The changes themselves
// are found by the C library, hour by hour and then to the second.
TEST(OffsetAtLocalTime, AgreesWithTheCLibrary) {
#if defined(_WIN32)
  GTEST_SKIP() << "the C library here takes no zone names: the Linux build checks this";
#else
  const char* const zones[] = {"Europe/London",
                               "Europe/Berlin",
                               "America/New_York",
                               "Australia/Sydney",
                               "Asia/Kolkata",
                               "Asia/Tokyo",
                               "Pacific/Chatham",
                               "America/Sao_Paulo",
                               "CET-1CEST,M3.5.0,M10.5.0/3",
                               "<+1030>-10:30<+11>-11,M10.1.0,M4.1.0"};
  const char* const before = std::getenv("TZ");
  const std::string saved = before ? before : "";
  const auto offsetAt = [](std::time_t utc) {
    std::tm local{};
    ::localtime_r(&utc, &local);
    return static_cast<std::int32_t>(local.tm_gmtoff);
  };
  const auto wallAt = [](std::int64_t wall) {  // seconds since 1970 on a wall clock
    const std::time_t t = static_cast<std::time_t>(wall);
    std::tm parts{};
    ::gmtime_r(&t, &parts);
    return At(parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min);
  };
  for (const char* name : zones) {
    ::setenv("TZ", name, 1);
    ::tzset();
    const ZoneRule zone = *FindZoneRule(name);
    ZoneYear cache;
    const auto check = [&](std::int64_t wall, std::int32_t expected, const char* what) {
      EXPECT_EQ(OffsetAtLocalTime(zone, wallAt(wall), cache), expected)
          << name << " " << what << " " << FormatListingTime(wallAt(wall), true).View();
    };
    int changes = 0;
    std::tm january{};
    january.tm_year = 2025 - 1900;
    january.tm_mday = 1;
    const std::time_t from = ::timegm(&january);
    for (std::time_t hour = from; hour < from + 6 * 365 * 86400; hour += 3600) {
      const std::int32_t offset = offsetAt(hour);
      if (offsetAt(hour + 3600) == offset) {
        // An ordinary time: the C library's mktime gives its offset too.
        if ((hour - from) % (86400 * 7 + 3600) == 0) {
          std::tm local{};
          ::localtime_r(&hour, &local);
          local.tm_isdst = -1;
          ::mktime(&local);
          check(hour + local.tm_gmtoff, static_cast<std::int32_t>(local.tm_gmtoff), "ordinary");
        }
        continue;
      }
      std::time_t low = hour;  // offset before; the change lies in (low, low + 3600]
      std::time_t high = hour + 3600;
      while (high - low > 1) {
        const std::time_t middle = low + (high - low) / 2;
        (offsetAt(middle) == offset ? low : high) = middle;
      }
      const std::int32_t after = offsetAt(high);
      const std::int64_t change = high;  // the first second of the new offset
      ++changes;
      check(change + offset - 3600, offset, "the hour before");
      check(change + std::max(offset, after) + 3600 - 60, after, "the hour after");
      check(change + std::max(offset, after), after, "the first time after");
      // Skipped or coming twice: the offset before.
      for (std::int64_t wall = change + std::min(offset, after);
           wall < change + std::max(offset, after); wall += 15 * 60) {
        check(wall, offset, after > offset ? "skipped" : "twice");
      }
    }
    const bool changesClocks = zone.hasSummer;
    EXPECT_EQ(changes, changesClocks ? 12 : 0) << name;
  }
  if (before) {
    ::setenv("TZ", saved.c_str(), 1);
  } else {
    ::unsetenv("TZ");
  }
  ::tzset();
#endif
}

}  // namespace
}  // namespace lindqvar
