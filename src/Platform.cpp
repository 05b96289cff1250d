#include "Platform.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

namespace lindqvar {

namespace {

// Writes all of data, retrying interrupted and short writes. Returns 0 or
// the errno of the failed write.
int WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return 0;
}

// ---- Console -------------------------------------------------------------

struct Console {
  char buffer[128];
  std::size_t used = 0;
  int lineFlushed = -1;  // -1 until standard output has been looked at
};

Console console;

void WriteConsoleBuffer() {
  const std::size_t used = console.used;
  console.used = 0;
  if (const int err = WriteAll(STDOUT_FILENO, console.buffer, used)) {
    Raise("EInOutError", InOutErrorText(err));
  }
}

bool IsCharacterDevice(int fd) {
  struct stat st;
  return ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode);
}

void AppendToConsole(std::string_view bytes) {
  while (!bytes.empty()) {
    const std::size_t room = sizeof console.buffer - console.used;
    const std::size_t take = std::min(room, bytes.size());
    std::memcpy(console.buffer + console.used, bytes.data(), take);
    console.used += take;
    bytes.remove_prefix(take);
    if (console.used == sizeof console.buffer) WriteConsoleBuffer();
  }
}

// ---- Failure report ------------------------------------------------------

// Looked up once at start, so that the SIGBUS handler can use them too.
struct Module {
  char name[256] = "Lindqvar";
  std::uintptr_t base = 0;
};

Module module;

// The path of the temporary output while it exists, for the SIGBUS handler.
char pendingTemporary[PATH_MAX + 64];

void FindModule() {
  char path[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (length > 0) {
    path[length] = '\0';
    const char* slash = std::strrchr(path, '/');
    const char* file = slash ? slash + 1 : path;
    const std::size_t length = std::min(std::strlen(file), sizeof module.name - 1);
    std::memcpy(module.name, file, length);
    module.name[length] = '\0';
  }
  Dl_info info;
  if (::dladdr(reinterpret_cast<const void*>(&FindModule), &info) != 0) {
    module.base = reinterpret_cast<std::uintptr_t>(info.dli_fbase);
  }
}

// Appends text to a report of at most 1023 bytes, cutting what does not fit.
// Plain byte copies only, so the SIGBUS handler may use it.
struct Report {
  char bytes[1023];
  std::size_t size = 0;

  void Add(const char* text, std::size_t length) {
    const std::size_t take = std::min(length, sizeof bytes - size);
    std::memcpy(bytes + size, text, take);
    size += take;
  }
  void Add(const char* text) { Add(text, std::strlen(text)); }
};

// "Exception %s in module %s at %p.\r\n%s%s\r\n" plus one more CR LF, %p
// being the code's offset in the executable in eight upper-case hex digits.
void WriteReport(const char* kind, const void* raisedAt, const char* message, std::size_t length) {
  const auto address = reinterpret_cast<std::uintptr_t>(raisedAt);
  const std::uintptr_t offset = address >= module.base ? address - module.base : 0;
  char hex[16];
  int digits = 0;
  for (std::uintptr_t rest = offset; digits < 8 || rest != 0; rest >>= 4) {
    hex[digits++] = "0123456789ABCDEF"[rest & 15];
  }
  char at[16];
  for (int i = 0; i < digits; ++i) at[i] = hex[digits - 1 - i];

  Report report;
  report.Add("Exception ");
  report.Add(kind);
  report.Add(" in module ");
  report.Add(module.name);
  report.Add(" at ");
  report.Add(at, static_cast<std::size_t>(digits));
  report.Add(".\r\n");
  report.Add(message, length);
  if (length > 0 && message[length - 1] != '.') report.Add(".");
  report.Add("\r\n");
  WriteAll(STDERR_FILENO, report.bytes, report.size);
  WriteAll(STDERR_FILENO, "\r\n", 2);
}

// A mapped input that another process truncated faults on the first byte
// past its new end. The run cannot go on: report it as a failure, leave no
// temporary output behind, and exit.
void OnInputTruncated(int) {
  WriteAll(STDOUT_FILENO, console.buffer, console.used);
  if (pendingTemporary[0] != '\0') ::unlink(pendingTemporary);
  static const char message[] = "Input file was truncated while it was being read";
  WriteReport("EInOutError", reinterpret_cast<const void*>(&OnInputTruncated), message,
              sizeof message - 1);
  ::_exit(1);
}

// ---- Paths ---------------------------------------------------------------

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// name made absolute against the current directory, with "." and ".."
// steps and repeated slashes taken out, as the open-error message shows it.
std::string FullPath(const std::string& name) {
  std::string joined = name;
  if (name.empty() || name[0] != '/') {
    std::vector<char> cwd(PATH_MAX);
    while (::getcwd(cwd.data(), cwd.size()) == nullptr) {
      if (errno != ERANGE) return name;
      cwd.resize(cwd.size() * 2);
    }
    joined = std::string(cwd.data()) + "/" + name;
  }
  std::vector<std::string_view> steps;
  std::string_view rest(joined);
  while (!rest.empty()) {
    const std::size_t slash = rest.find('/');
    const std::string_view step = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (step.empty() || step == ".") continue;
    if (step == "..") {
      if (!steps.empty()) steps.pop_back();
      continue;
    }
    steps.push_back(step);
  }
  std::string full;
  for (const std::string_view step : steps) full.append("/").append(step);
  return full.empty() ? "/" : full;
}

// The system's text for err without trailing blanks, control bytes and full
// stops: the failure report adds its own full stop.
std::string ErrorText(int err) {
  std::string text = std::strerror(err);
  while (!text.empty() && (static_cast<unsigned char>(text.back()) <= ' ' || text.back() == '.')) {
    text.pop_back();
  }
  return text;
}

// The file that writing to path really replaces: symbolic links are
// followed, even when the last one points to a file not yet there.
std::string FollowLinks(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    std::vector<char> target(static_cast<std::size_t>(std::max<off_t>(st.st_size, PATH_MAX)) + 1);
    const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
    if (length < 0 || static_cast<std::size_t>(length) >= target.size()) return path;
    std::string next(target.data(), static_cast<std::size_t>(length));
    path = next.starts_with('/') ? next : DirectoryOf(path) + "/" + next;
  }
  return path;
}

