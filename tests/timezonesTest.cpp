#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "timezones.h"

#if !defined(_WIN32)
#include <unistd.h>
#endif

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
  for (const char* known : {"Europe/Berlin", "UTC", "US/Eastern"}) {
    EXPECT_TRUE(FindTimeZone(known)) << known;
    EXPECT_TRUE(CompiledTimeZone(known)) << known;
  }
  EXPECT_TRUE(FindTimeZone("CET-1CEST,M3.5.0,M10.5.0/3"));
  for (const char* unknown : {"Europe/Berlín", "europe/berlin", "Factory", "localtime",
                              "posixrules", "posix/Europe/Berlin", "right/Europe/Berlin",
                              "../zoneinfo/Europe/Berlin", "/usr/share/zoneinfo/Europe/Berlin"}) {
    EXPECT_FALSE(FindTimeZone(unknown)) << unknown;
  }
}

std::string Zoned(const TimeZone& zone, int year, int month, int day, int hour, int minute) {
  ZoneYear cache;
  const CalendarTime time = At(year, month, day, hour, minute);
  return std::string(FormatZonedListingTime(time, OffsetAtLocalTime(zone, time, cache)).View());
}

std::string Zoned(const char* zone, int year, int month, int day, int hour, int minute) {
  return Zoned(*FindTimeZone(zone), year, month, day, hour, minute);
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
      // A zone's own history; a rule given as the zone holds for every year.
      // Months beyond a year's end count on into the next.
      {"Europe/Berlin", 1900, 7, 1, 12, 0, "19000701120000 +0100"},
      {"CET-1CEST,M3.5.0,M10.5.0/3", 1900, 7, 1, 12, 0, "19000701120000 +0200"},
      {"America/New_York", 2006, 3, 15, 12, 0, "20060315120000 -0500"},
      {"Europe/Moscow", 2012, 1, 15, 12, 0, "20120115120000 +0400"},
      {"Africa/Casablanca", 2027, 2, 15, 12, 0, "20270215120000 +0000"},
      {"Europe/Berlin", 2026, 13, 1, 12, 0, "20261301120000 +0100"},
      {"Europe/Berlin", 2026, 0, 15, 12, 0, "20260015120000 +0100"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Zoned(row.zone, row.year, row.month, row.day, row.hour, row.minute), row.expected)
        << row.zone << " " << row.year << "-" << row.month << "-" << row.day << " " << row.hour
        << ":" << row.minute;
  }
}

// Changes of clocks that came with tzdata 2026f: British Columbia on
// summer time for good, Cuba keeping its summer time through the winter.
TEST(OffsetAtLocalTime, ChangesOfTheNewestZoneData) {
  if (CompiledZoneVersion() < "2026f") {
    GTEST_SKIP() << "the table was made from tzdata " << CompiledZoneVersion()
                 << ", older than 2026f: upgrade tzdata and build again";
  }
  for (const auto& [zone, expected] : {std::pair{"America/Vancouver", "20261201120000 -0700"},
                                       std::pair{"America/Havana", "20261201120000 -0400"},
                                       std::pair{"America/New_York", "20261201120000 -0500"}}) {
    EXPECT_EQ(Zoned(*CompiledTimeZone(zone), 2026, 12, 1, 12, 0), expected) << zone;
  }
}

