// The output on POSIX systems. Its destination is found as opening it for
// writing would find it, with every check the kernel makes there, and held
// by descriptor from then on: the folder it lies in and, when it exists,
// the file itself. The document is written to an unnamed file in that
// folder (O_TMPFILE), which a killed run cannot leave behind; only when it
// is complete does it get a name: the target's own when there was no file,
// else a short one at once renamed over the target, once the target is
// seen to be still the file checked. Where the file system has no unnamed
// files, a named temporary file takes its place, removed again by a run
// that fails or is ended by a signal.
#include "OutputFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "Console.h"
#include "posix/OutputFolder.h"
#include "posix/Temporary.h"
#include "posix/WriteAll.h"

namespace lindqvar {

struct OutputFile {
  int handle = -1;
  bool openDescriptor = false;      // a descriptor the program was started with
  int directory = -1;               // the folder of the file replaced, by descriptor
  std::string target;               // its name there; empty when written directly
  int existing = -1;                // the file replaced, open for writing; -1 when new
  std::string temporary;            // a named temporary file, where one was needed
  std::atomic<bool> failed{false};  // a write failed; later writes are skipped
  std::uint64_t written = 0;        // bytes written so far
  std::uint64_t writtenBack = 0;    // bytes the system was asked to start writing out
  std::thread forgetting;           // hands back the cached pages of the file replaced

  // Done with the file replaced, which the thread reads by descriptor.
  void StopForgetting() {
    if (forgetting.joinable()) forgetting.join();
  }
};

namespace {

// The named temporary file while one exists, for the signal handler.
int pendingDirectory = -1;
char pendingName[32];

// Takes the named temporary file away, then ends as the signal asks.
void OnStopSignal(int signal) {
  if (pendingName[0] != '\0') ::unlinkat(pendingDirectory, pendingName, 0);
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

// Every signal that can be caught and whose default action ends the
// process, but SIGPIPE and SIGXFSZ, which the program ignores so that the
// writes they stop fail instead.
void RemoveTemporaryOnStopSignals() {
  static bool installed = false;
  if (std::exchange(installed, true)) return;
  std::vector<int> signals = {SIGHUP,    SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGBUS,
                              SIGFPE,    SIGUSR1, SIGSEGV, SIGUSR2, SIGALRM, SIGTERM, SIGXCPU,
                              SIGVTALRM, SIGPROF, SIGIO,   SIGPWR,  SIGSYS};
#ifdef SIGSTKFLT
  signals.push_back(SIGSTKFLT);
#endif
  for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) signals.push_back(signal);
  for (const int signal : signals) {
    struct sigaction current;
    // A signal the caller chose to ignore, as nohup does, stays ignored.
    if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
      ::signal(signal, OnStopSignal);
    }
  }
}

void Remember(int directory, const std::string& name) {
  pendingDirectory = directory;
  std::snprintf(pendingName, sizeof pendingName, "%s", name.c_str());
}

void Forget() {
  pendingName[0] = '\0';
}

// Creates a named temporary file in directory, recording it for the
// signal handler in the same breath.
int CreateNamedTemporary(int directory, std::string& name) {
  RemoveTemporaryOnStopSignals();
  const SignalsHeld held;
  for (int tries = 0; tries < 100; ++tries) {
    name = TemporaryName(".Lindqvar-");
    const int fd = ::openat(directory, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      Remember(directory, name);
      return fd;
    }
    if (errno != EEXIST) break;
  }
  name.clear();
  return -1;
}

// Gives the unnamed file fd the name name in directory; false when it
// cannot, with errno set (EEXIST when the name is taken).
bool LinkUnnamedFile(int fd, int directory, const std::string& name) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  if (::linkat(AT_FDCWD, self.c_str(), directory, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
    return true;
  }
  // Without /proc, a privileged process can still name it directly.
  return errno == ENOENT && ::linkat(fd, "", directory, name.c_str(), AT_EMPTY_PATH) == 0;
}

// Gives the unnamed file fd a short name of its own in directory.
bool NameUnnamedFile(int fd, int directory, std::string& name) {
  for (int tries = 0; tries < 100; ++tries) {
    name = TemporaryName(".Lindqvar-");
    if (LinkUnnamedFile(fd, directory, name)) return true;
    if (errno != EEXIST) break;
  }
  name.clear();
  return false;
}

struct Identity {
  dev_t device = 0;
  ino_t inode = 0;

  bool operator==(const Identity&) const = default;
};

Identity IdentityOf(const struct stat& st) {
  return {st.st_dev, st.st_ino};
}

bool IdentityOfDescriptor(int fd, Identity& identity) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return false;
  identity = IdentityOf(st);
  return true;
}

