// A conversion either yields a listing time or raises EConvertError, and
// agrees with the plain version in either. A value that starts with twelve
// digits keeps them, followed by "00". Converted in a zone, it keeps the
// same digits and fails alike, and always gets one of the zone's offsets.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "Failure.h"
#include "ProgrammeTimes.h"
#include "Reference.h"

namespace {

bool AllDigits(std::string_view text) {
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Digits, fourteen or more, then " +0100" or nothing.
bool IsListingTime(std::string_view time) {
  if (time.ends_with(" +0100")) time.remove_suffix(6);
  return time.size() >= 14 && AllDigits(time) && time.substr(time.size() - 2) == "00";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view value(reinterpret_cast<const char*>(data), size);
  std::string expected;
  std::string expectedFailure;
  try {
    expected = lindqvar::reference::ConvertListingTime(value);
  } catch (const lindqvar::Failure& failure) {
    expectedFailure = failure.message;
  }
  try {
    const lindqvar::ListingTime converted = lindqvar::ConvertListingTime(value);
    const std::string_view time = converted.View();
    if (!expectedFailure.empty() || time != expected || !IsListingTime(time)) std::abort();
    const bool twelveDigits = value.size() >= 12 && AllDigits(value.substr(0, 12));
    const bool digitSeconds = value.size() <= 12 || AllDigits(value.substr(12, 2));
    if (twelveDigits && digitSeconds &&
        (time.substr(0, 12) != value.substr(0, 12) || time.substr(12, 2) != "00" ||
         (time.size() != 14 && time.size() != 20))) {
      std::abort();
    }
  } catch (const lindqvar::Failure& failure) {
    if (std::strcmp(failure.kind, "EConvertError") != 0 || failure.message != expectedFailure) {
      std::abort();
    }
  }

  // In a zone, the same fields or the same failure, and an offset always.
  static const lindqvar::TimeZone zone = *lindqvar::CompiledTimeZone("Australia/Lord_Howe");
  static const std::vector<std::string> offsets = [] {
    std::vector<std::string> texts;
    for (const std::int32_t offset : lindqvar::OffsetsOf(zone)) {
      const lindqvar::ListingTime time = lindqvar::FormatZonedListingTime({}, offset);
      texts.emplace_back(time.View().substr(time.size - 6));
    }
    return texts;
  }();
  try {
    const lindqvar::ListingTime converted = lindqvar::ConvertListingTime(value, &zone);
    const std::string_view time = converted.View();
    const std::string offset(time.substr(time.size() - 6));
    if (!expectedFailure.empty() ||
        time.substr(0, time.size() - 6) != expected.substr(0, time.size() - 6) ||
        std::find(offsets.begin(), offsets.end(), offset) == offsets.end()) {
      std::abort();
    }
  } catch (const lindqvar::Failure& failure) {
    if (failure.message != expectedFailure) std::abort();
  }
  return 0;
}
