// Time zones by name: read from a zone file (TZif) of the system's, or
// from the table of them compiled into the program. Every count a file
// gives is checked against the bytes it has before it is trusted.
#include <algorithm>
#include <cstring>

#include "ZoneFiles.h"
#include "ZoneTable.h"
#include "timezones.h"

namespace lindqvar {

namespace {

// Reads big-endian numbers from a zone file, never past its end.
struct ZoneReader {
  std::string_view bytes;
  std::size_t at = 0;

  bool Has(std::uint64_t count) const { return count <= bytes.size() - at; }
  std::uint64_t Number(int size) {
    std::uint64_t value = 0;
    for (int i = 0; i < size; ++i) value = value << 8 | static_cast<unsigned char>(bytes[at++]);
    return value;
  }
};

// The counts of a zone file's header, in the order it gives them.
struct ZoneCounts {
  std::uint64_t isut, isstd, leaps, times, types, chars;

  // Bytes of the data after the header, with times of timeSize bytes.
  std::uint64_t DataSize(std::uint64_t timeSize) const {
    return times * timeSize + times + types * 6 + chars + leaps * (timeSize + 4) + isstd + isut;
  }
};

// The header at the reader, moving past it; false when it is none.
bool ReadHeader(ZoneReader& reader, char& version, ZoneCounts& counts) {
  if (!reader.Has(44) || reader.bytes.substr(reader.at, 4) != "TZif") return false;
  version = reader.bytes[reader.at + 4];
  reader.at += 20;
  std::uint64_t* const fields[] = {&counts.isut,  &counts.isstd, &counts.leaps,
                                   &counts.times, &counts.types, &counts.chars};
  for (std::uint64_t* field : fields) *field = reader.Number(4);
  // RFC 8536: at least one type and one abbreviation byte; the indicators
  // come for every type or not at all.
  return counts.types > 0 && counts.types <= 256 && counts.chars > 0 &&
         (counts.isut == 0 || counts.isut == counts.types) &&
         (counts.isstd == 0 || counts.isstd == counts.types);
}

// The zone of a 64-bit part: its header, data and rule, and nothing after.
std::optional<TimeZone> ReadZoneBlock(std::string_view bytes) {
  ZoneReader reader{bytes};
  char version = 0;
  ZoneCounts counts{};
  if (!ReadHeader(reader, version, counts) || version < '2' || !reader.Has(counts.DataSize(8))) {
    return std::nullopt;
  }
  // Times counted with leap seconds are not the UTC the rest of the world
  // keeps: such files (the "right/" tree) are not taken.
  if (counts.leaps != 0) return std::nullopt;
  // Ascending, and within what adding an offset cannot overflow: the
  // oldest times files hold are 2^59 seconds before 1970.
  constexpr std::int64_t kFarthest = std::int64_t{1} << 60;
  std::vector<std::int64_t> changes(static_cast<std::size_t>(counts.times));
  for (std::size_t i = 0; i < changes.size(); ++i) {
    changes[i] = static_cast<std::int64_t>(reader.Number(8));
    if (changes[i] < -kFarthest || changes[i] > kFarthest ||
        (i > 0 && changes[i] <= changes[i - 1])) {
      return std::nullopt;
    }
  }
  std::vector<std::size_t> typeOf(changes.size());
  for (std::size_t& type : typeOf) {
    type = static_cast<std::size_t>(reader.Number(1));
    if (type >= counts.types) return std::nullopt;
  }
  std::vector<std::int32_t> typeOffsets;
  for (std::uint64_t i = 0; i < counts.types; ++i) {
    const auto offset = static_cast<std::int32_t>(static_cast<std::uint32_t>(reader.Number(4)));
    const std::uint64_t isDst = reader.Number(1);
    const std::uint64_t abbreviation = reader.Number(1);
    // Offsets within a day or so of UTC, which "+HHMM" can show.
    if (offset < -89999 || offset > 93599 || isDst > 1 || abbreviation >= counts.chars) {
      return std::nullopt;
    }
    typeOffsets.push_back(offset);
  }
  reader.at += static_cast<std::size_t>(counts.chars + counts.isstd + counts.isut);

  // The rule for the times after the last change, between two line feeds
  // at the very end; an empty one keeps the last offset for ever.
  const std::string_view footer = bytes.substr(reader.at);
  if (footer.size() < 2 || footer.front() != '\n' || footer.back() != '\n') return std::nullopt;
  const std::string_view text = footer.substr(1, footer.size() - 2);
  if (text.find('\n') != std::string_view::npos) return std::nullopt;
  std::optional<ZoneRule> rule;
  if (!text.empty() && !(rule = ParseZoneRule(text))) return std::nullopt;

  std::vector<std::int32_t> offsets;
  offsets.reserve(typeOf.size());
  for (const std::size_t type : typeOf) offsets.push_back(typeOffsets[type]);
  return MakeTimeZone(typeOffsets[0], std::move(changes), std::move(offsets), std::move(rule));
}

const ZoneTableEntry* FindCompiled(std::string_view name) {
  const ZoneTableEntry* const end = kZoneTable + kZoneTableSize;
  const ZoneTableEntry* const found = std::lower_bound(
      kZoneTable, end, name, [](const ZoneTableEntry& entry, std::string_view wanted) {
        return std::string_view(entry.name) < wanted;
      });
  return found != end && std::string_view(found->name) == name ? found : nullptr;
}

}  // namespace

std::optional<TimeZone> ReadZoneFile(std::string_view bytes) {
  // The 32-bit part comes first: it is stepped over, whatever it holds.
  ZoneReader reader{bytes};
  char version = 0;
  ZoneCounts counts{};
  if (!ReadHeader(reader, version, counts) || !reader.Has(counts.DataSize(4))) return std::nullopt;
  return ReadZoneBlock(bytes.substr(reader.at + static_cast<std::size_t>(counts.DataSize(4))));
}

bool IsZoneFileName(std::string_view name) {
  if (name.empty() || name.size() > 255 || name.starts_with("posix/") ||
      name.starts_with("right/") || name == "Factory" || name == "localtime" ||
      name == "posixrules") {
    return false;
  }
  for (std::size_t at = 0; at <= name.size();) {
    const std::size_t slash = std::min(name.find('/', at), name.size());
    const std::string_view step = name.substr(at, slash - at);
    if (step.empty() || step == "." || step == "..") return false;
    at = slash + 1;
  }
  return true;
}

std::optional<TimeZone> CompiledTimeZone(std::string_view name) {
  const ZoneTableEntry* const entry = FindCompiled(name);
  if (!entry) return std::nullopt;
  return ReadZoneBlock(
      {reinterpret_cast<const char*>(kZoneData) + entry->first, std::size_t{entry->size}});
}

std::vector<std::string_view> CompiledZoneNames() {
  std::vector<std::string_view> names;
  for (std::size_t i = 0; i < kZoneTableSize; ++i) names.emplace_back(kZoneTable[i].name);
  return names;
}

std::string_view CompiledZoneVersion() {
  return kZoneTableVersion;
}

std::optional<TimeZone> FindTimeZone(std::string_view name) {
  if (IsZoneFileName(name)) {
    if (const std::optional<std::string> file = ReadSystemZoneFile(name)) {
      if (std::optional<TimeZone> zone = ReadZoneFile(*file)) return zone;
    }
    if (std::optional<TimeZone> zone = CompiledTimeZone(name)) return zone;
  }
  std::optional<ZoneRule> rule = ParseZoneRule(name);
  if (!rule) return std::nullopt;
  return MakeTimeZone(rule->standard, {}, {}, std::move(rule));
}

}  // namespace lindqvar
