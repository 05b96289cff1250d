// What the console event helper writes: the new output's size.
#pragma once

#include <cstdint>

namespace lindqvar {

inline constexpr std::uint64_t kConsoleEventHelperBytes = std::uint64_t{64} << 20;

}  // namespace lindqvar
