// Messages, the command line and the failure report on Windows.
#include "Console.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "CommandLine.h"
#include "win32/OutputCleanup.h"

namespace lindqvar {

namespace {

struct Console {
  char buffer[128];
  std::size_t used = 0;
  DWORD stream = STD_OUTPUT_HANDLE;
  int lineFlushed = -1;  // -1 until the messages' handle has been looked at
};

Console console;

// Writes all of bytes to handle; 0, or the system's error code, or 101 (the
// runtime's "Disk full") for a write that took fewer bytes than it was given.
DWORD WriteAll(HANDLE handle, const char* bytes, std::size_t size) {
  while (size > 0) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    DWORD written = 0;
    if (!::WriteFile(handle, bytes, chunk, &written, nullptr)) return ::GetLastError();
    if (written == 0) return 101;
    bytes += written;
    size -= written;
  }
  return 0;
}

void WriteConsoleBuffer() {
  const std::size_t used = std::exchange(console.used, 0);
  if (const DWORD err = WriteAll(::GetStdHandle(console.stream), console.buffer, used)) {
    Raise("EInOutError", InOutErrorText(static_cast<int>(err)));
  }
}

void AppendToConsole(std::string_view bytes) {
  while (!bytes.empty()) {
    const std::size_t take = std::min(sizeof console.buffer - console.used, bytes.size());
    std::memcpy(console.buffer + console.used, bytes.data(), take);
    console.used += take;
    bytes.remove_prefix(take);
    if (console.used == sizeof console.buffer) WriteConsoleBuffer();
  }
}

bool IsAnsiLeadByte(unsigned char c) {
  return ::IsDBCSLeadByte(c) != 0;
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

std::vector<std::string> CommandLineArguments(int, char**) {
  return SplitCommandLine(::GetCommandLineA(), IsAnsiLeadByte);
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

void PrintLine(std::string_view line) {
  if (console.lineFlushed < 0) {
    console.lineFlushed = ::GetFileType(::GetStdHandle(console.stream)) == FILE_TYPE_CHAR ? 1 : 0;
  }
  AppendToConsole(line);
  AppendToConsole("\r\n");
  if (console.lineFlushed == 1) FlushConsole();
}

void PrintWarning(std::string_view line) {
  if (console.stream == STD_ERROR_HANDLE) return PrintLine(line);
  const std::string text = std::string(line) + "\r\n";
  WriteAll(::GetStdHandle(STD_ERROR_HANDLE), text.data(), text.size());
}

void SendMessagesToStandardError() {
  FlushConsole();
  console.stream = STD_ERROR_HANDLE;
  console.lineFlushed = -1;
}

void FlushConsole() {
  if (console.used > 0) WriteConsoleBuffer();
}

void ReportFailure(const Failure& failure) {
  try {
    FlushConsole();
  } catch (const Failure&) {
    // The report below is what matters now.
  }
  // The module that holds the code that raised the failure, and the code's
  // offset from where that module is loaded.
  HMODULE module = nullptr;
  if (!failure.raisedAt || !::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                                     GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                                 static_cast<LPCSTR>(failure.raisedAt), &module)) {
    module = ::GetModuleHandleA(nullptr);
  }
  char path[MAX_PATH * 4] = "Lindqvar.exe";
  ::GetModuleFileNameA(module, path, sizeof path);
  const char* name = std::max(std::strrchr(path, '\\'), std::strrchr(path, '/'));
  const auto address = reinterpret_cast<std::uintptr_t>(failure.raisedAt);
  const auto base = reinterpret_cast<std::uintptr_t>(module);
  std::string report =
      FailureReport(failure, name ? name + 1 : path, address >= base ? address - base : 0);
  // The console shows the OEM character set; the report alone is converted.
  ::CharToOemBuffA(report.data(), report.data(), static_cast<DWORD>(report.size()));
  WriteAll(::GetStdHandle(STD_ERROR_HANDLE), report.data(), report.size());
}

}  // namespace lindqvar
