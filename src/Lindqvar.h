// The joining driver: walks the command line, cuts the channel and programme
// sections out of every input, rewrites programme times where "-t" asks for
// it, and writes the joined document.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "timezones.h"

namespace lindqvar {

// Opens the joined document; its tv element is closed by "</tv>".
inline constexpr std::string_view ListingHeader =
    "<?xml version=\"1.0\"?><tv date=\"20040921\" source-info-name=\"Lindqvar\" "
    "generator-info-name=\"Lindqvar\" generator-info-url=\"https://lindqvar.org/\">";

inline constexpr std::string_view ListingFooter = "</tv>";

// The stretch from the first openMarker to the end of the last closeMarker
// after it, both matched in any letter case; empty when either is missing.
// The view refers into text.
std::string_view ExtractSection(std::string_view text, std::string_view openMarker,
                                std::string_view closeMarker);

// Called whenever rewritten text has grown past a chunk; it must empty text.
using SpillText = std::function<void(std::string& text)>;

// Appends section to programmeText with every start and stop value
// rewritten by ConvertListingTime. Each start value pairs with the next stop
// value after it; the attribute names are found in any letter case, also at
// the end of longer names such as pdc-start. With spill, the text is handed
// on chunk by chunk rather than kept whole. Raises EConvertError.
void RewriteProgrammeTimes(std::string_view section, std::string& programmeText,
                           const SpillText& spill = {});

// The value's YYYYMMDDhhmm as a listing time with seconds "00" and the zone
// suffix of the summer-time window; anything after the fourteenth byte is
// dropped. A field that is not an integer, or a value too short to hold a
// minute, raises EConvertError.
ListingTime ConvertListingTime(std::string_view value);

// The whole run over argv (the program name first): returns the exit
// status, writing the failure report itself when the run fails.
int RunLindqvar(std::span<const std::string_view> args);

}  // namespace lindqvar
