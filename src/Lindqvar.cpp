#include "Lindqvar.h"

#include <algorithm>
#include <new>
#include <optional>
#include <span>
#include <utility>

#include "Console.h"
#include "Failure.h"
#include "InputFile.h"
#include "OutputFile.h"
#include "ProgrammeTimes.h"
#include "Sections.h"

namespace lindqvar {

namespace {

// Inputs pass through a buffer of this size, twice: once to find their
// sections and check their times, once to copy the sections out. Reads and
// writes this large keep system calls few, and memory stays the same
// whatever the size of the inputs.
constexpr std::size_t kBufferSize = std::size_t{1} << 20;

// What the second pass needs of one input.
struct ListingInput {
  InputFile file;    // read again by offset when seekable; checked for change when regular
  std::string held;  // for a stream: its channel section, then its programme section
  Range channels;    // offsets into the file, or into held
  Range programmes;
  bool rewriteTimes = false;
};

[[noreturn]] void RaiseInputChanged() {
  Raise("EInOutError", "Input file changed while it was being read");
}

void ReadExactly(InputFile& input, std::uint64_t offset, char* bytes, std::size_t size) {
  if (ReadInputAt(input, offset, bytes, size) != size) RaiseInputChanged();
}

// The whole of a stream, or of a file from its start on.
std::string ReadWhole(InputFile& input) {
  std::string text;
  std::size_t size = 0;
  for (std::size_t got = 1; got != 0; size += got) {
    if (text.size() - size < kBufferSize / 4) text.resize(std::max(kBufferSize, 2 * text.size()));
    char* const bytes = text.data() + size;
    got = input.regular ? ReadInputAt(input, size, bytes, text.size() - size)
                        : ReadInputStream(input, bytes, text.size() - size);
  }
  text.resize(size);
  return text;
}

// A file that read shorter than its size said.
struct ShortRead {};

// The first pass over one input: finds its two sections and, for an input
// marked with "-t", converts every programme time. A time that cannot be
// converted comes back in badTime, to be raised once the run has said that
// it checks this input.
ListingInput ScanInput(InputFile file, bool rewriteTimes, std::span<char> buffer,
                       std::optional<Failure>& badTime) {
  ListingScan scan;
  scan.checkTimes = rewriteTimes;
  const auto visit = [&](Window window) { scan.Scan(window); };
  ListingInput input;
  input.rewriteTimes = rewriteTimes;
  if (file.seekable) {
    const auto read = [&](std::uint64_t offset, char* bytes, std::size_t size) {
      if (ReadInputAt(file, offset, bytes, size) != size) throw ShortRead();
    };
    try {
      WalkWindows(buffer, 0, file.stamp.size, read, visit);
    } catch (const ShortRead&) {
      // Unchanged, it is a file whose size the system does not know, as in
      // /sys: read it as a stream.
      if (!InputUnchanged(file)) RaiseInputChanged();
      file.seekable = false;
      scan = ListingScan();
      scan.checkTimes = rewriteTimes;
    }
  }
  if (file.seekable) {
    input.channels = scan.channels.section;
    input.programmes = scan.programmes.section;
  } else {
    // Read once, so only the sections are kept.
    const std::string text = ReadWhole(file);
    visit(Window{text, 0});
    const auto cut = [&](const Range& range) {
      return std::string_view(text).substr(range.first, range.Size());
    };
    input.held.append(cut(scan.channels.section)).append(cut(scan.programmes.section));
    input.channels = {0, scan.channels.section.Size()};
    input.programmes = {input.channels.end, input.held.size()};
  }
  if (!InputUnchanged(file)) RaiseInputChanged();
  input.file = std::move(file);
  badTime = scan.TimesFailure();
  return input;
}

// The joined document on its way out: small pieces collect and go out
// together, large ones go out at once.
struct DocumentWriter {
  OutputFile& file;
  std::string pending;

