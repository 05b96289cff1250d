// The process, its streams and the failure report's module on POSIX systems.
#include "Console.h"

#include <dlfcn.h>
#include <limits.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <new>
#include <utility>

#include "posix/WriteAll.h"

namespace lindqvar {

namespace {

int Descriptor(Stream stream) {
  return stream == Stream::Output ? STDOUT_FILENO : STDERR_FILENO;
}

// The executable's file name and the address it is loaded at, looked up
// once at start.
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

}  // namespace

void PrepareProcess() {
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);
  FindModule();
}

std::thread StartWorkerThread(std::function<void()> work) {
  // A new thread starts with the signal mask of the one that made it.
  sigset_t all;
  sigset_t before;
  sigfillset(&all);
  ::pthread_sigmask(SIG_BLOCK, &all, &before);
  std::thread thread(std::move(work));
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return thread;
}

void LargeBufferFree::operator()(char* bytes) const {
  std::free(bytes);
}

LargeBuffer AllocateLarge(std::size_t size) {
  // Whole huge pages, on their bounds, so that the system may map them so.
  // A buffer smaller than one keeps to small pages: a huge page would be
  // memory it never uses.
  constexpr std::size_t kHugePage = std::size_t{2} << 20;
  const bool huge = size >= kHugePage;
  const std::size_t whole = huge ? (size + kHugePage - 1) / kHugePage * kHugePage : size;
  void* const bytes = huge ? std::aligned_alloc(kHugePage, whole) : std::malloc(whole);
  if (!bytes) throw std::bad_alloc();
  if (huge) ::madvise(bytes, whole, MADV_HUGEPAGE);  // a hint only
  return LargeBuffer(static_cast<char*>(bytes));
}

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

std::string ShownName(std::string_view name) {
  return std::string(name);
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
    case EDQUOT:
    case EFBIG:  // past the file size limit, as good as full
      return "Disk full";
    default:
      return "I/O error " + std::to_string(code);
  }
}

int WriteToStream(Stream stream, std::string_view bytes) {
  return WriteAll(Descriptor(stream), bytes.data(), bytes.size());
}

bool StreamIsCharacterDevice(Stream stream) {
  struct stat st;
  return ::fstat(Descriptor(stream), &st) == 0 && S_ISCHR(st.st_mode);
}

std::string ModuleOf(const void* address, std::uintptr_t& offset) {
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  offset = at >= module.base ? at - module.base : 0;
  return module.name;
}

void ToReportCharacterSet(std::string&) {}

}  // namespace lindqvar
