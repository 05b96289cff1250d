// The spool on Windows: a hidden temporary file in the output's folder (or
// for a device, the system's folder for temporary files), opened with no sharing and deleted by the
// system when its handle closes, however the run ends.
#include "Spool.h"

#include <windows.h>

#include <algorithm>

#include "Console.h"
#include "Failure.h"
#include "win32/Paths.h"

namespace lindqvar {

struct Spool {
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::uint64_t size = 0;
};

namespace {

HANDLE OpenIn(const std::wstring& folder) {
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    const HANDLE handle = ::CreateFileW(
        SystemPath(TemporaryName(folder, L".Lindqvar-spool-", attempt)).c_str(),
        GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
        FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle != INVALID_HANDLE_VALUE || ::GetLastError() != ERROR_FILE_EXISTS) return handle;
  }
  return INVALID_HANDLE_VALUE;
}

}  // namespace

OpenedSpool OpenSpool(const std::string& outputName) {
  // Beside the output, unless it is a device (NUL, CON, a named pipe),
  // whose full path lies in the device namespace.
  const std::wstring output = FullPath(WideName(outputName));
  const std::size_t slash = output.find_last_of(L"\\/");
  HANDLE handle = slash == std::wstring::npos || output.starts_with(L"\\\\.\\")
                      ? INVALID_HANDLE_VALUE
                      : OpenIn(output.substr(0, slash));
  if (handle == INVALID_HANDLE_VALUE) {
    wchar_t temporary[MAX_PATH + 1];
    const DWORD size = ::GetTempPathW(MAX_PATH + 1, temporary);
    if (size > 0 && size <= MAX_PATH) {
      handle = OpenIn(std::wstring(temporary, size > 1 ? size - 1 : size));  // without its last "\"
    }
  }
  if (handle == INVALID_HANDLE_VALUE) {
    Raise("EInOutError", InOutErrorText(static_cast<int>(::GetLastError())));
  }
  OpenedSpool spool(new Spool);
  spool->handle = handle;
  return spool;
}

std::uint64_t SpoolSize(const Spool& spool) {
  return spool.size;
}

void AppendToSpool(Spool& spool, std::string_view bytes) {
  while (!bytes.empty()) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(spool.size);
    at.OffsetHigh = static_cast<DWORD>(spool.size >> 32);
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
    if (!::WriteFile(spool.handle, bytes.data(), chunk, &written, &at)) {
      Raise("EInOutError", InOutErrorText(static_cast<int>(::GetLastError())));
    }
    if (written == 0) Raise("EInOutError", InOutErrorText(101));
    spool.size += written;
    bytes.remove_prefix(written);
  }
}

void ReadSpoolAt(Spool& spool, std::uint64_t offset, char* bytes, std::size_t size) {
  while (size > 0) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    if (!::ReadFile(spool.handle, bytes, chunk, &got, &at)) {
      Raise("EInOutError", InOutErrorText(static_cast<int>(::GetLastError())));
    }
    if (got == 0) Raise("EInOutError", InOutErrorText(100));
    bytes += got;
    offset += got;
    size -= got;
  }
}

void SpoolCloser::operator()(Spool* spool) const {
  ::CloseHandle(spool->handle);
  delete spool;
}

}  // namespace lindqvar
