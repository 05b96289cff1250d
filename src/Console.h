// The process around the run: its arguments, the messages it prints on
// standard output and the failure report on standard error.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "Failure.h"

namespace lindqvar {

// Gets the process ready before anything else runs: signals that would end
// it silently become error returns (a closed pipe, a file-size limit), and
// what the failure report names is looked up.
void PrepareProcess();

// Starts a thread for work of the program's own. It never takes a signal:
// signals all reach the main thread, whose handlers take a temporary output
// away and which holds them back while it makes or names one.
std::thread StartWorkerThread(std::function<void()> work);

// Memory for one of the large buffers the bytes pass through, not yet
// touched: in huge pages, where the system gives them and the buffer fills
// one, since every small page first touched costs a fault, and on a
// virtual machine a megabyte of them took longer to fault in than to
// inflate.
struct LargeBufferFree {
  void operator()(char* bytes) const;
};
using LargeBuffer = std::unique_ptr<char[], LargeBufferFree>;
LargeBuffer AllocateLarge(std::size_t size);

// The program name followed by the arguments, as bytes.
std::vector<std::string> CommandLineArguments(int argc, char** argv);

// Writes line plus CR LF to standard output, or to standard error once
// messages go there: at once on a character device, otherwise through a
// 128-byte buffer. Raises EInOutError when it cannot.
void PrintLine(std::string_view line);

// Writes line plus CR LF to standard error at once, or with the messages
// when they go there. A warning that cannot be written is let go.
void PrintWarning(std::string_view line);

// The document goes to these standard streams: from now on messages keep
// off them. Messages go to standard error when standard output is the
// document; warnings and the failure report go to standard output, with
// the messages, when standard error is; with both, nothing is printed.
void KeepMessagesOff(bool standardOutput, bool standardError);

// Writes what the message buffer still holds. Raises EInOutError.
void FlushConsole();

// Flushes standard output (ignoring errors) and writes the failure report
// to standard error.
void ReportFailure(const Failure& failure);

// A file name (or another argument) as messages, warnings and the failure
// report show it: on Windows in the ANSI code page, where a character it
// cannot hold is "?"; elsewhere the bytes as given.
std::string ShownName(std::string_view name);

// The message of an EInOutError for a platform error code.
std::string InOutErrorText(int code);

// What the system layer (src/posix, src/win32) provides below the messages.
enum class Stream { Output, Error };

// Writes all of bytes to stream; 0, or the platform's error code.
int WriteToStream(Stream stream, std::string_view bytes);

// Whether stream is a character device, such as a console.
bool StreamIsCharacterDevice(Stream stream);

// The file name of the module that holds the code at address, and in
// offset the code's distance from where that module is loaded.
std::string ModuleOf(const void* address, std::uintptr_t& offset);

// The report in the character set of the place it is shown.
void ToReportCharacterSet(std::string& report);

}  // namespace lindqvar
