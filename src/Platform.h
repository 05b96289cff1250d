// The few operating-system calls the program makes: console messages, the
// failure report, reading inputs whole, and replacing the output safely.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "Failure.h"

namespace lindqvar {

// Signals that would end the run silently become error returns instead:
// a closed pipe on standard output, a file-size limit on the output. A
// mapped input cut short by another process ends the run with the failure
// report instead of a crash, and a run stopped by SIGINT, SIGTERM or SIGHUP
// removes its temporary output first.
void PrepareProcess();

// Writes line plus CR LF to standard output: at once on a character device,
// otherwise through a 128-byte buffer. Raises EInOutError when it cannot.
void PrintLine(std::string_view line);

// Writes what the console buffer still holds. Raises EInOutError.
void FlushConsole();

// Flushes standard output (ignoring errors) and writes the failure report
// to standard error.
void ReportFailure(const Failure& failure);

// The message of an EInOutError for the error number err.
std::string InOutErrorText(int err);

// An input's whole content: a read-only mapping of a regular file, so no
// byte is copied or zero-filled before it is needed, or a block read from a
// pipe or device.
struct ReleaseInput {
  std::size_t mappedLength = 0;  // 0 when the block came from malloc
  void operator()(char* bytes) const;
};

struct InputText {
  std::unique_ptr<char, ReleaseInput> bytes;
  std::size_t size = 0;

  std::string_view View() const { return {bytes.get(), size}; }
};

// True when name can be stat'ed and is not a directory.
bool InputExists(const std::string& name);

// A regular file is mapped as it stands when opened; anything else is read
// until end of file, so pipes work too. Raises EFOpenError when the file
// cannot be opened and EInOutError when a read fails.
InputText ReadInput(const std::string& name);

// The output while it is written. A regular file (or a new one) is written
// to a temporary file beside it that replaces it, keeping its permission
// bits, only when committed; a symbolic link replaces the file it points
// to. A device, FIFO or socket is written directly. Dropped uncommitted,
// the temporary file is removed and any old file stays untouched.
struct OutputFile {
  int fd = -1;
  std::string target;
  std::string temporary;
  bool failed = false;  // a write failed; later writes are skipped

  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();
};

// Creates the output for name; false when it cannot.
bool OpenOutput(const std::string& name, OutputFile& output);

// Writes the pieces in order with gathered writes.
void WriteOutput(OutputFile& output, std::span<const std::string_view> pieces);
void WriteOutput(OutputFile& output, std::string_view text);

// Closes the output and puts it in place; false, leaving no trace and any
// old file untouched, when any write, the close or the rename failed.
bool CommitOutput(OutputFile& output);

}  // namespace lindqvar
