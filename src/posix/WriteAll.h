// Writing a block in full on POSIX systems.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace lindqvar {

// Writes all of data, retrying interrupted and short writes. Returns 0 or
// the errno of the failed write.
inline int WriteAll(int fd, const char* data, std::size_t size) {
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

// The same at offset, leaving the file position as it is.
inline int WriteAllAt(int fd, std::uint64_t offset, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::pwrite(fd, data, size, static_cast<off_t>(offset));
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += written;
    offset += static_cast<std::uint64_t>(written);
    size -= static_cast<std::size_t>(written);
  }
  return 0;
}

}  // namespace lindqvar