// A zone file made by hand, in the form zic writes: an empty 32-bit part,
// then the 64-bit one with a type for each offset, the first being the
// offset before the first change, and the rule.
std::string ZoneFile(std::int32_t first,
                     const std::vector<std::pair<std::int64_t, std::int32_t>>& changes,
                     const std::string& rule) {
  const auto number = [](std::string& out, std::uint64_t value, int size) {
    for (int i = size - 1; i >= 0; --i) out += static_cast<char>(value >> (8 * i) & 0xFF);
  };
  std::vector<std::int32_t> types{first};
  for (const auto& change : changes) {
    if (std::find(types.begin(), types.end(), change.second) == types.end()) {
      types.push_back(change.second);
    }
  }
  const auto header = [&](std::string& out, std::uint64_t times, std::uint64_t typeCount) {
    out += "TZif2";
    out.append(15, '\0');
    for (const std::uint64_t count : {std::uint64_t{0}, std::uint64_t{0}, std::uint64_t{0}, times,
                                      typeCount, std::uint64_t{4}}) {
      number(out, count, 4);
    }
  };
  std::string file;
  header(file, 0, 1);
  file += std::string(6, '\0') + "LMT";
  file.push_back('\0');
  header(file, changes.size(), types.size());
  for (const auto& change : changes) number(file, static_cast<std::uint64_t>(change.first), 8);
  for (const auto& change : changes) {
    file += static_cast<char>(std::find(types.begin(), types.end(), change.second) - types.begin());
  }
  for (const std::int32_t offset : types) {
    number(file, static_cast<std::uint32_t>(offset), 4);
    file += std::string("\0\0", 2);
  }
  file += "LMT";
  file.push_back('\0');
  return file + "\n" + rule + "\n";
}

// On +0300 from 2026-11-15 00:00 UTC, then the rule of +0200 in winter
// and +0300 in summer.
constexpr std::int64_t kMadeChange = 1794700800;
std::string MadeZoneFile() {
  return ZoneFile(3600, {{0, 7200}, {kMadeChange, 10800}}, "<+02>-2<+03>,M3.5.0,M10.5.0/3");
}

// What the file reader takes and what it refuses.
TEST(ReadZoneFile, HandMadeAndDamaged) {
  const std::int64_t change = kMadeChange;
  const std::string made = MadeZoneFile();
  const std::optional<TimeZone> zone = ReadZoneFile(made);
  ASSERT_TRUE(zone);
  EXPECT_EQ(zone->changes, (std::vector<std::int64_t>{0, change}));
  EXPECT_EQ(OffsetsOf(*zone), (std::vector<std::int32_t>{3600, 7200, 10800}));
  EXPECT_EQ(Zoned(*zone, 1969, 12, 31, 12, 0), "19691231120000 +0100");
  EXPECT_EQ(Zoned(*zone, 2026, 7, 1, 12, 0), "20260701120000 +0200");
  EXPECT_EQ(Zoned(*zone, 2026, 11, 15, 2, 30), "20261115023000 +0200");  // skipped
  EXPECT_EQ(Zoned(*zone, 2026, 11, 15, 3, 0), "20261115030000 +0300");
  EXPECT_EQ(Zoned(*zone, 2026, 12, 1, 12, 0), "20261201120000 +0300");  // the rule's winter skipped
  EXPECT_EQ(Zoned(*zone, 2027, 12, 1, 12, 0), "20271201120000 +0200");  // the rule from then on
  EXPECT_EQ(Zoned(*zone, 2027, 7, 1, 12, 0), "20270701120000 +0300");

  // Every way of cutting it short fails, and so do bad counts and values.
  for (std::size_t size = 0; size < made.size(); ++size) {
    EXPECT_FALSE(ReadZoneFile(made.substr(0, size))) << size;
  }
  std::string reversed = ZoneFile(0, {{100, 3600}, {50, 0}}, "");
  std::string badRule = ZoneFile(0, {{100, 3600}}, "CET-1CEST");
  badRule.replace(badRule.size() - 5, 4, "M3.x");
  std::string leapSeconds = made;
  leapSeconds[44 + 6 + 4 + 28 + 3] = 1;
  EXPECT_FALSE(ReadZoneFile(reversed));
  EXPECT_FALSE(ReadZoneFile(badRule));
  EXPECT_FALSE(ReadZoneFile(leapSeconds));
  EXPECT_FALSE(ReadZoneFile(made + "x"));
  EXPECT_TRUE(ReadZoneFile(ZoneFile(-18000, {}, "")));
}

