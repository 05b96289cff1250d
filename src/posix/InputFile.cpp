// Inputs on POSIX systems.
#include "InputFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "Console.h"
#include "Failure.h"

namespace lindqvar {

namespace {

std::atomic<std::size_t> openInputs{0};  // input descriptors open now, from any thread

// Descriptors the process holds besides its inputs, counted once.
std::size_t OtherDescriptors() {
  std::size_t count = 0;
  if (DIR* listing = ::opendir("/proc/self/fd")) {
    while (const dirent* entry = ::readdir(listing)) count += entry->d_name[0] != '.';
    ::closedir(listing);
    --count;  // the listing's own
  } else {
    for (int fd = 0; fd < 1 << 16; ++fd) count += ::fcntl(fd, F_GETFD) != -1;
  }
  return count > openInputs ? count - openInputs : 0;
}

// How many inputs may stay open between the passes: the descriptors still
// free when the first is set aside, less those the rest of the run needs at
// most at once (the output, its folder, the file it replaces, a temporary
// file, an input read again, a directory listing, and two to spare). With
// fewer free, every input is closed between the passes.
std::size_t InputsKeptOpen() {
  static const std::size_t kept = []() -> std::size_t {
    constexpr std::size_t kNeededLater = 8;
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) != 0) return 0;
    const std::size_t limit = std::min<rlim_t>(files.rlim_cur, rlim_t{1} << 20);
    const std::size_t used = OtherDescriptors() + kNeededLater;
    return limit > used ? limit - used : 0;
  }();
  return kept;
}

std::int64_t Nanoseconds(const timespec& time) {
  return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

InputStamp StampOf(const struct stat& st) {
  return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
          static_cast<std::uint64_t>(st.st_size), Nanoseconds(st.st_mtim), Nanoseconds(st.st_ctim)};
}

// Opens a set-aside input again by name; false when the name no longer
// leads to the file first read. It must be a regular file, so the open
// never waits (as it would on a FIFO put in its place).
bool Reopen(InputFile& input) {
  if (input.handle != kNoHandle) return true;
  const int fd = ::open(input.name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return false;  // gone
    Raise("EInOutError", InOutErrorText(errno));
  }
  input.handle = fd;
  ++openInputs;
  struct stat st;
  if (::fstat(fd, &st) != 0 || StampOf(st) != input.stamp) {
    CloseInput(input);
    return false;
  }
  return true;
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

}  // namespace

void CloseInput(InputFile& input) {
  if (input.handle == kNoHandle) return;
  ::close(static_cast<int>(std::exchange(input.handle, kNoHandle)));
  --openInputs;
}

bool InputExists(const std::string& name) {
  struct stat st;
  return ::stat(name.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

InputFile OpenInput(const std::string& name) {
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    const int err = errno;
    Raise("EFOpenError", "Cannot open file \"" + FullPath(name) + "\". " + ErrorText(err));
  }
  InputFile input;
  input.name = name;
  input.handle = fd;
  ++openInputs;
  struct stat st;
  if (::fstat(fd, &st) != 0) Raise("EInOutError", InOutErrorText(errno));
  input.stamp = StampOf(st);
  input.regular = S_ISREG(st.st_mode);
  // An empty regular file may be one of the kernel's, such as those in
  // /proc, whose size says nothing: it is read as a stream, and still
  // checked for change.
  input.seekable = input.regular && st.st_size > 0;
  return input;
}

std::size_t ReadInputAt(InputFile& input, std::uint64_t offset, char* bytes, std::size_t size) {
  if (!Reopen(input)) return 0;
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = ::pread(static_cast<int>(input.handle), bytes + done, size - done,
                                static_cast<off_t>(offset + done));
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      Raise("EInOutError", InOutErrorText(errno));
    }
    done += static_cast<std::size_t>(got);
  }
  return done;
}

std::size_t ReadInputStream(InputFile& input, char* bytes, std::size_t size) {
  for (;;) {
    const ssize_t got = ::read(static_cast<int>(input.handle), bytes, size);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) Raise("EInOutError", InOutErrorText(errno));
  }
}

bool InputUnchanged(InputFile& input) {
  if (!input.regular) return true;
  if (!Reopen(input)) return false;
  struct stat st;
  return ::fstat(static_cast<int>(input.handle), &st) == 0 && StampOf(st) == input.stamp;
}

void SetInputAside(InputFile& input) {
  if (openInputs > InputsKeptOpen()) CloseInput(input);
}

}  // namespace lindqvar
