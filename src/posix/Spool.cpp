// The spool on POSIX systems: an unnamed file (O_TMPFILE) beside the
// output, or in the folder for temporary files, or where the file system
// there has none, a named one whose name is taken away the moment it is
// made.
#include "Spool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "Console.h"
#include "Failure.h"
#include "posix/OutputFolder.h"
#include "posix/Temporary.h"
#include "posix/WriteAll.h"

namespace lindqvar {

struct Spool {
  int fd = -1;
  std::uint64_t size = 0;
};

namespace {

// The folder for temporary files: TMPDIR's, else /tmp.
std::string TemporaryFolder() {
  const char* const folder = std::getenv("TMPDIR");
  return folder && *folder ? folder : "/tmp";
}

int OpenUnnamed(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
  const SignalsHeld held;  // nothing ends the run while the file has a name
  for (int tries = 0; tries < 100; ++tries) {
    const std::string name = folder + "/" + TemporaryName(".Lindqvar-spool-");
    const int named = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (named >= 0) {
      ::unlink(name.c_str());
      return named;
    }
    if (errno != EEXIST) break;
  }
  return -1;
}

}  // namespace

OpenedSpool OpenSpool(const std::string& outputName) {
  // Beside the output, on a file system that has room for it; an output
  // that is a device gives no such place (its folder, such as /dev, may be
  // held in memory), nor does one that cannot take the spool.
  int fd = -1;
  if (const std::optional<std::string> folder = FolderBesideOutput(outputName)) {
    fd = OpenUnnamed(*folder);
  }
  if (fd < 0) fd = OpenUnnamed(TemporaryFolder());
  if (fd < 0) Raise("EInOutError", InOutErrorText(errno));
  OpenedSpool spool(new Spool);
  spool->fd = fd;
  return spool;
}

std::uint64_t SpoolSize(const Spool& spool) {
  return spool.size;
}

void AppendToSpool(Spool& spool, std::string_view bytes) {
  if (const int err = WriteAll(spool.fd, bytes.data(), bytes.size())) {
    Raise("EInOutError", InOutErrorText(err));
  }
  spool.size += bytes.size();
}

void ReadSpoolAt(Spool& spool, std::uint64_t offset, char* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t got = ::pread(spool.fd, bytes, size, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) Raise("EInOutError", InOutErrorText(errno));
    if (got == 0) Raise("EInOutError", "Read beyond end of file");
    bytes += got;
    offset += static_cast<std::uint64_t>(got);
    size -= static_cast<std::size_t>(got);
  }
}

void SpoolCloser::operator()(Spool* spool) const {
  ::close(spool->fd);
  delete spool;
}

}  // namespace lindqvar
