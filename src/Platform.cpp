#include "Platform.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
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

std::string ModuleName() {
  char path[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path);
  if (length <= 0) return "Lindqvar";
  const std::string_view full(path, static_cast<std::size_t>(length));
  return std::string(full.substr(full.rfind('/') + 1));
}

unsigned long OffsetInModule(const void* address) {
  Dl_info info;
  if (address == nullptr || ::dladdr(address, &info) == 0 || info.dli_fbase == nullptr) return 0;
  return static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(address) -
                                    reinterpret_cast<std::uintptr_t>(info.dli_fbase));
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

// Writes every piece with gathered writes. Returns false on any error.
bool WritePieces(int fd, std::span<const std::string_view> pieces) {
  std::vector<iovec> pending;
  pending.reserve(pieces.size());
  for (const std::string_view piece : pieces) {
    if (!piece.empty()) pending.push_back({const_cast<char*>(piece.data()), piece.size()});
  }
  std::size_t next = 0;
  while (next < pending.size()) {
    const int count = static_cast<int>(std::min<std::size_t>(pending.size() - next, IOV_MAX));
    ssize_t written = ::writev(fd, &pending[next], count);
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

// A device, FIFO or socket has no contents to keep: write straight to it.
bool WriteToSpecialFile(const std::string& name, std::span<const std::string_view> pieces) {
  const int fd = ::open(name.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  const bool written = WritePieces(fd, pieces);
  return ::close(fd) == 0 && written;
}

mode_t NewFileMode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

}  // namespace

void PrepareProcess() {
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);
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
  const std::string& message = failure.message;
  const char* stop = !message.empty() && message.back() != '.' ? "." : "";
  char report[1024];
  int length = std::snprintf(
      report, sizeof report, "Exception %s in module %s at %08lX.\r\n%s%s\r\n", failure.kind,
      ModuleName().c_str(), OffsetInModule(failure.raisedAt), message.c_str(), stop);
  length = std::clamp(length, 0, static_cast<int>(sizeof report) - 1);
  WriteAll(STDERR_FILENO, report, static_cast<std::size_t>(length));
  WriteAll(STDERR_FILENO, "\r\n", 2);
}

bool InputExists(const std::string& name) {
  struct stat st;
  return ::stat(name.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

InputText ReadInput(const std::string& name) {
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    const int err = errno;
    Raise("EFOpenError", "Cannot open file \"" + FullPath(name) + "\". " + ErrorText(err));
  }
  struct stat st;
  const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  // A regular file's size is only a first guess: it may grow while we read.
  std::size_t capacity = regular ? static_cast<std::size_t>(st.st_size) + 1 : std::size_t{1} << 16;
  InputText input;
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

bool WriteOutputSafely(const std::string& name, std::span<const std::string_view> pieces) {
  if (name.empty() || name.back() == '/') return false;
  struct stat existing;
  const bool exists = ::stat(name.c_str(), &existing) == 0;
  if (exists && S_ISDIR(existing.st_mode)) return false;
  if (exists && !S_ISREG(existing.st_mode)) return WriteToSpecialFile(name, pieces);

  const std::string target = FollowLinks(name);
  const std::size_t slash = target.rfind('/');
  const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  std::string temporary = DirectoryOf(target) + "/." + base + ".XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return false;

  // Best effort: a file system without Unix permissions refuses these, and
  // that is no reason to lose the listing.
  if (exists) {
    if (existing.st_uid != ::geteuid() || existing.st_gid != ::getegid()) {
      [[maybe_unused]] const int ignored = ::fchown(fd, existing.st_uid, existing.st_gid);
    }
    ::fchmod(fd, existing.st_mode & 07777);
  } else {
    ::fchmod(fd, NewFileMode());
  }

  bool ok = WritePieces(fd, pieces);
  ok = ::close(fd) == 0 && ok;
  ok = ok && ::rename(temporary.c_str(), target.c_str()) == 0;
  if (!ok) ::unlink(temporary.c_str());
  return ok;
}

}  // namespace lindqvar
