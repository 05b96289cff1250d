// File names and files on Windows. Names arrive in UTF-16, are kept as
// UTF-8 bytes, and are turned into wide characters again for the system;
// every path built from them (full path, temporary, target) stays wide, and
// only what is printed goes to the ANSI code page. Files are told apart by
// identity, never by name.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace lindqvar {

// An argument's bytes (UTF-8) in wide characters.
std::wstring WideName(std::string_view bytes);

// Wide text in the ANSI code page, for a message: "?" for what it cannot
// hold.
std::string AnsiText(std::wstring_view text);

// name made absolute against the current directory, as the system expands
// it, whatever its length; name itself when that fails.
std::wstring FullPath(const std::wstring& name);

// The name to hand the system's wide-character file calls: name itself, or
// for a full path of MAX_PATH characters or more, that path behind the
// "\\?\" prefix, which lifts the limit.
std::wstring SystemPath(const std::wstring& name);

// A name in folder for a hidden file of the run's own: prefix and eight
// hexadecimal digits, different for each attempt, the same length whatever
// the output is called.
std::wstring TemporaryName(const std::wstring& folder, const wchar_t* prefix, unsigned attempt);

// Where an open file lies, with every link, junction and substituted drive
// resolved; empty when the system cannot tell.
std::wstring FinalPath(HANDLE file);

// A file as the system knows it: its volume's serial number and its index
// there, the same under every name that leads to it.
struct FileIdentity {
  DWORD volume = 0;
  std::uint64_t index = 0;

  bool operator==(const FileIdentity&) const = default;
};

// The identity of an open file; false when it has none (a pipe, a device).
bool IdentityOf(HANDLE file, FileIdentity& identity);

// The identity of the file a name leads to, found by opening it for its
// attributes alone, which no sharing mode refuses; false when it cannot be.
bool IdentityOfName(const std::wstring& path, FileIdentity& identity);

// Whether the run holds the file as one of its inputs.
bool IsOpenInput(const FileIdentity& identity);

// Calls open until it returns a handle or fails for a reason other than
// another program holding the file (a sharing or lock violation, as
// virus scanners and indexers cause for a moment after a file is
// written), for up to about a second in all. The last error stays set.
template <typename Open>
HANDLE OpenWhileInUse(Open&& open);

// Whether the last error says another program holds the file.
bool HeldByAnother(DWORD err);

// Waits a little longer at each of its calls: false once the time allowed
// for a file that another program holds has run out.
struct InUseBackOff {
  DWORD waited = 0;
  DWORD next = 10;
  bool Wait();
};

template <typename Open>
HANDLE OpenWhileInUse(Open&& open) {
  InUseBackOff backOff;
  for (;;) {
    const HANDLE handle = open();
    if (handle != INVALID_HANDLE_VALUE) return handle;
    const DWORD err = ::GetLastError();
    if (!HeldByAnother(err) || !backOff.Wait()) {
      ::SetLastError(err);
      return INVALID_HANDLE_VALUE;
    }
  }
}

// The system's text for err without trailing blanks, control characters and
// full stops (the ideographic and full-width ones too): the failure report
// adds its own full stop.
std::string SystemErrorText(DWORD err);

// message without the trailing characters SystemErrorText drops.
std::wstring TrimMessage(std::wstring message);

}  // namespace lindqvar