  void Add(std::string_view bytes) {
    if (bytes.size() >= kBufferSize / 2) {
      Flush();
      WriteOutput(file, bytes);
      return;
    }
    if (pending.size() + bytes.size() > kBufferSize) Flush();
    pending.append(bytes);
  }
  void FlushIfFull() {
    if (pending.size() >= kBufferSize) Flush();
  }
  void Flush() {
    WriteOutput(file, pending);
    pending.clear();
  }
};

// Copies one section of input to the document, rewriting its programme
// times when asked to.
void CopySection(ListingInput& input, Range section, bool rewriteTimes, std::span<char> buffer,
                 DocumentWriter& document) {
  if (section.Size() == 0) return;
  const bool held = !input.file.seekable;
  if (!rewriteTimes) {
    if (held)
      return document.Add(std::string_view(input.held).substr(section.first, section.Size()));
    for (std::uint64_t offset = section.first; offset < section.end;) {
      const std::size_t size = std::min<std::uint64_t>(buffer.size(), section.end - offset);
      ReadExactly(input.file, offset, buffer.data(), size);
      document.Add({buffer.data(), size});
      offset += size;
    }
    if (!InputUnchanged(input.file)) RaiseInputChanged();
    return;
  }

  TimeRewriter rewriter;
  rewriter.Start(section.first);
  const auto rewrite = [&](Window window) {
    rewriter.Feed(window, window.End(), &document.pending);
    document.FlushIfFull();
  };
  if (held) {
    rewrite(
        Window{std::string_view(input.held).substr(section.first, section.Size()), section.first});
    return rewriter.Finish();
  }
  const auto read = [&](std::uint64_t offset, char* bytes, std::size_t size) {
    ReadExactly(input.file, offset, bytes, size);
  };
  try {
    WalkWindows(buffer, section.first, section.end, read, rewrite);
    rewriter.Finish();
  } catch (const Failure& failure) {
    // The first pass converted every one of these times.
    if (std::string_view(failure.kind) == "EConvertError") RaiseInputChanged();
    throw;
  }
  if (!InputUnchanged(input.file)) RaiseInputChanged();
}

// The second pass: ListingHeader, the channel sections of all inputs
// (ChannelText), their programme sections (ProgrammeText) and the closing
// tag. False when the output cannot be made.
bool WriteJoinedListing(const std::string& outputName, std::vector<ListingInput>& inputs,
                        std::span<char> buffer) {
  const OpenedOutput output = OpenOutput(outputName);
  if (!output) return false;
  DocumentWriter document{*output, {}};
  document.pending.reserve(2 * kBufferSize);
  document.Add(ListingHeader);
  for (ListingInput& input : inputs) {
    CopySection(input, input.channels, false, buffer, document);
    SetInputAside(input.file);
  }
  for (ListingInput& input : inputs) {
    CopySection(input, input.programmes, input.rewriteTimes, buffer, document);
    // Whatever was taken from it, a file must still be as first read, even
    // one that was empty then.
    if (!InputUnchanged(input.file)) RaiseInputChanged();
    input = ListingInput();  // done with it
  }
  document.Add(ListingFooter);
  document.Flush();
  return CommitOutput(*output);
}

// Argument index of args, the empty text past the last one.
std::string Argument(const std::vector<std::string>& args, std::size_t index) {
  return index < args.size() ? args[index] : std::string();
}

struct InputName {
  std::string name;
  bool rewriteTimes;  // "-t" follows it
};

// The inputs and the output name the arguments give: every argument but the
// last is an input name, and only the argument right after an input name is
// taken for "-t". The output name is empty when "-t" ends the line.
std::string ReadCommandLine(const std::vector<std::string>& args, std::vector<InputName>& inputs) {
  const std::size_t argumentCount = args.size() - 1;
  std::size_t ArgIndex = 1;
  for (; ArgIndex < argumentCount; ++ArgIndex) {
    const bool rewriteTimes = Argument(args, ArgIndex + 1) == "-t";
    inputs.push_back({args[ArgIndex], rewriteTimes});
    if (rewriteTimes) ++ArgIndex;
  }
  return Argument(args, ArgIndex);
}

int JoinListings(const std::vector<std::string>& args) {
  if (args.size() == 2 && args[1] == "--version") {
    PrintLine("Lindqvar " LINDQVAR_VERSION);
    return 0;
  }
  if (args.size() < 3) {
    PrintLine("Usage: Lindqvar XML1.xml [-t] XML2.xml [-t] ... Out.xml");
    PrintLine("       Append the -t switch after a filename to add timzone information to the");
    PrintLine("       times in the xml");
    return 0;
  }
  std::vector<InputName> names;
  const std::string outputName = ReadCommandLine(args, names);
  // A document that goes to a standard stream is the document alone.
  if (const StandardStreams document = StandardStreamsOf(outputName);
      document.output || document.error) {
    KeepMessagesOff(document.output, document.error);
  }

  std::vector<char> buffer(kBufferSize);
  std::vector<ListingInput> inputs;
  for (const auto& [fileName, rewriteTimes] : names) {
    if (!InputExists(fileName)) {
      PrintLine("File \"" + fileName + "\" not found");
      return 1;
    }
    std::optional<Failure> badTime;
    inputs.push_back(ScanInput(OpenInput(fileName), rewriteTimes, buffer, badTime));
    // An empty file, an error page or a compressed file, say: the run goes
    // on, but whoever reads its mail should hear of it.
    if (inputs.back().channels.Size() == 0 && inputs.back().programmes.Size() == 0) {
      PrintWarning("Lindqvar: warning: nothing taken from \"" + fileName + "\"");
    }
    if (rewriteTimes) {
      PrintLine("Checking timezone for \"" + fileName + "\"");
      if (badTime) throw *badTime;
    }
    SetInputAside(inputs.back().file);
  }

  if (!WriteJoinedListing(outputName, inputs, buffer)) {
    PrintLine("Couldn't create output file " + outputName);
    return 1;
  }
  // The output is in place: a message lost now must not make the run look
  // failed to whoever checks its exit status.
  try {
    PrintLine("xml written to \"" + outputName + "\" sucessfully");
    FlushConsole();
  } catch (const Failure&) {
  }
  return 0;
}

}  // namespace

void ListingScan::Scan(Window window) {
  channels.Scan(window);
  const bool closedHere = programmes.Scan(window);
  if (!checkTimes || !programmes.opened) return;
  const auto step = [&](std::uint64_t upTo) {
    if (timesFailure) return;
    try {
      times.Feed(window, upTo, nullptr);
    } catch (const Failure& failure) {
      timesFailure = failure;
    }
  };
  if (!std::exchange(timesStarted, true)) times.Start(programmes.section.first);
  if (closedHere) {
    step(programmes.section.end);
    timesAtSectionEnd = times;
    timesFailureAtSectionEnd = timesFailure;
  }
  step(window.End());
}

std::optional<Failure> ListingScan::TimesFailure() const {
  if (!checkTimes || programmes.section.Size() == 0) return std::nullopt;
  if (timesFailureAtSectionEnd) return timesFailureAtSectionEnd;
  try {
    timesAtSectionEnd.Finish();
  } catch (const Failure& failure) {
    return failure;
  }
  return std::nullopt;
}

int RunLindqvar(const std::vector<std::string>& args) {
  int status = 1;
  try {
    status = JoinListings(args);
  } catch (const Failure& failure) {
    ReportFailure(failure);
    return 1;
  } catch (const std::bad_alloc&) {
    try {
      Raise("EOutOfMemory", "Out of memory");
    } catch (const Failure& failure) {
      ReportFailure(failure);
    }
    return 1;
  }
  // Whatever is still buffered goes out now; the run's outcome is decided.
  try {
    FlushConsole();
  } catch (const Failure&) {
  }
  return status;
}

}  // namespace lindqvar