// The system's folder, named by TZDIR, comes before the table, which takes
// over from a file that is missing or not zone data.
TEST(FindTimeZone, SystemFolderFirst) {
#if defined(_WIN32)
  GTEST_SKIP() << "Windows keeps no zone files: the table is the data";
#else
  const std::string made = MadeZoneFile();
  namespace fs = std::filesystem;
  const fs::path folder =
      fs::temp_directory_path() / ("lindqvar-tzdir-" + std::to_string(::getpid()));
  fs::create_directories(folder / "Europe");
  fs::create_directories(folder / "Mars");
  std::ofstream(folder / "Mars/Olympus_Mons", std::ios::binary) << made;
  std::ofstream(folder / "Europe/Berlin", std::ios::binary) << made.substr(0, made.size() / 2);
  std::ofstream(folder / "Europe/Paris", std::ios::binary) << made;
  const char* const before = std::getenv("TZDIR");
  const std::string saved = before ? before : "";
  ::setenv("TZDIR", folder.c_str(), 1);
  EXPECT_EQ(Zoned("Mars/Olympus_Mons", 2026, 12, 1, 12, 0), "20261201120000 +0300");
  EXPECT_EQ(Zoned("Europe/Paris", 2026, 12, 1, 12, 0), "20261201120000 +0300");
  EXPECT_EQ(Zoned("Europe/Berlin", 2026, 12, 1, 12, 0), "20261201120000 +0100");  // the table's
  EXPECT_FALSE(FindTimeZone("Mars/../Mars/Olympus_Mons"));
  EXPECT_FALSE(FindTimeZone("Mars//Olympus_Mons"));
  EXPECT_FALSE(FindTimeZone("Mars"));  // a folder
  if (before) {
    ::setenv("TZDIR", saved.c_str(), 1);
  } else {
    ::unsetenv("TZDIR");
  }
  fs::remove_all(folder);
#endif
}

#if !defined(_WIN32)
// The offsets the C library gives, for the zone TZ names.
std::int32_t LibraryOffsetAt(std::int64_t utc) {
  const std::time_t t = static_cast<std::time_t>(utc);
  std::tm local{};
  ::localtime_r(&t, &local);
  return static_cast<std::int32_t>(local.tm_gmtoff);
}

CalendarTime WallClock(std::int64_t wall) {
  const std::time_t t = static_cast<std::time_t>(wall);
  std::tm parts{};
  ::gmtime_r(&t, &parts);
  return At(parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min);
}

std::string ZoneDataVersionIn(const std::string& folder) {
  std::ifstream in(folder + "/tzdata.zi");
  std::string line;
  std::getline(in, line);
  return line.starts_with("# version ") ? line.substr(10) : "unknown";
}
#endif

