#include <gtest/gtest.h>

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

}  // namespace
}  // namespace lindqvar
