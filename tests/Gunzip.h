// Reads gzip data through a GzipReader handed it a few bytes at a time, for
// the tests and the fuzz target of the compressed input path.
#pragma once

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Gzip.h"

namespace lindqvar::testing {

// The inflaters the build has.
inline std::vector<GzipReader::Inflater> Inflaters() {
  std::vector<GzipReader::Inflater> inflaters{GzipReader::Inflater::kZlib};
  if (GzipReader::HasIsal()) inflaters.push_back(GzipReader::Inflater::kIsal);
  return inflaters;
}

// What a GzipReader makes of data handed to it chunk bytes at a time and
// read back in blocks of an odd size; nothing when it is damaged.
inline std::optional<std::string> GunzipInPieces(
    std::string_view data, std::size_t chunk,
    GzipReader::Inflater inflater = GzipReader::Fastest()) {
  std::size_t at = 0;
  GzipReader reader(
      [&](char* bytes, std::size_t size) {
        const std::size_t take = std::min({size, chunk, data.size() - at});
        std::memcpy(bytes, data.data() + at, take);
        at += take;
        return take;
      },
      inflater);
  std::string text;
  char block[333];
  try {
    for (std::size_t got; (got = reader.Read(block, sizeof block)) > 0;) text.append(block, got);
  } catch (const DamagedData&) {
    return std::nullopt;
  }
  return text;
}

}  // namespace lindqvar::testing
