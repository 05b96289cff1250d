// How a Windows program's runtime splits its command line into arguments,
// and how names pass between UTF-16 and the bytes the program keeps them
// in, kept apart from the system so that it can be tested anywhere.
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

// The same rule over the command line as the system holds it, in UTF-16,
// where no character takes two units that could be a blank or a quote.
std::vector<std::u16string> SplitWideCommandLine(std::u16string_view line);

// UTF-16 text as UTF-8 bytes, and back. A surrogate without its partner
// (which file names may hold) is written as the three bytes UTF-8 would give
// its code point (as WTF-8 does), so that every name comes back as it was;
// bytes that are no UTF-8 come back as U+FFFD.
std::string Utf8FromUtf16(std::u16string_view text);
std::u16string Utf16FromUtf8(std::string_view bytes);

}  // namespace lindqvar