// Every zone of the table, from the system's files and from the table
// itself, against the C library reading the same files, from 1970 to 2037.
// The C library's offset is sampled every week, and each change it shows
// there or the zone lists is found to the second; around each, the local
// times of the hour before, those skipped or coming twice (which keep the
// offset before), and the hour after. Away from changes, each weekly
// sample and every hour of 2026 has one offset, which both must give.
TEST(OffsetAtLocalTime, EveryZoneAgreesWithTheCLibrary) {
#if defined(_WIN32)
  GTEST_SKIP() << "the C library here takes no zone names: the Linux build checks this";
#else
  const char* const folder = "/usr/share/zoneinfo";
  if (!std::filesystem::exists(std::string(folder) + "/Europe/Berlin")) {
    GTEST_SKIP() << "no zone files in " << folder;
  }
  const bool tableIsCurrent = ZoneDataVersionIn(folder) == CompiledZoneVersion();
  if (!tableIsCurrent) {
    std::cout << "the table (tzdata " << CompiledZoneVersion() << ") is not checked: " << folder
              << " holds tzdata " << ZoneDataVersionIn(folder) << "\n";
  }
  const char* const tz = std::getenv("TZ");
  const char* const tzdir = std::getenv("TZDIR");
  const std::string savedTz = tz ? tz : "";
  const std::string savedTzdir = tzdir ? tzdir : "";
  ::unsetenv("TZDIR");
  constexpr std::int64_t kFrom = 0;         // 1970
  constexpr std::int64_t kTo = 2145916800;  // 2038
  constexpr std::int64_t kYear2026 = 1767225600;
  constexpr std::int64_t kWeek = 7 * 86400;
  std::size_t checked = 0;
  for (const std::string_view name : CompiledZoneNames()) {
    ::setenv("TZ", std::string(name).c_str(), 1);
    ::tzset();
    std::vector<std::pair<const char*, TimeZone>> zones;
    zones.emplace_back("system", *FindTimeZone(name));
    if (tableIsCurrent) zones.emplace_back("table", *CompiledTimeZone(name));

    // Every change, as the first second of the new offset.
    std::vector<std::int64_t> changes;
    std::vector<std::pair<std::int64_t, std::int32_t>> samples;  // weekly, then 2026 hourly
    for (std::int64_t low = kFrom; low < kTo; low += kWeek) {
      const std::int32_t offset = LibraryOffsetAt(low);
      samples.emplace_back(low, offset);
      std::int64_t high = low + kWeek;
      if (offset == LibraryOffsetAt(high)) continue;
      for (std::int64_t start = low; high - start > 1;) {
        const std::int64_t middle = start + (high - start) / 2;
        (LibraryOffsetAt(middle) == offset ? start : high) = middle;
      }
      changes.push_back(high);
    }
    for (std::int64_t utc = kYear2026; utc < kYear2026 + 365 * 86400; utc += 3600) {
      samples.emplace_back(utc, LibraryOffsetAt(utc));
    }
    for (const std::int64_t listed : zones.front().second.changes) {
      if (listed > kFrom && listed < kTo &&
          LibraryOffsetAt(listed - 1) != LibraryOffsetAt(listed)) {
        changes.push_back(listed);
      }
    }
    std::sort(changes.begin(), changes.end());
    changes.erase(std::unique(changes.begin(), changes.end()), changes.end());
    const auto nearAChange = [&](std::int64_t utc) {
      const auto near = std::lower_bound(changes.begin(), changes.end(), utc - 2 * 86400);
      return near != changes.end() && *near < utc + 2 * 86400;
    };

    for (const auto& [source, zone] : zones) {
      ZoneYear cache;
      const auto expect = [&](std::int64_t wall, std::int32_t offset, const char* what) {
        ++checked;
        EXPECT_EQ(OffsetAtLocalTime(zone, WallClock(wall), cache), offset)
            << name << " (" << source << ") " << what << " at "
            << FormatListingTime(WallClock(wall), true).View();
      };
      for (std::size_t i = 0; i < changes.size(); ++i) {
        const std::int64_t change = changes[i];
        const std::int32_t before = LibraryOffsetAt(change - 1);
        const std::int32_t after = LibraryOffsetAt(change);
        // Changes less than two days apart are left to the samples.
        if ((i > 0 && change - changes[i - 1] < 2 * 86400) ||
            (i + 1 < changes.size() && changes[i + 1] - change < 2 * 86400)) {
          continue;
        }
        // Local times are whole minutes: the first one after a change whose
        // offsets have seconds (as before 1972) is the next minute.
        const std::int64_t firstAfter = (change + std::max(before, after) + 59) / 60 * 60;
        expect(change + before - 3600, before, "the hour before");
        for (std::int64_t wall = change + std::min(before, after); wall < firstAfter - 60;
             wall += 15 * 60) {
          expect(wall, before, after > before ? "skipped" : "coming twice");
        }
        expect(firstAfter, after, "the first time after");
        expect(firstAfter + 3600 - 60, after, "the hour after");
      }
      for (const auto& [utc, offset] : samples) {
        if (!nearAChange(utc)) expect(utc + offset, offset, "sampled");
      }
    }
  }
  EXPECT_GT(checked, 100000u);
  if (tz) {
    ::setenv("TZ", savedTz.c_str(), 1);
  } else {
    ::unsetenv("TZ");
  }
  if (tzdir) ::setenv("TZDIR", savedTzdir.c_str(), 1);
  ::tzset();
#endif
}

}  // namespace
}  // namespace lindqvar
