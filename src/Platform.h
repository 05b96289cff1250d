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
// report instead of a crash.
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

// Writes the pieces, in order, as the file name. A regular file (or a new
// one) is written to a temporary file beside it and renamed over it, keeping
// its permission bits; a symbolic link replaces the file it points to.
// Returns false, with no trace left and any old file untouched, on failure.
bool WriteOutputSafely(const std::string& name, std::span<const std::string_view> pieces);

}  // namespace lindqvar
