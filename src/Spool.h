// Bytes kept outside memory for the second pass: what cannot be read
// twice (a pipe, a device, a compressed file once decompressed) is copied
// here as the first pass reads it, and read back by offset. One unnamed
// file, near the output, that the system takes away however the run ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace lindqvar {

// What the spool holds is the platform's own.
struct Spool;

struct SpoolCloser {
  void operator()(Spool* spool) const;
};

using OpenedSpool = std::unique_ptr<Spool, SpoolCloser>;

// Makes the spool in the folder the output named outputName goes to, or
// where that cannot be, in the system's folder for temporary files.
// Raises EInOutError when neither takes it.
OpenedSpool OpenSpool(const std::string& outputName);

// The bytes written so far, which is where the next ones go.
std::uint64_t SpoolSize(const Spool& spool);

// Appends bytes. Raises EInOutError, such as "Disk full".
void AppendToSpool(Spool& spool, std::string_view bytes);

// Reads size bytes at offset, all of which must have been written.
// Raises EInOutError.
void ReadSpoolAt(Spool& spool, std::uint64_t offset, char* bytes, std::size_t size);

}  // namespace lindqvar
