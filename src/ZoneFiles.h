// The system's own zone files, where it has them: on POSIX systems the
// compiled IANA data that its tzdata package keeps up to date, so that a
// change of a country's clocks reaches the program without a rebuild.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace lindqvar {

// The bytes of the system's zone file for name (an IANA name, checked by
// the caller), from the folder TZDIR names when it is set, else
// /usr/share/zoneinfo; nothing when there is no such regular file, it
// cannot be read, or it is too large to be one. Windows has none.
std::optional<std::string> ReadSystemZoneFile(std::string_view name);

}  // namespace lindqvar
