// Windows keeps no IANA zone files: the compiled table is the data.
#include "ZoneFiles.h"

namespace lindqvar {

std::optional<std::string> ReadSystemZoneFile(std::string_view) {
  return std::nullopt;
}

}  // namespace lindqvar
