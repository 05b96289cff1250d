// The joined document while it is written. A file is written to a
// temporary file in its directory and put in place only when every byte
// is written; until then an old file of that name stays untouched, and a
// run that fails or is stopped leaves nothing behind.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace lindqvar {

struct OutputFile {
  std::intptr_t handle = -1;
  std::intptr_t directory = -1;   // where target and temporary lie, when the platform uses it
  std::string target;             // the file replaced at commit; empty when written directly
  std::string temporary;          // a named temporary file, where one was needed
  bool deleteOnClose = false;     // the system deletes the temporary file with its handle
  bool failed = false;            // a write failed; later writes are skipped
  std::uint64_t written = 0;      // bytes written so far
  std::uint64_t writtenBack = 0;  // bytes the system was asked to start writing out
  bool keepOwner = false;         // give the new file the old one's owner and group
  std::uint32_t mode = 0;         // permission bits for the new file
  std::uint32_t owner = 0;
  std::uint32_t group = 0;

  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();
};

// Whether name stands for standard output, which then carries the document
// alone.
bool OutputIsStandardOutput(const std::string& name);

// Creates the output for name; false when it cannot. A name that stands for
// a descriptor already open (such as /dev/stdout) is written through it, so
// that ">>" appends and a pipe gets the bytes. Symbolic links are followed
// only where the system itself would follow them for writing, and then the
// file they lead to is replaced.
bool OpenOutput(const std::string& name, OutputFile& output);

// Writes bytes in full; a failure is remembered for CommitOutput.
void WriteOutput(OutputFile& output, std::string_view bytes);

// Puts the output in place; false, leaving no trace and any old file
// untouched, when any write, the close or the final rename failed.
bool CommitOutput(OutputFile& output);

}  // namespace lindqvar
