// The output on Windows. The document is written to a hidden temporary file
// in the target's folder that is marked to be deleted when its handle
// closes, so that however the run ends (a failure, Ctrl-C, the window
// closed, the process killed) the system takes it away. Only when every
// byte is written is the mark taken off and the file renamed over the
// target through its own handle, which it keeps until the rename is done.
#include "OutputFile.h"

#include <windows.h>

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

#include "win32/OutputCleanup.h"
#include "win32/Paths.h"

namespace lindqvar {

struct OutputFile {
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::wstring target;         // the file replaced at commit; empty when written directly
  std::wstring temporary;      // the temporary file beside it
  bool deleteOnClose = false;  // the system deletes the temporary file with its handle
  bool failed = false;         // a write failed; later writes are skipped
};

namespace {

// Held while the output is put in place, so that a console event waits for
// the rename to finish rather than cut it short; and, where the file system
// cannot delete a file with its handle, the temporary file that the event
// handler must delete by name.
std::mutex commitLock;
OutputFile* unmarkedTemporary = nullptr;

bool MarkForDeletion(HANDLE handle, bool deleteOnClose) {
  FILE_DISPOSITION_INFO disposition{static_cast<BOOLEAN>(deleteOnClose)};
  return ::SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

bool SetAttributes(HANDLE handle, DWORD attributes) {
  FILE_BASIC_INFO basic{};  // times of zero stay as they are
  basic.FileAttributes = attributes;
  return ::SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic) != 0;
}

// Renames the open file over target, replacing it.
bool RenameOver(HANDLE handle, const std::wstring& target) {
  std::vector<unsigned char> storage(sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t));
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(storage.data());
  rename->ReplaceIfExists = TRUE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
  std::copy(target.begin(), target.end(), rename->FileName);
  return ::SetFileInformationByHandle(handle, FileRenameInfo, rename,
                                      static_cast<DWORD>(storage.size())) != 0;
}

// Whether a file may be replaced by its attributes: not a read-only one,
// which Windows refuses to replace and Wine, run by root, would not.
bool Writable(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info{};
  return ::GetFileInformationByHandle(file, &info) &&
         !(info.dwFileAttributes & FILE_ATTRIBUTE_READONLY);
}

// Where writing to name would land, as creating it with CreateFile would
// find it: a symbolic link or junction is followed to the file it leads
// to. Empty when name cannot be written: a folder, a read-only file, one
// the caller may not write, a link that leads nowhere, one that another
// program holds (after waiting a moment), or a device, which then comes
// back open in device instead.
std::wstring WritableTarget(const std::wstring& name, HANDLE& device) {
  const std::wstring path = SystemPath(name);
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  const HANDLE existing = OpenWhileInUse([&] {
    return ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  });
  if (existing == INVALID_HANDLE_VALUE) {
    const DWORD err = ::GetLastError();
    // Nothing there yet: the file will be made under the full name.
    if (err == ERROR_FILE_NOT_FOUND && attributes == INVALID_FILE_ATTRIBUTES) {
      return FullPath(name);
    }
    // Held with no sharing by this very run, as an input: it may be
    // replaced, as long as it is not read-only.
    FileIdentity identity;
    if (!HeldByAnother(err) || !IdentityOfName(path, identity) || !IsOpenInput(identity)) {
      return {};
    }
    const HANDLE own = ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, 0, nullptr);
    if (own == INVALID_HANDLE_VALUE) return {};
    std::wstring target = Writable(own) ? FinalPath(own) : std::wstring();
    ::CloseHandle(own);
    return target;
  }
  // A device such as NUL or CON, or a named pipe, has no contents to keep:
  // it is written straight away.
  if (::GetFileType(existing) != FILE_TYPE_DISK) {
    device = existing;
    return {};
  }
  std::wstring target = Writable(existing) ? FinalPath(existing) : std::wstring();
  ::CloseHandle(existing);
  return target;
}

}  // namespace

void RemovePendingTemporary() {
  const std::lock_guard lock(commitLock);
  if (OutputFile* output = std::exchange(unmarkedTemporary, nullptr)) {
    ::CloseHandle(std::exchange(output->handle, INVALID_HANDLE_VALUE));
    ::DeleteFileW(SystemPath(output->temporary).c_str());
  }
}

