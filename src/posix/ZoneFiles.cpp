// The system's zone files on POSIX systems.
#include "ZoneFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace lindqvar {

namespace {

// Zone files are a few KiB; anything far larger is no zone file.
constexpr off_t kLargestZoneFile = off_t{1} << 20;

struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

std::optional<std::string> ReadSystemZoneFile(std::string_view name) {
  const char* const folder = std::getenv("TZDIR");
  const std::string path =
      std::string(folder && *folder ? folder : "/usr/share/zoneinfo") + "/" + std::string(name);
  // Never waits, as it would on a FIFO put there.
  const Descriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)};
  struct stat st;
  if (file.fd < 0 || ::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      st.st_size > kLargestZoneFile) {
    return std::nullopt;
  }
  std::string bytes(static_cast<std::size_t>(st.st_size) + 1, '\0');
  std::size_t size = 0;
  while (size < bytes.size()) {
    const ssize_t got = ::read(file.fd, bytes.data() + size, bytes.size() - size);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0) break;
    size += static_cast<std::size_t>(got);
  }
  // A file that grew while it was read is not the one sized.
  if (size > static_cast<std::size_t>(st.st_size)) return std::nullopt;
  bytes.resize(size);
  return bytes;
}

}  // namespace lindqvar
