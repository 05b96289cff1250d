// How a Windows program's runtime splits its command line into arguments,
// kept apart from the system so that it can be tested anywhere.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace lindqvar {

// Tells whether a byte begins a character of two bytes in the ANSI code
// page.
using LeadByteTest = bool (*)(unsigned char c);

// The arguments of line, the program's own name first. Bytes 1 to 32
// separate arguments; a double quote opens a stretch, ended by the next
// double quote, in which they do not, and the argument goes on after it;
// the quotes themselves are dropped. A pair of double quotes at the start of
// an argument is skipped, so an empty argument can be neither given nor
// counted: the list ends at the first argument that comes out empty. A
// character of two bytes is stepped over whole, so its second byte never
// counts as a quote or a blank.
std::vector<std::string> SplitCommandLine(std::string_view line, LeadByteTest isLeadByte);

}  // namespace lindqvar