// The descriptors the process holds open for writing that lead to the same
// file as name (the lowest first), by identity, whatever the spelling:
// /dev/stdout, /dev/fd/3, /proc/self/fd/../fd/1, a pipe's or a log's own
// name.
std::vector<int> WritableDescriptorsOf(const std::string& name) {
  std::vector<int> found;
  struct stat st;
  if (name.empty() || ::stat(name.c_str(), &st) != 0) return found;
  const Identity wanted = IdentityOf(st);
  const auto consider = [&](int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    Identity identity;
    if (flags != -1 && (flags & O_ACCMODE) != O_RDONLY && !(flags & O_PATH) &&
        IdentityOfDescriptor(fd, identity) && identity == wanted) {
      found.push_back(fd);
    }
  };
  if (DIR* listing = ::opendir("/proc/self/fd")) {
    while (const dirent* entry = ::readdir(listing)) {
      if (entry->d_name[0] != '.' && std::atoi(entry->d_name) != ::dirfd(listing)) {
        consider(std::atoi(entry->d_name));
      }
    }
    ::closedir(listing);
    std::sort(found.begin(), found.end());
  } else {
    for (int fd = 0; fd < 1024; ++fd) consider(fd);
  }
  return found;
}

// name split at its last slash into the folder part, as open would look it
// up, and the last step.
std::pair<std::string, std::string> SplitName(const std::string& name) {
  const std::size_t slash = name.rfind('/');
  if (slash == std::string::npos) return {".", name};
  return {slash == 0 ? "/" : name.substr(0, slash), name.substr(slash + 1)};
}

// Where writing to a name would land, found the way the kernel finds it
// for open(O_WRONLY | O_CREAT), and held by descriptor.
struct Destination {
  int directory = -1;  // the folder the last step lies in
  std::string name;    // the last step, no link
  int file = -1;       // the file there opened for writing; -1 when none is there yet
  bool regular = false;

  Destination() = default;
  Destination(const Destination&) = delete;
  Destination& operator=(const Destination&) = delete;
  ~Destination() {
    if (file >= 0) ::close(file);
    if (directory >= 0) ::close(directory);
  }
};

// Descriptors opened while the destination is looked for, closed on the way out.
struct Held {
  int fd = -1;
  explicit Held(int opened) : fd(opened) {}
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  ~Held() {
    if (fd >= 0) ::close(fd);
  }
};

