// The messages and the failure report, over the system layer's streams.
#include "Console.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace lindqvar {

namespace {

struct Console {
  char buffer[128];
  std::size_t used = 0;
  Stream stream = Stream::Output;  // where messages go
  bool warningsApart = true;       // warnings and the report go to standard error, unbuffered
  bool silent = false;             // the document is on both streams
  int lineFlushed = -1;            // -1 until the messages' stream has been looked at
};

Console console;

void WriteConsoleBuffer() {
  const std::size_t used = std::exchange(console.used, 0);
  if (const int err = WriteToStream(console.stream, {console.buffer, used})) {
    Raise("EInOutError", InOutErrorText(err));
  }
}

void AppendToConsole(std::string_view bytes) {
  while (!bytes.empty()) {
    const std::size_t take = std::min(sizeof console.buffer - console.used, bytes.size());
    std::memcpy(console.buffer + console.used, bytes.data(), take);
    console.used += take;
    bytes.remove_prefix(take);
    if (console.used == sizeof console.buffer) WriteConsoleBuffer();
  }
}

}  // namespace

void PrintLine(std::string_view line) {
  if (console.silent) return;
  if (console.lineFlushed < 0) console.lineFlushed = StreamIsCharacterDevice(console.stream);
  AppendToConsole(line);
  AppendToConsole("\r\n");
  if (console.lineFlushed == 1) FlushConsole();
}

void PrintWarning(std::string_view line) {
  if (!console.warningsApart) return PrintLine(line);
  WriteToStream(Stream::Error, std::string(line) + "\r\n");
}

void KeepMessagesOff(bool standardOutput, bool standardError) {
  FlushConsole();
  console.stream = standardOutput ? Stream::Error : Stream::Output;
  console.warningsApart = !standardOutput && !standardError;
  console.silent = standardOutput && standardError;
  console.lineFlushed = -1;
}

void FlushConsole() {
  if (console.used > 0) WriteConsoleBuffer();
}

void ReportFailure(const Failure& failure) {
  try {
    FlushConsole();
  } catch (const Failure&) {
    // The report below is what matters now.
  }
  std::uintptr_t offset = 0;
  const std::string module = ModuleOf(failure.raisedAt, offset);
  std::string report = FailureReport(failure, module, offset);
  ToReportCharacterSet(report);
  if (!console.silent)
    WriteToStream(console.warningsApart ? Stream::Error : console.stream, report);
}

}  // namespace lindqvar
