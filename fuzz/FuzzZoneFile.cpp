// Any bytes read as a zone file: they are refused, or they give a zone
// whose changes are in order and whose offset at any local time is one of
// its own, the same whether worked out afresh or from the year before.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "timezones.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::optional<lindqvar::TimeZone> zone = lindqvar::ReadZoneFile(bytes);
  if (!zone) return 0;
  if (!std::is_sorted(zone->changes.begin(), zone->changes.end()) ||
      !std::is_sorted(zone->wallFrom.begin(), zone->wallFrom.end()) ||
      zone->changes.size() != zone->offsets.size()) {
    std::abort();
  }
  const std::vector<std::int32_t> offsets = lindqvar::OffsetsOf(*zone);
  // Local times from 1900 to 2100 and a few far off, each month's 1st and
  // 15th at the hours of the last bytes.
  lindqvar::ZoneYear kept;
  const unsigned hour = size > 0 ? data[size - 1] % 24 : 0;
  for (unsigned year : {1u, 1900u, 1969u, 1970u, 2000u, 2026u, 2037u, 2038u, 2100u, 65535u}) {
    for (std::uint16_t month = 0; month <= 13; ++month) {
      for (std::uint16_t day : {1, 15}) {
        const lindqvar::CalendarTime time{static_cast<std::uint16_t>(year), month, 0, day,
                                          static_cast<std::uint16_t>(hour), 30,    0, 0};
        lindqvar::ZoneYear fresh;
        const std::int32_t offset = lindqvar::OffsetAtLocalTime(*zone, time, kept);
        if (offset != lindqvar::OffsetAtLocalTime(*zone, time, fresh) ||
            !std::binary_search(offsets.begin(), offsets.end(), offset)) {
          std::abort();
        }
      }
    }
  }
  return 0;
}
