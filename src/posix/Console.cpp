// Messages and the failure report on POSIX systems.
#include "Console.h"

#include <dlfcn.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "posix/WriteAll.h"

namespace lindqvar {

namespace {

struct Console {
  char buffer[128];
  std::size_t used = 0;
  int fd = STDOUT_FILENO;
  int lineFlushed = -1;  // -1 until the messages' descriptor has been looked at
};

Console console;

// What the failure report names: the executable's file name and the address
// it is loaded at, looked up once at start.
struct Module {
  std::string name = "Lindqvar";
  std::uintptr_t base = 0;
};

Module module;

void FindModule() {
  char path[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (length > 0) {
    const std::string_view full(path, static_cast<std::size_t>(length));
    module.name = std::string(full.substr(full.rfind('/') + 1));
  }
  Dl_info info;
  if (::dladdr(reinterpret_cast<const void*>(&FindModule), &info) != 0) {
    module.base = reinterpret_cast<std::uintptr_t>(info.dli_fbase);
  }
}

void WriteConsoleBuffer() {
  const std::size_t used = std::exchange(console.used, 0);
  if (const int err = WriteAll(console.fd, console.buffer, used)) {
    Raise("EInOutError", InOutErrorText(err));
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

bool IsCharacterDevice(int fd) {
  struct stat st;
  return ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode);
}

}  // namespace

void PrepareProcess() {
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);
  FindModule();
}

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

std::string InOutErrorText(int code) {
  switch (code) {
    case ENOENT:
      return "File not found";
    case EMFILE:
      return "Too many open files";
    case EACCES:
    case EPERM:
      return "File access denied";
    case ENOSPC:
      return "Disk full";
    default:
      return "I/O error " + std::to_string(code);
  }
}

void PrintLine(std::string_view line) {
  if (console.lineFlushed < 0) console.lineFlushed = IsCharacterDevice(console.fd) ? 1 : 0;
  AppendToConsole(line);
  AppendToConsole("\r\n");
  if (console.lineFlushed == 1) FlushConsole();
}

void PrintWarning(std::string_view line) {
  if (console.fd == STDERR_FILENO) return PrintLine(line);
  const std::string text = std::string(line) + "\r\n";
  WriteAll(STDERR_FILENO, text.data(), text.size());
}

void SendMessagesToStandardError() {
  FlushConsole();
  console.fd = STDERR_FILENO;
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
  const auto address = reinterpret_cast<std::uintptr_t>(failure.raisedAt);
  const std::string report =
      FailureReport(failure, module.name, address >= module.base ? address - module.base : 0);
  WriteAll(STDERR_FILENO, report.data(), report.size());
}

}  // namespace lindqvar
