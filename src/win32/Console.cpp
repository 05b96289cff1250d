// The process, its streams and the failure report's module on Windows.
#include "Console.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "CommandLine.h"
#include "win32/OutputCleanup.h"
#include "win32/Paths.h"

namespace lindqvar {

namespace {

HANDLE Handle(Stream stream) {
  return ::GetStdHandle(stream == Stream::Output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

// Ctrl-C, Ctrl-Break, a closed console window: take a temporary output away
// first, then end as the system would.
BOOL WINAPI OnConsoleEvent(DWORD) {
  RemovePendingTemporary();
  return FALSE;
}

}  // namespace

void PrepareProcess() {
  // No dialog boxes for a drive without a disk: the call fails instead.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

std::thread StartWorkerThread(std::function<void()> work) {
  return std::thread(std::move(work));
}

void LargeBufferFree::operator()(char* bytes) const {
  delete[] bytes;
}

// Small pages: large ones need a privilege that a user's account seldom has.
LargeBuffer AllocateLarge(std::size_t size) {
  return LargeBuffer(new char[size]);
}

// The command line as the system holds it, in UTF-16, so that a name in any
// script arrives whole; kept as UTF-8 from there, and turned back into
// UTF-16 for the file system.
std::vector<std::string> CommandLineArguments(int, char**) {
  const auto* line = reinterpret_cast<const char16_t*>(::GetCommandLineW());
  std::vector<std::string> args;
  for (const std::u16string& arg : SplitWideCommandLine(line)) args.push_back(Utf8FromUtf16(arg));
  return args;
}

std::string ShownName(std::string_view name) {
  return AnsiText(WideName(name));
}

std::string InOutErrorText(int code) {
  switch (code) {
    case 2:
      return "File not found";
    case 3:
      return "Invalid filename";
    case 4:
      return "Too many open files";
    case 5:
      return "File access denied";
    case 100:
      return "Read beyond end of file";
    case 101:
      return "Disk full";
    case 106:
      return "Invalid numeric input";
    default:
      return "I/O error " + std::to_string(code);
  }
}

// 0, the system's error code, or 101 (the runtime's "Disk full") for a
// write that took none of the bytes it was given.
int WriteToStream(Stream stream, std::string_view bytes) {
  while (!bytes.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
    DWORD written = 0;
    if (!::WriteFile(Handle(stream), bytes.data(), chunk, &written, nullptr)) {
      return static_cast<int>(::GetLastError());
    }
    if (written == 0) return 101;
    bytes.remove_prefix(written);
  }
  return 0;
}

bool StreamIsCharacterDevice(Stream stream) {
  return ::GetFileType(Handle(stream)) == FILE_TYPE_CHAR;
}

std::string ModuleOf(const void* address, std::uintptr_t& offset) {
  HMODULE module = nullptr;
  if (!address || !::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                            GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                        static_cast<LPCSTR>(address), &module)) {
    module = ::GetModuleHandleA(nullptr);
  }
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  const auto base = reinterpret_cast<std::uintptr_t>(module);
  offset = at >= base ? at - base : 0;
  char path[MAX_PATH * 4] = "Lindqvar.exe";
  ::GetModuleFileNameA(module, path, sizeof path);
  const char* name = std::max(std::strrchr(path, '\\'), std::strrchr(path, '/'));
  return name ? name + 1 : path;
}

// The console shows the OEM character set; the report alone is converted.
void ToReportCharacterSet(std::string& report) {
  ::CharToOemBuffA(report.data(), report.data(), static_cast<DWORD>(report.size()));
}

}  // namespace lindqvar
