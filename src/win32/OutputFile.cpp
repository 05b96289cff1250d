// The output on Windows. The document is written to a temporary file in the
// target's folder that is marked to be deleted when its handle closes, so
// that however the run ends (a failure, Ctrl-C, the window closed, the
// process killed) the system takes it away. Only when every byte is written
// is the mark taken off and the file moved over the target.
#include "OutputFile.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <utility>

#include "win32/OutputCleanup.h"
#include "win32/Paths.h"

namespace lindqvar {

namespace {

// The temporary output while it lies under its own name, unmarked, for the
// console event handler; the lock keeps them apart.
std::mutex pendingLock;
std::string pendingTemporary;

HANDLE Handle(const OutputFile& output) {
  return reinterpret_cast<HANDLE>(output.handle);
}

bool MarkForDeletion(HANDLE handle, bool deleteOnClose) {
  FILE_DISPOSITION_INFO disposition{static_cast<BOOLEAN>(deleteOnClose)};
  return ::SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

// A short name in folder, the same length whatever the output is called.
std::string TemporaryName(const std::string& folder, unsigned attempt) {
  LARGE_INTEGER now;
  ::QueryPerformanceCounter(&now);
  char name[32];
  std::snprintf(name, sizeof name, ".Lindqvar-%08lx",
                static_cast<unsigned long>((now.QuadPart ^ (::GetCurrentProcessId() << 16)) +
                                           attempt * 2654435761u));
  return folder + "\\" + name;
}

}  // namespace

void RemovePendingTemporary() {
  const std::lock_guard lock(pendingLock);
  if (!pendingTemporary.empty()) ::DeleteFileW(SystemPathName(pendingTemporary).c_str());
}

bool OutputIsStandardOutput(const std::string&) {
  return false;
}

bool OpenOutput(const std::string& name, OutputFile& output) {
  if (name.empty() || name.back() == '\\' || name.back() == '/') return false;
  const DWORD attributes = ::GetFileAttributesW(SystemPathName(name).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return false;
  }
  // A device such as NUL or CON, or a named pipe, has no contents to keep:
  // write straight to it.
  const HANDLE existing =
      ::CreateFileW(SystemPathName(name).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (existing != INVALID_HANDLE_VALUE) {
    if (::GetFileType(existing) != FILE_TYPE_DISK) {
      output.handle = reinterpret_cast<std::intptr_t>(existing);
      return true;
    }
    ::CloseHandle(existing);
  }

  output.target = FullPathName(name);
  const std::size_t slash = output.target.find_last_of("\\/");
  if (slash == std::string::npos) return false;
  const std::string folder = output.target.substr(0, slash);
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    const std::string temporary = TemporaryName(folder, attempt);
    const HANDLE handle = ::CreateFileW(SystemPathName(temporary).c_str(), GENERIC_WRITE | DELETE,
                                        0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      if (::GetLastError() == ERROR_FILE_EXISTS) continue;
      return false;
    }
    output.handle = reinterpret_cast<std::intptr_t>(handle);
    output.temporary = temporary;
    // Where the file system cannot mark it, the file is deleted by name on
    // failure and by the console event handler.
    output.deleteOnClose = MarkForDeletion(handle, true);
    return true;
  }
  return false;
}

void WriteOutput(OutputFile& output, std::string_view bytes) {
  while (!output.failed && !bytes.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
    DWORD written = 0;
    output.failed =
        !::WriteFile(Handle(output), bytes.data(), chunk, &written, nullptr) || written == 0;
    bytes.remove_prefix(written);
  }
}

bool CommitOutput(OutputFile& output) {
  const HANDLE handle = reinterpret_cast<HANDLE>(std::exchange(output.handle, -1));
  if (output.target.empty()) return ::CloseHandle(handle) && !output.failed;

  bool ok = !output.failed;
  {
    const std::lock_guard lock(pendingLock);
    if (ok && output.deleteOnClose) ok = MarkForDeletion(handle, false);
    if (ok) pendingTemporary = output.temporary;
  }
  ok = ::CloseHandle(handle) && ok;  // still marked, the file goes with the handle
  ok = ok && ::MoveFileExW(SystemPathName(output.temporary).c_str(),
                           SystemPathName(output.target).c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  const std::lock_guard lock(pendingLock);
  if (!ok) ::DeleteFileW(SystemPathName(output.temporary).c_str());
  pendingTemporary.clear();
  output.temporary.clear();
  return ok;
}

OutputFile::~OutputFile() {
  if (handle != -1) ::CloseHandle(reinterpret_cast<HANDLE>(handle));
  if (!temporary.empty() && !deleteOnClose) ::DeleteFileW(SystemPathName(temporary).c_str());
}

}  // namespace lindqvar
