// File names on Windows. Names arrive as bytes in the ANSI code page; the
// program hands them to the system's wide-character calls, which, unlike
// the ANSI ones, take full paths of any length.
#pragma once

#include <windows.h>

#include <string>

namespace lindqvar {

// name made absolute against the current directory, as the system expands
// it, whatever its length; name itself when that fails.
std::string FullPathName(const std::string& name);

// The name to hand the system's wide-character file calls: name itself, or
// for a full path of MAX_PATH characters or more, that path behind the
// "\\?\" prefix, which lifts the limit.
std::wstring SystemPathName(const std::string& name);

// The system's text for err without trailing blanks, control bytes and full
// stops: the failure report adds its own full stop.
std::string SystemErrorText(DWORD err);

}  // namespace lindqvar