StandardStreams StandardStreamsOf(const std::string&) {
  return {};
}

OpenedOutput OpenOutput(const std::string& name) {
  if (name.empty() || name.back() == '\\' || name.back() == '/') return nullptr;
  OpenedOutput output(new OutputFile);
  HANDLE device = INVALID_HANDLE_VALUE;
  output->target = WritableTarget(WideName(name), device);
  if (device != INVALID_HANDLE_VALUE) {
    output->handle = device;
    return output;
  }
  const std::size_t slash = output->target.find_last_of(L"\\/");
  if (slash == std::wstring::npos) return nullptr;
  const std::wstring folder = output->target.substr(0, slash);
  // A console event waits until the new file is marked.
  const std::lock_guard lock(commitLock);
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    const std::wstring temporary = TemporaryName(folder, L".Lindqvar-", attempt);
    const HANDLE handle = ::CreateFileW(SystemPath(temporary).c_str(), GENERIC_WRITE | DELETE, 0,
                                        nullptr, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      if (::GetLastError() == ERROR_FILE_EXISTS) continue;
      return nullptr;
    }
    output->handle = handle;
    output->temporary = temporary;
    // Where the file system cannot mark it, the file is deleted by name on
    // failure and by the console event handler.
    output->deleteOnClose = MarkForDeletion(handle, true);
    if (!output->deleteOnClose) unmarkedTemporary = output.get();
    return output;
  }
  return nullptr;
}

bool WritesToOpenDescriptor(const OutputFile&) {
  return false;
}

void WriteOutput(OutputFile& output, std::string_view bytes) {
  while (!output.failed && !bytes.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
    DWORD written = 0;
    output.failed =
        !::WriteFile(output.handle, bytes.data(), chunk, &written, nullptr) || written == 0;
    bytes.remove_prefix(written);
  }
}

// The home platform's output keeps to one stream of writes.
bool WritesAtOffsets(const OutputFile&) {
  return false;
}

void WriteOutputAt(OutputFile& output, std::uint64_t offset, std::string_view bytes) {
  while (!output.failed && !bytes.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD written = 0;
    output.failed = !::WriteFile(output.handle, bytes.data(), chunk, &written, &at) || written == 0;
    bytes.remove_prefix(written);
    offset += written;
  }
}

bool CommitOutput(OutputFile& output) {
  const std::lock_guard lock(commitLock);
  const HANDLE handle = std::exchange(output.handle, INVALID_HANDLE_VALUE);
  if (handle == INVALID_HANDLE_VALUE) return false;  // taken away by a console event
  if (output.target.empty()) return ::CloseHandle(handle) && !output.failed;

  // The file stays marked for deletion until the last moment, and is
  // renamed while the run still holds it: a run ended before the rename
  // leaves nothing, one ended after it leaves the whole new file.
  bool ok = !output.failed && SetAttributes(handle, FILE_ATTRIBUTE_NORMAL);
  ok = ok && (!output.deleteOnClose || MarkForDeletion(handle, false));
  if (ok) {
    InUseBackOff backOff;
    while (!(ok = RenameOver(handle, SystemPath(output.target))) &&
           (HeldByAnother(::GetLastError()) || ::GetLastError() == ERROR_ACCESS_DENIED) &&
           backOff.Wait()) {
    }
    if (!ok && output.deleteOnClose) MarkForDeletion(handle, true);
  }
  ok = ::CloseHandle(handle) && ok;
  if (!ok && !output.deleteOnClose) ::DeleteFileW(SystemPath(output.temporary).c_str());
  unmarkedTemporary = nullptr;
  output.temporary.clear();
  return ok;
}

void OutputFileCloser::operator()(OutputFile* output) const {
  {
    const std::lock_guard lock(commitLock);
    if (output->handle != INVALID_HANDLE_VALUE) ::CloseHandle(output->handle);
    if (!output->temporary.empty() && !output->deleteOnClose) {
      ::DeleteFileW(SystemPath(output->temporary).c_str());
    }
    if (unmarkedTemporary == output) unmarkedTemporary = nullptr;
  }
  delete output;
}

}  // namespace lindqvar