// ---- Output --------------------------------------------------------------

// Bytes handed to one writev: 128 KiB, as cat writes. Handing the kernel
// whole mapped listings at once made joins of a gigabyte swing between one
// and three seconds; writes of this size keep them as even as cat's.
constexpr std::size_t kWriteLimit = std::size_t{1} << 17;

// Writes every piece with gathered writes. Returns false on any error.
bool WritePieces(int fd, std::span<const std::string_view> pieces) {
  std::vector<iovec> pending;
  pending.reserve(pieces.size());
  for (std::string_view piece : pieces) {
    while (!piece.empty()) {
      const std::size_t take = std::min(piece.size(), kWriteLimit);
      pending.push_back({const_cast<char*>(piece.data()), take});
      piece.remove_prefix(take);
    }
  }
  std::size_t next = 0;
  while (next < pending.size()) {
    std::size_t count = 0;
    for (std::size_t bytes = 0;
         next + count < pending.size() && count < IOV_MAX && bytes < kWriteLimit;) {
      bytes += pending[next + count++].iov_len;
    }
    ssize_t written = ::writev(fd, &pending[next], static_cast<int>(count));
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    while (written > 0) {
      iovec& piece = pending[next];
      const std::size_t done = std::min(static_cast<std::size_t>(written), piece.iov_len);
      piece.iov_base = static_cast<char*>(piece.iov_base) + done;
      piece.iov_len -= done;
      written -= static_cast<ssize_t>(done);
      if (piece.iov_len == 0) ++next;
    }
  }
  return true;
}

// Holds back SIGINT, SIGTERM and SIGHUP while the temporary output file and
// the record of it that their handler reads change together.
struct StopSignalsHeld {
  sigset_t before;
  StopSignalsHeld() {
    sigset_t held;
    sigemptyset(&held);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&held, signal);
    ::sigprocmask(SIG_BLOCK, &held, &before);
  }
  ~StopSignalsHeld() { ::sigprocmask(SIG_SETMASK, &before, nullptr); }
};

mode_t NewFileMode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

// Ctrl-C, a hangup, or the SIGTERM of a timeout: take the temporary output
// away, then end as the signal asks.
void OnTermination(int signal) {
  if (pendingTemporary[0] != '\0') ::unlink(pendingTemporary);
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

}  // namespace

void PrepareProcess() {
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);
  ::signal(SIGBUS, OnInputTruncated);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction current;
    // A signal the caller chose to ignore, as nohup does, stays ignored.
    if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
      ::signal(signal, OnTermination);
    }
  }
  FindModule();
}

std::string InOutErrorText(int err) {
  switch (err) {
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
      return "I/O error " + std::to_string(err);
  }
}

