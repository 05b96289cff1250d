// Generates realistic XMLTV listings for benchmarks and differential tests.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

// Writes a listing of about size bytes, the same for the same seed, in
// pieces of about a megabyte.
void GenerateListing(std::uint64_t size, std::uint64_t seed,
                     const std::function<void(std::string_view)>& write);
