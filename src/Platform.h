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
// a closed pipe on standard output, a file-size limit on the output.
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

// An input's whole content, in a block that is not zero-filled first.
struct InputText {
  struct FreeBytes {
    void operator()(char* bytes) const { std::free(bytes); }
  };
  std::unique_ptr<char, FreeBytes> bytes;
  std::size_t size = 0;

  std::string_view View() const { return {bytes.get(), size}; }
};

// True when name can be stat'ed and is not a directory.
bool InputExists(const std::string& name);

// Reads the file until end of file, so pipes work too. Raises EFOpenError
// when it cannot be opened and EInOutError when a read fails.
InputText ReadInput(const std::string& name);

// Writes the pieces, in order, as the file name. A regular file (or a new
// one) is written to a temporary file beside it and renamed over it, keeping
// its permission bits; a symbolic link replaces the file it points to.
// Returns false, with no trace left and any old file untouched, on failure.
bool WriteOutputSafely(const std::string& name, std::span<const std::string_view> pieces);

}  // namespace lindqvar