void PrintLine(std::string_view line) {
  if (console.lineFlushed < 0) console.lineFlushed = IsCharacterDevice(STDOUT_FILENO) ? 1 : 0;
  AppendToConsole(line);
  AppendToConsole("\r\n");
  if (console.lineFlushed == 1) FlushConsole();
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
  WriteReport(failure.kind, failure.raisedAt, failure.message.data(), failure.message.size());
}

bool InputExists(const std::string& name) {
  struct stat st;
  return ::stat(name.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

void ReleaseInput::operator()(char* bytes) const {
  if (mappedLength > 0) {
    ::munmap(bytes, mappedLength);
  } else {
    std::free(bytes);
  }
}

InputText ReadInput(const std::string& name) {
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    const int err = errno;
    Raise("EFOpenError", "Cannot open file \"" + FullPath(name) + "\". " + ErrorText(err));
  }
  struct stat st;
  const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  InputText input;
  if (regular && st.st_size > 0) {
    const auto size = static_cast<std::size_t>(st.st_size);
    void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    if (mapped != MAP_FAILED) {
      ::close(fd);
      input.bytes = {static_cast<char*>(mapped), ReleaseInput{size}};
      input.size = size;
      return input;
    }
    // A file system that cannot map files is read like a pipe.
  }
  std::size_t capacity = regular ? static_cast<std::size_t>(st.st_size) + 1 : std::size_t{1} << 16;
  input.bytes.reset(static_cast<char*>(std::malloc(capacity)));
  if (!input.bytes) {
    ::close(fd);
    throw std::bad_alloc();
  }
  for (;;) {
    if (input.size == capacity) {
      capacity *= 2;
      char* grown = static_cast<char*>(std::realloc(input.bytes.get(), capacity));
      if (grown == nullptr) {
        ::close(fd);
        throw std::bad_alloc();
      }
      input.bytes.release();
      input.bytes.reset(grown);
    }
    const ssize_t got = ::read(fd, input.bytes.get() + input.size, capacity - input.size);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      Raise("EInOutError", InOutErrorText(err));
    }
    input.size += static_cast<std::size_t>(got);
  }
  ::close(fd);
  return input;
}

bool OpenOutput(const std::string& name, OutputFile& output) {
  if (name.empty() || name.back() == '/') return false;
  struct stat existing;
  const bool exists = ::stat(name.c_str(), &existing) == 0;
  if (exists && S_ISDIR(existing.st_mode)) return false;
  if (exists && !S_ISREG(existing.st_mode)) {
    // A device, FIFO or socket has no contents to keep: write straight to it.
    output.fd = ::open(name.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    return output.fd >= 0;
  }

  output.target = FollowLinks(name);
  const std::size_t slash = output.target.rfind('/');
  const std::string base = output.target.substr(slash == std::string::npos ? 0 : slash + 1);
  std::string temporary = DirectoryOf(output.target) + "/." + base + ".XXXXXX";
  if (temporary.size() >= sizeof pendingTemporary) return false;
  {
    const StopSignalsHeld held;
    output.fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (output.fd < 0) return false;
    std::memcpy(pendingTemporary, temporary.c_str(), temporary.size() + 1);
  }
  output.temporary = temporary;

  // Best effort: a file system without Unix permissions refuses these, and
  // that is no reason to lose the listing.
  if (exists) {
    if (existing.st_uid != ::geteuid() || existing.st_gid != ::getegid()) {
      [[maybe_unused]] const int ignored = ::fchown(output.fd, existing.st_uid, existing.st_gid);
    }
    ::fchmod(output.fd, existing.st_mode & 07777);
  } else {
    ::fchmod(output.fd, NewFileMode());
  }
  return true;
}

void WriteOutput(OutputFile& output, std::span<const std::string_view> pieces) {
  if (!output.failed) output.failed = !WritePieces(output.fd, pieces);
}

void WriteOutput(OutputFile& output, std::string_view text) {
  WriteOutput(output, {&text, 1});
}

bool CommitOutput(OutputFile& output) {
  const int fd = std::exchange(output.fd, -1);
  bool ok = ::close(fd) == 0 && !output.failed;
  if (!output.temporary.empty()) {
    const StopSignalsHeld held;
    ok = ok && ::rename(output.temporary.c_str(), output.target.c_str()) == 0;
    if (!ok) ::unlink(output.temporary.c_str());
    output.temporary.clear();
    pendingTemporary[0] = '\0';
  }
  return ok;
}

OutputFile::~OutputFile() {
  if (fd >= 0) ::close(fd);
  if (!temporary.empty()) {
    const StopSignalsHeld held;
    ::unlink(temporary.c_str());
    pendingTemporary[0] = '\0';
  }
}

}  // namespace lindqvar
