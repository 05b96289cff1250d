// Inputs on Windows. Each is opened with no sharing, as the platform's
// programs do, so that nobody can change it while the run holds it open.
#include "InputFile.h"

#include <windows.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "Console.h"
#include "Failure.h"
#include "win32/Paths.h"

namespace lindqvar {

namespace {

// How many inputs may stay open between the passes; those beyond are closed
// and opened again by name. Windows itself allows millions of handles; this
// spares the system's memory.
constexpr std::size_t kInputsKeptOpen = 4096;

// The inputs open now, by identity: with no sharing, a second open of a
// file the run already holds fails, under whatever name it is given (a
// hard or symbolic link, a short name, a "\\?\" path), so the run shares
// its own handle instead.
struct OpenInputs {
  std::vector<std::pair<FileIdentity, HANDLE>> files;

  HANDLE Find(const FileIdentity& identity) const {
    for (const auto& [known, handle] : files) {
      if (known == identity) return handle;
    }
    return INVALID_HANDLE_VALUE;
  }
  void Forget(HANDLE handle) {
    const auto it = std::find_if(files.begin(), files.end(),
                                 [&](const auto& file) { return file.second == handle; });
    if (it != files.end()) files.erase(it);
  }
};

OpenInputs openInputs;

HANDLE Handle(const InputFile& input) {
  return reinterpret_cast<HANDLE>(input.handle);
}

std::int64_t Ticks(const FILETIME& time) {
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) |
                                   time.dwLowDateTime);
}

// Identity, size and times of an open file; false when they cannot be had.
bool StampOf(HANDLE handle, InputStamp& stamp) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(handle, &info)) return false;
  FILE_BASIC_INFO basic{};
  const bool changed = ::GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic);
  stamp.device = info.dwVolumeSerialNumber;
  stamp.file = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  stamp.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  stamp.modified = Ticks(info.ftLastWriteTime);
  stamp.changed = changed ? basic.ChangeTime.QuadPart : 0;
  return true;
}

// A handle of the run's own on the file path leads to, when it holds that
// file already.
HANDLE ShareOwnHandle(const std::wstring& path) {
  FileIdentity identity;
  if (!IdentityOfName(path, identity)) return INVALID_HANDLE_VALUE;
  const HANDLE own = openInputs.Find(identity);
  HANDLE handle = INVALID_HANDLE_VALUE;
  const HANDLE process = ::GetCurrentProcess();
  if (own == INVALID_HANDLE_VALUE ||
      !::DuplicateHandle(process, own, process, &handle, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    return INVALID_HANDLE_VALUE;
  }
  return handle;
}

HANDLE OpenForReading(const std::string& name) {
  const std::wstring path = SystemPath(WideName(name));
  const HANDLE handle = OpenWhileInUse([&] {
    const HANDLE opened = ::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    // Refused for sharing: the holder may be this very run.
    if (opened == INVALID_HANDLE_VALUE && HeldByAnother(::GetLastError())) {
      const DWORD err = ::GetLastError();
      const HANDLE own = ShareOwnHandle(path);
      if (own != INVALID_HANDLE_VALUE) return own;
      ::SetLastError(err);
    }
    return opened;
  });
  if (FileIdentity identity; handle != INVALID_HANDLE_VALUE && IdentityOf(handle, identity)) {
    openInputs.files.emplace_back(identity, handle);
  }
  return handle;
}

// Opens a set-aside input again by name; false when the name no longer
// leads to the file first read.
bool Reopen(InputFile& input) {
  if (input.handle != kNoHandle) return true;
  const HANDLE handle = OpenForReading(input.name);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD err = ::GetLastError();
    if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) return false;  // gone
    Raise("EInOutError", InOutErrorText(static_cast<int>(err)));
  }
  input.handle = reinterpret_cast<std::intptr_t>(handle);
  InputStamp now;
  if (!StampOf(handle, now) || now != input.stamp) {
    CloseInput(input);
    return false;
  }
  return true;
}

}  // namespace

bool IsOpenInput(const FileIdentity& identity) {
  return openInputs.Find(identity) != INVALID_HANDLE_VALUE;
}

void CloseInput(InputFile& input) {
  if (input.handle == kNoHandle) return;
  const HANDLE handle = reinterpret_cast<HANDLE>(std::exchange(input.handle, kNoHandle));
  openInputs.Forget(handle);
  ::CloseHandle(handle);
}

// The first entry a directory search finds must be a file whose last-write
// time, in local time, has a DOS date and time: 1980 to 2107. The years are
// checked here, as the system's own conversion does not refuse every year
// outside them everywhere.
bool InputExists(const std::string& name) {
  WIN32_FIND_DATAW found;
  const HANDLE search = ::FindFirstFileW(SystemPath(WideName(name)).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  ::FindClose(search);
  if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return false;
  FILETIME local;
  SYSTEMTIME written;
  return ::FileTimeToLocalFileTime(&found.ftLastWriteTime, &local) &&
         ::FileTimeToSystemTime(&local, &written) && written.wYear >= 1980 && written.wYear <= 2107;
}

InputFile OpenInput(const std::string& name) {
  const HANDLE handle = OpenForReading(name);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD err = ::GetLastError();
    Raise("EFOpenError", "Cannot open file \"" + AnsiText(FullPath(WideName(name))) + "\". " +
                             SystemErrorText(err));
  }
  InputFile input;
  input.name = name;
  input.handle = reinterpret_cast<std::intptr_t>(handle);
  if (::GetFileType(handle) == FILE_TYPE_DISK) {
    if (!StampOf(handle, input.stamp)) {
      Raise("EInOutError", InOutErrorText(static_cast<int>(::GetLastError())));
    }
    input.regular = true;
    input.seekable = input.stamp.size > 0;
  }
  return input;
}

std::size_t ReadInputAt(InputFile& input, std::uint64_t offset, char* bytes, std::size_t size) {
  if (!Reopen(input)) return 0;
  std::size_t done = 0;
  while (done < size) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset + done);
    at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
    DWORD got = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size - done, 1u << 30));
    if (!::ReadFile(Handle(input), bytes + done, chunk, &got, &at)) {
      const DWORD err = ::GetLastError();
      if (err == ERROR_HANDLE_EOF) break;
      Raise("EInOutError", InOutErrorText(static_cast<int>(err)));
    }
    if (got == 0) break;
    done += got;
  }
  return done;
}

std::size_t ReadInputStream(InputFile& input, char* bytes, std::size_t size) {
  DWORD got = 0;
  const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
  if (!::ReadFile(Handle(input), bytes, chunk, &got, nullptr)) {
    const DWORD err = ::GetLastError();
    if (err == ERROR_BROKEN_PIPE || err == ERROR_HANDLE_EOF) return 0;  // the writer is done
    Raise("EInOutError", InOutErrorText(static_cast<int>(err)));
  }
  return got;
}

bool InputUnchanged(InputFile& input) {
  if (!input.regular) return true;
  if (!Reopen(input)) return false;
  InputStamp now;
  return StampOf(Handle(input), now) && now == input.stamp;
}

void SetInputAside(InputFile& input) {
  if (openInputs.files.size() > kInputsKeptOpen) CloseInput(input);
}

}  // namespace lindqvar