// Whether the entry name in directory is still the file held open at fd,
// or, with fd -1, still missing.
bool StillThere(int directory, const std::string& name, int fd) {
  struct stat now;
  if (::fstatat(directory, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT && fd < 0;
  }
  Identity held;
  return fd >= 0 && IdentityOfDescriptor(fd, held) && held == IdentityOf(now);
}

// The text of the symbolic link held open at link.
bool LinkText(int link, const struct stat& st, std::string& text) {
  std::vector<char> bytes(static_cast<std::size_t>(std::max<off_t>(st.st_size, 4095)) + 1);
  const ssize_t length = ::readlinkat(link, "", bytes.data(), bytes.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= bytes.size()) return false;
  text.assign(bytes.data(), static_cast<std::size_t>(length));
  return true;
}

// Finds where writing to name lands. Each link on the way is followed by
// the kernel first (an O_PATH open of it), so that its rules on following
// links (fs.protected_symlinks, loops) decide, and only then read through
// the descriptor of the very link it followed, to learn which folder the
// file it leads to lies in. A file found there is opened for writing the
// way the shell's ">" opens it, so that the kernel's rules on writing to
// it decide too: permission, fs.protected_regular and fs.protected_fifos
// in sticky folders, a directory. False for whatever the kernel would
// refuse, and for a destination that changed while it was looked at.
bool FindDestination(const std::string& name, Destination& destination) {
  auto [folder, step] = SplitName(name);
  destination.directory = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  for (int hops = 0; hops < 40; ++hops) {
    if (destination.directory < 0 || step.empty() || step == "." || step == "..") return false;
    const int at = destination.directory;
    const Held link(::openat(at, step.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (link.fd < 0) {
      // Nothing there: the file is made under this name, if there is still
      // nothing there by then.
      if (errno != ENOENT) return false;
      destination.name = step;
      return true;
    }
    const Held followed(::openat(at, step.c_str(), O_PATH | O_CLOEXEC));
    if (followed.fd < 0 && errno != ENOENT) return false;
    // What the kernel followed must be the very entry held.
    if (::fstat(link.fd, &st) != 0 || !StillThere(at, step, link.fd)) return false;
    if (!S_ISLNK(st.st_mode)) {
      Identity seen;
      if (followed.fd < 0 || !IdentityOfDescriptor(followed.fd, seen) || seen != IdentityOf(st)) {
        return false;
      }
      destination.name = step;
      break;
    }
    std::string text;
    if (!LinkText(link.fd, st, text)) return false;
    auto [linkFolder, linkStep] = SplitName(text);
    const int next = ::openat(at, linkFolder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ::close(std::exchange(destination.directory, next));
    step = linkStep;
  }
  if (destination.name.empty()) return false;  // too many links

  // O_CREAT brings the kernel's rules for files in sticky folders; the
  // file is there, so nothing is made, unless it went away meanwhile.
  struct stat before;
  if (::fstatat(destination.directory, destination.name.c_str(), &before, AT_SYMLINK_NOFOLLOW) !=
      0) {
    return false;
  }
  destination.file = ::openat(destination.directory, destination.name.c_str(),
                              O_WRONLY | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
  struct stat opened;
  if (destination.file < 0 || ::fstat(destination.file, &opened) != 0) return false;
  if (IdentityOf(opened) != IdentityOf(before)) {
    // Not the file looked at: one made just now in its place goes again.
    struct stat now;
    if (opened.st_size == 0 &&
        ::fstatat(destination.directory, destination.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) ==
            0 &&
        IdentityOf(now) == IdentityOf(opened)) {
      ::unlinkat(destination.directory, destination.name.c_str(), 0);
    }
    return false;
  }
  destination.regular = S_ISREG(opened.st_mode);
  return true;
}

// The old file's cached pages are of no use once it is replaced. Handed
// back now, before the new file is written, they are the memory its pages
// come from; left until the rename, the new pages come from memory the
// system has not touched in a while, which on a virtual machine costs far
// more: a 1 GiB join took 0.7 to 2.3 s here, against 0.7 s with them handed
// back. Handing back 256 MiB takes some 13 ms, which a thread of its own
// spends while the document is being written. Best effort.
void ForgetCachedPages(OutputFile& output) {
  const int fd = output.existing;
  const auto forget = [fd] { ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED); };
  try {
    output.forgetting = StartWorkerThread(forget);
  } catch (const std::system_error&) {
    forget();
  }
}

mode_t NewFileMode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

}  // namespace

std::optional<std::string> FolderBesideOutput(const std::string& name) {
  if (const std::vector<int> open = WritableDescriptorsOf(name); !open.empty()) {
    // Where the kernel says the descriptor's file lies, if it still lies
    // there: a deleted file, or one on a path no longer its own, has none.
    struct stat st;
    if (::fstat(open.front(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    std::string path(PATH_MAX, '\0');
    const std::string self = "/proc/self/fd/" + std::to_string(open.front());
    const ssize_t length = ::readlink(self.c_str(), path.data(), path.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= path.size()) return std::nullopt;
    path.resize(static_cast<std::size_t>(length));
    struct stat there;
    if (path[0] != '/' || ::stat(path.c_str(), &there) != 0 ||
        IdentityOf(there) != IdentityOf(st)) {
      return std::nullopt;
    }
    return SplitName(path).first;
  }
  struct stat st;
  if (::stat(name.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return std::nullopt;
  return SplitName(name).first;
}

StandardStreams StandardStreamsOf(const std::string& name) {
  StandardStreams streams;
  for (const int fd : WritableDescriptorsOf(name)) {
    streams.output = streams.output || fd == STDOUT_FILENO;
    streams.error = streams.error || fd == STDERR_FILENO;
  }
  return streams;
}

OpenedOutput OpenOutput(const std::string& name) {
  OpenedOutput output(new OutputFile);
  // A descriptor already open, under any of its names: written through, so
  // that ">>" appends and a pipe gets the bytes.
  if (const std::vector<int> open = WritableDescriptorsOf(name); !open.empty()) {
    output->handle = ::fcntl(open.front(), F_DUPFD_CLOEXEC, 3);
    output->openDescriptor = true;
    return output->handle >= 0 ? std::move(output) : nullptr;
  }
  if (name.empty() || name.back() == '/') return nullptr;
  Destination destination;
  if (!FindDestination(name, destination)) return nullptr;
  if (destination.file >= 0 && !destination.regular) {
    // A device or FIFO has no contents to keep: write straight to it.
    output->handle = std::exchange(destination.file, -1);
    return output;
  }
  output->directory = std::exchange(destination.directory, -1);
  output->target = destination.name;
  output->existing = std::exchange(destination.file, -1);
  if (output->existing >= 0) ForgetCachedPages(*output);

  int fd = ::openat(output->directory, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    fd = CreateNamedTemporary(output->directory, output->temporary);
  }
  output->handle = fd;
  return fd >= 0 ? std::move(output) : nullptr;
}

bool WritesToOpenDescriptor(const OutputFile& output) {
  return output.openDescriptor;
}

// Start writing the file out as it grows. Left until the rename, ext4
// writes out the whole file then, inside the rename, and a gigabyte took
// one to two seconds of system time there on the development machine;
// started 16 MiB at a time it takes a fraction of that, and the disk works
// while the run goes on. A hint only: where it does not apply, as on a
// pipe, it is of no matter that it fails.
constexpr std::uint64_t kWriteBackStep = std::uint64_t{16} << 20;

void WriteOutput(OutputFile& output, std::string_view bytes) {
  if (output.failed) return;
  const int fd = output.handle;
  if (WriteAll(fd, bytes.data(), bytes.size()) != 0) output.failed = true;
  output.written += bytes.size();
  if (output.written - output.writtenBack >= kWriteBackStep) {
    ::sync_file_range(fd, static_cast<off64_t>(output.writtenBack),
                      static_cast<off64_t>(output.written - output.writtenBack),
                      SYNC_FILE_RANGE_WRITE);
    output.writtenBack = output.written;
  }
}

bool WritesAtOffsets(const OutputFile& output) {
  return !output.target.empty();
}

void WriteOutputAt(OutputFile& output, std::uint64_t offset, std::string_view bytes) {
  if (output.failed) return;
  const int fd = output.handle;
  if (WriteAllAt(fd, offset, bytes.data(), bytes.size()) != 0) output.failed = true;
  // Each step of the file is written out once these bytes end it: the
  // bytes before them in it may be another thread's, still to come, and
  // those are written out at the rename.
  const std::uint64_t end = offset + bytes.size();
  for (std::uint64_t step = (offset / kWriteBackStep + 1) * kWriteBackStep; step <= end;
       step += kWriteBackStep) {
    ::sync_file_range(fd, static_cast<off64_t>(step - kWriteBackStep),
                      static_cast<off64_t>(kWriteBackStep), SYNC_FILE_RANGE_WRITE);
  }
}

bool CommitOutput(OutputFile& output) {
  const int fd = std::exchange(output.handle, -1);
  if (output.target.empty()) return ::close(fd) == 0 && !output.failed;
  output.StopForgetting();

  // The replaced file's permission bits, set after the last write, which
  // would clear setuid and setgid bits; and for root its owner and group.
  // Best effort: a file system without Unix permissions refuses these, and
  // that is no reason to lose the listing.
  struct stat old;
  if (output.existing >= 0 && ::fstat(output.existing, &old) == 0) {
    if (old.st_uid != ::geteuid() || old.st_gid != ::getegid()) {
      [[maybe_unused]] const int ignored = ::fchown(fd, old.st_uid, old.st_gid);
    }
    ::fchmod(fd, old.st_mode & 07777);
  } else {
    ::fchmod(fd, NewFileMode());
  }

  const int directory = output.directory;
  const SignalsHeld held;
  bool ok = !output.failed;
  // Only what was checked is replaced: the file found when the output was
  // opened, or no file at all.
  ok = ok && StillThere(directory, output.target, output.existing);
  if (ok && output.existing < 0 && output.temporary.empty()) {
    // A new file gets its name at once, so there is no moment in which a
    // temporary name could be left behind.
    ok = LinkUnnamedFile(fd, directory, output.target);
    ok = ::close(fd) == 0 && ok;
  } else {
    if (ok && output.temporary.empty()) ok = NameUnnamedFile(fd, directory, output.temporary);
    ok = ::close(fd) == 0 && ok;
    if (ok && output.existing < 0) {
      ok = ::renameat2(directory, output.temporary.c_str(), directory, output.target.c_str(),
                       RENAME_NOREPLACE) == 0;
      // A file system that cannot rename so: a new link, then the old one goes.
      if (!ok && errno == EINVAL &&
          ::linkat(directory, output.temporary.c_str(), directory, output.target.c_str(), 0) == 0) {
        ::unlinkat(directory, output.temporary.c_str(), 0);
        ok = true;
      }
    } else {
      ok = ok &&
           ::renameat(directory, output.temporary.c_str(), directory, output.target.c_str()) == 0;
    }
    if (!ok && !output.temporary.empty()) ::unlinkat(directory, output.temporary.c_str(), 0);
  }
  output.temporary.clear();
  Forget();
  return ok;
}

void OutputFileCloser::operator()(OutputFile* output) const {
  output->StopForgetting();
  if (output->handle >= 0) ::close(output->handle);
  if (!output->temporary.empty()) {
    const SignalsHeld held;
    ::unlinkat(output->directory, output->temporary.c_str(), 0);
    Forget();
  }
  if (output->existing >= 0) ::close(output->existing);
  if (output->directory >= 0) ::close(output->directory);
  delete output;
}

}  // namespace lindqvar
