// The joined document while it is written. A file is written to a
// temporary file in its directory and put in place only when every byte
// is written; until then an old file of that name stays untouched, and a
// run that fails or is stopped leaves nothing behind.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace lindqvar {

// The output while it is written; what it holds is the platform's own.
struct OutputFile;

struct OutputFileCloser {
  // Closes the output; a temporary file not yet put in place goes away.
  void operator()(OutputFile* output) const;
};

using OpenedOutput = std::unique_ptr<OutputFile, OutputFileCloser>;

// Which standard streams an output of that name would go to: the messages
// must then keep off them, or they would land in the document.
struct StandardStreams {
  bool output = false;
  bool error = false;
};
StandardStreams StandardStreamsOf(const std::string& name);

// Creates the output for name; null when it cannot, which is whenever
// opening name for writing would fail. A name that leads to a descriptor
// already open for writing (such as /dev/stdout) is written through it, so
// that ">>" appends and a pipe gets the bytes. Symbolic links are followed
// only where the system itself would follow them for writing, and then the
// file they lead to is replaced.
OpenedOutput OpenOutput(const std::string& name);

// Whether the output is a descriptor the program was started with, such as
// /dev/stdout, named as the output.
bool WritesToOpenDescriptor(const OutputFile& output);

// Writes bytes in full; a failure is remembered for CommitOutput.
void WriteOutput(OutputFile& output, std::string_view bytes);

// Whether the output takes writes at offsets, from several threads at once:
// a file of the run's own that nothing else reads meanwhile.
bool WritesAtOffsets(const OutputFile& output);

// Writes bytes in full at offset, where WritesAtOffsets says it may; safe
// from any thread. A failure is remembered for CommitOutput.
void WriteOutputAt(OutputFile& output, std::uint64_t offset, std::string_view bytes);

// Puts the output in place; false, leaving no trace and any old file
// untouched, when any write, the close or the final rename failed.
bool CommitOutput(OutputFile& output);

}  // namespace lindqvar
