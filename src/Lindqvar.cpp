#include "Lindqvar.h"

#include <algorithm>
#include <new>
#include <optional>
#include <span>
#include <utility>

#include "Console.h"
#include "Failure.h"
#include "GuideShaping.h"
#include "Gzip.h"
#include "InputFile.h"
#include "Inputs.h"
#include "OutputFile.h"
#include "ParallelCopy.h"
#include "ProgrammeTimes.h"
#include "Sections.h"
#include "Spool.h"
#include "WindowChecker.h"

namespace lindqvar {

namespace {

// Inputs pass through a buffer of this size, twice: once to find their
// sections and check their times, in its two halves in turn, once to copy
// the sections out (in its halves in turn again for a shaped guide). Reads
// and writes this large keep system calls few, and memory stays the same
// whatever the size of the inputs.
constexpr std::size_t kBufferSize = std::size_t{1} << 20;

// Warnings, each on a line of its own.
void PrintWarnings(const std::vector<std::string>& warnings) {
  for (const std::string& warning : warnings) PrintWarning("Lindqvar: warning: " + warning);
}

// What reading the inputs shares: the buffer they pass through (the first
// pass reads into its two halves in turn), the room gzip data is inflated
// through, the checker of the windows, and the spool for the inputs that
// cannot be read twice, made when the first one comes.
struct InputReading {
  std::span<char> buffer;
  std::span<char> inflating;
  const std::string& outputName;
  OpenedSpool spool;
  KnownChannels channelIds;
  GuideShaping& shaping;
  WindowChecker checker;

  Spool& TheSpool() {
    if (!spool) spool = OpenSpool(outputName);
    return *spool;
  }

  // The first pass over the bytes fill delivers, with the checks on the
  // checker, or here for inflated bytes: returns how many there were.
  template <typename Fill>
  std::uint64_t Walk(ListingScan& scan, Fill&& fill, bool inflated) {
    if (inflated) {
      // The inflater works on a thread of its own and sets the pace: with
      // the rest here, each of the two threads has a core to itself.
      scan.checksApart = false;
      return WalkWindowsInTurn(buffer, fill, [&](Window window) { scan.Scan(window); });
    }
    scan.checksApart = true;
    // The elements are looked at on the checker too: the reads and the
    // section scans here take about as long as the checks and the
    // elements there, with --first-wins as with lists.
    return WalkWindowsChecked(buffer, checker, fill, [&](Window window, bool first) {
      scan.Scan(window);
      checker.Check(
          [&checks = scan.checks, elements = scan.elements, window, channels = scan.channels,
           programmes = scan.programmes] {
            checks.Scan(window, channels, programmes);
            if (elements) elements->Feed(window);
          },
          first);
    });
  }
};

// A file that read shorter than its size said.
struct ShortRead {};

// The first pass over the raw bytes readRaw delivers, decompressed on the
// way when they are gzip data, kept in the spool as they come with spool:
// returns how many bytes the pass saw.
std::uint64_t WalkInput(const ReadBytes& readRaw, bool spool, InputReading& reading,
                        ListingInput& input, ListingScan& scan) {
  Spool* const kept = spool ? &reading.TheSpool() : nullptr;
  if (kept) input.spooledAt = SpoolSize(*kept);
  const auto readKept = [&](char* bytes, std::size_t size) {
    const std::size_t got = readRaw(bytes, size);
    if (kept) AppendToSpool(*kept, {bytes, got});
    return got;
  };
  std::uint64_t end = 0;
  if (input.compression != Compression::Gzip) {
    end = reading.Walk(scan, readKept, false);
  } else {
    GzipReader gzip(readKept);
    ReadAhead inflated([&](char* bytes, std::size_t size) { return gzip.Read(bytes, size); },
                       reading.inflating);
    std::string start;  // its first bytes, which may tell of more compression
    const auto read = [&](char* bytes, std::size_t size) {
      const std::size_t got = inflated.Read(bytes, size);
      if (start.size() < kMagicBytes) {
        start.append(bytes, std::min(got, kMagicBytes - start.size()));
        input.inside = CompressionOf(start);
      }
      return got;
    };
    try {
      end = reading.Walk(scan, read, true);
    } catch (const DamagedData&) {
      Raise("EInOutError", "Compressed file \"" + ShownName(input.file.name) + "\" is damaged");
    }
  }
  if (kept) input.spooledSize = SpoolSize(*kept) - *input.spooledAt;
  return end;
}

// The first pass over one input: finds its two sections and, for an input
// marked with "-t", converts every programme time. A time that cannot be
// converted comes back in badTime, to be raised once the run has said that
// it checks this input.
ListingInput ScanInput(InputFile file, bool rewriteTimes, const TimeZone* zone,
                       InputReading& reading, std::optional<Failure>& badTime) {
  KnownChannels& known = reading.channelIds;
  const auto self = static_cast<std::uint32_t>(known.inputs.size());
  known.inputs.push_back(file.name);
  // With the guide shaped, the first pass looks at the elements too, as
  // long as it needs to. Only the ids the lists keep can be repeats, and
  // with --first-wins there are none: each has one input.
  GuideShaping& shaping = reading.shaping;
  ElementFilter elements(
      [&](ElementFilter::Kind kind, std::optional<std::string_view> id) {
        shaping.Saw(self, kind, id);
        if (!shaping.FirstPassLooks()) elements.Stop();
        return false;
      },
      nullptr);
  const auto freshScan = [&] {
    ListingScan scan;
    scan.checkTimes = rewriteTimes;
    scan.times.zone = zone;
    scan.checks.known = shaping.FirstWins() ? nullptr : &known;
    scan.checks.self = self;
    if (ChannelSelection* const selection = shaping.Selection()) {
      scan.checks.keepsId = [selection](std::string_view id) { return selection->Find(id).kept; };
    }
    if (shaping.FirstPassLooks()) {
      elements.Start(0);
      scan.elements = &elements;
    }
    return scan;
  };
  ListingScan scan = freshScan();
  ListingInput input;
  input.rewriteTimes = rewriteTimes;
  input.zone = zone;

  // Its first bytes tell whether it is compressed.
  const FirstBytes first = ReadFirstBytes(file);
  input.compression = CompressionOf(first.View());

  input.file = std::move(file);
  InputFile& opened = input.file;
  std::uint64_t end = 0;
  if (opened.seekable) {
    std::uint64_t offset = 0;
    const ReadBytes read = [&](char* bytes, std::size_t size) {
      const std::size_t wanted = std::min<std::uint64_t>(size, opened.stamp.size - offset);
      if (ReadInputAt(opened, offset, bytes, wanted) != wanted) throw ShortRead();
      offset += wanted;
      return wanted;
    };
    try {
      end = WalkInput(read, false, reading, input, scan);
    } catch (const ShortRead&) {
      // Unchanged, it is a file whose size the system does not know, as in
      // /sys: read it as a stream.
      if (!InputUnchanged(opened)) RaiseInputChanged();
      opened.seekable = false;
      scan = freshScan();
    }
  }
  if (!opened.seekable) {
    end = WalkInput(ReadFromStart(opened, first), true, reading, input, scan);
  }
  if (!InputUnchanged(opened)) RaiseInputChanged();
  input.channels = scan.channels.section;
  input.programmes = scan.programmes.section;
  scan.checks.Finish(end);
  if (const std::optional<std::string> givenUp = shaping.FinishInput(self, known.inputs)) {
    scan.checks.idsLine = *givenUp;
  }
  input.warnings =
      ListingWarnings(opened.name, scan.checks, input.channels, input.programmes, known);
  badTime = scan.TimesFailure();
  return input;
}

// The joined document on its way out: small pieces collect and go out
// together, large ones go out at once; compressed on the way when the
// output is a gzip file.
struct DocumentWriter {
  OutputFile& file;
  GzipWriter* gzip;
  std::string pending;
  std::uint64_t sent = 0;  // bytes of the document handed on

  void Add(std::string_view bytes) {
    if (bytes.size() >= kBufferSize / 2) {
      Flush();
      Send(bytes);
      return;
    }
    if (pending.size() + bytes.size() > kBufferSize) Flush();
    pending.append(bytes);
  }
  void FlushIfFull() {
    if (pending.size() >= kBufferSize) Flush();
  }
  void Flush() {
    Send(pending);
    pending.clear();
  }
  void Send(std::string_view bytes) {
    sent += bytes.size();
    if (gzip) {
      gzip->Write(bytes);
    } else {
      WriteOutput(file, bytes);
    }
  }
};

// Copies one section of input (the index-th) to the document, rewriting its
// programme times when asked to, and keeping only the elements the guide's
// shape keeps. A spooled input is read back from the spool, a file from the
// file itself, which must still be as first read.
void CopySection(ListingInput& input, std::uint32_t index, Range section, bool rewriteTimes,
                 InputReading& reading, DocumentWriter& document) {
  if (section.Size() == 0) return;
  const std::span<char> buffer = reading.buffer;
  GuideShaping& shaping = reading.shaping;
  SecondReading again(input, reading.spool.get(), reading.inflating, section.end);
  const auto read = [&](std::uint64_t offset, char* bytes, std::size_t size) {
    again.Read(offset, bytes, size);
  };
  if (shaping.Active()) {
    // The kept elements alone are rewritten, as one stream.
    std::optional<StreamedTimes> times;
    if (rewriteTimes) times.emplace(input.zone, document.pending);
    ElementFilter filter(
        [&](ElementFilter::Kind kind, std::optional<std::string_view> id) {
          return shaping.Keeps(index, kind, id);
        },
        [&](std::string_view bytes) {
          if (!times) return document.Add(bytes);
          times->Add(bytes);
          document.FlushIfFull();
        });
    // The elements, most of them dropped where a list keeps a few, cost
    // more to find than the reads take: they are found on the checker
    // while the next window is read.
    filter.Start(section.first);
    std::uint64_t offset = section.first;
    const auto fill = [&](char* bytes, std::size_t size) {
      const auto take =
          static_cast<std::size_t>(std::min<std::uint64_t>(size, section.end - offset));
      if (take > 0) read(offset, bytes, take);
      offset += take;
      return take;
    };
    WalkWindowsChecked(buffer, reading.checker, fill, [&](Window window, bool first) {
      window.offset += section.first;
      reading.checker.Check([&filter, window] { filter.Feed(window); }, first);
    });
    filter.Finish();
    if (times) times->Finish();
  } else if (!rewriteTimes) {
    for (std::uint64_t offset = section.first; offset < section.end;) {
      const std::size_t size = std::min<std::uint64_t>(buffer.size(), section.end - offset);
      read(offset, buffer.data(), size);
      document.Add({buffer.data(), size});
      offset += size;
    }
  } else {
    TimeRewriter rewriter;
    rewriter.zone = input.zone;
    rewriter.Start(section.first);
    const auto rewrite = [&](Window window) {
      rewriter.Feed(window, window.End(), &document.pending);
      document.FlushIfFull();
    };
    try {
      // Done here between the reads: the writes, not the reads, set its pace.
      WalkWindows(buffer, section.first, section.end, read, rewrite);
      rewriter.Finish();
    } catch (const Failure& failure) {
      // The first pass converted every one of these times.
      if (std::string_view(failure.kind) == "EConvertError") RaiseInputChanged();
      throw;
    }
  }
  if (!input.spooledAt && !InputUnchanged(input.file)) RaiseInputChanged();
}

// Whether a document named so is written gzip-compressed.
bool NamesAGzipFile(std::string_view name) {
  return name.size() > 3 && name[name.size() - 3] == '.' && (name[name.size() - 2] | 0x20) == 'g' &&
         (name[name.size() - 1] | 0x20) == 'z';
}

// The second pass: ListingHeader, the channel sections of all inputs
// (ChannelText), their programme sections (ProgrammeText) and the closing
// tag. False when the output cannot be made.
bool WriteJoinedListing(const std::string& outputName, std::vector<ListingInput>& inputs,
                        InputReading& reading) {
  const OpenedOutput output = OpenOutput(outputName);
  if (!output) return false;
  // A descriptor named as the output, such as /dev/stdout, gets the
  // document as it is, whatever its name.
  std::optional<GzipWriter> gzip;
  if (NamesAGzipFile(outputName) && !WritesToOpenDescriptor(*output)) {
    gzip.emplace([&](std::string_view bytes) { WriteOutput(*output, bytes); },
                 CompressionThreads());
  }
  DocumentWriter document{*output, gzip ? &*gzip : nullptr, {}, 0};
  document.pending.reserve(2 * kBufferSize);
  document.Add(ListingHeader);
  for (std::uint32_t index = 0; index < inputs.size(); ++index) {
    CopySection(inputs[index], index, inputs[index].channels, false, reading, document);
    SetInputAside(inputs[index].file);
  }
  // With every byte copied as it is, each programme section's place in the
  // output is known: where gzip data is inflated again, and the inflating
  // sets the pace, they are copied there two at a time. Plain files gain
  // nothing so: the writes to the one output set their pace.
  const auto rewritten = [](const ListingInput& input) { return input.rewriteTimes; };
  const auto inflated = [](const ListingInput& input) {
    return input.compression == Compression::Gzip;
  };
  const bool copiedAsTheyAre = !gzip && !reading.shaping.Active() && inputs.size() > 1 &&
                               std::none_of(inputs.begin(), inputs.end(), rewritten) &&
                               std::any_of(inputs.begin(), inputs.end(), inflated);
  if (copiedAsTheyAre && WritesAtOffsets(*output)) {
    document.Flush();
    // The room gzip data was inflated through is free now: the second
    // thread's buffer.
    const std::uint64_t end = CopyProgrammesAtOffsets(
        inputs, reading.spool.get(), *output, document.sent, reading.buffer, reading.inflating);
    WriteOutputAt(*output, end, ListingFooter);
  } else {
    for (std::uint32_t index = 0; index < inputs.size(); ++index) {
      ListingInput& input = inputs[index];
      CopySection(input, index, input.programmes, input.rewriteTimes, reading, document);
      // Whatever was taken from it, a file must still be as first read,
      // even one that was empty then.
      if (!InputUnchanged(input.file)) RaiseInputChanged();
      input = ListingInput();  // done with it
    }
    document.Add(ListingFooter);
    document.Flush();
  }
  if (gzip) gzip->Finish();
  // What the lists named that no input has, now that every element is known.
  if (ChannelSelection* const lists = reading.shaping.Selection()) PrintWarnings(lists->Warnings());
  return CommitOutput(*output);
}

// Argument index of args, the empty text past the last one.
std::string Argument(const std::vector<std::string>& args, std::size_t index) {
  return index < args.size() ? args[index] : std::string();
}

struct InputName {
  std::string name;
  bool rewriteTimes = false;            // "-t" or "-t=ZONE" follows it
  std::optional<std::string> zoneName;  // the ZONE of "-t=ZONE"
  std::optional<TimeZone> zone;
};

// The inputs and the output name the arguments give: every argument but the
// last is an input name, and only the argument right after an input name is
// taken for "-t" or "-t=ZONE". The output name is empty when such a switch
// ends the line.
std::string ReadCommandLine(const std::vector<std::string>& args, std::vector<InputName>& inputs) {
  const std::size_t argumentCount = args.size() - 1;
  std::size_t ArgIndex = 1;
  for (; ArgIndex < argumentCount; ++ArgIndex) {
    InputName input{args[ArgIndex], false, std::nullopt, std::nullopt};
    const std::string next = Argument(args, ArgIndex + 1);
    if (next == "-t" || next.starts_with("-t=")) {
      input.rewriteTimes = true;
      if (next.size() > 2) input.zoneName = next.substr(3);
      ++ArgIndex;
    }
    inputs.push_back(std::move(input));
  }
  return Argument(args, ArgIndex);
}

void PrintUsage() {
  PrintLine("Usage: Lindqvar XML1.xml [-t] XML2.xml [-t] ... Out.xml");
  PrintLine("       Append the -t switch after a filename to add timzone information to the");
  PrintLine("       times in the xml");
}

int JoinListings(const std::vector<std::string>& allArgs) {
  if (allArgs.size() == 2 && allArgs[1] == "--version") {
    PrintLine("Lindqvar " LINDQVAR_VERSION);
    PrintLine("zone data " + std::string(CompiledZoneVersion()));
    return 0;
  }
  if (allArgs.size() == 2 && allArgs[1] == "--help") {
    PrintUsage();
    for (const char* line : kOptionLines) PrintLine(line);
    return 0;
  }
  // The options that shape the guide lead; after them the command line is
  // read as ever.
  const ShapingOptions options = ReadShapingOptions(allArgs);
  std::vector<std::string> args{allArgs.front()};
  args.insert(args.end(), allArgs.begin() + static_cast<std::ptrdiff_t>(options.next),
              allArgs.end());
  if (args.size() < 3) {
    PrintUsage();
    return 0;
  }
  std::vector<InputName> names;
  const std::string outputName = ReadCommandLine(args, names);
  // Every zone named is known before any input is read.
  for (InputName& name : names) {
    if (!name.zoneName) continue;
    name.zone = FindTimeZone(*name.zoneName);
    if (!name.zone)
      Raise("EConvertError", "'" + ShownName(*name.zoneName) + "' is not a known time zone");
  }
  // A document that goes to a standard stream is the document alone.
  if (const StandardStreams document = StandardStreamsOf(outputName);
      document.output || document.error) {
    KeepMessagesOff(document.output, document.error);
  }

  // The lists too are read before any input.
  std::optional<ChannelSelection> selection;
  if (!options.lists.empty()) {
    std::string missing;
    selection = ReadChannelLists(options.lists, missing);
    if (!selection) {
      PrintLine("File \"" + ShownName(missing) + "\" not found");
      return 1;
    }
  }
  GuideShaping shaping(std::move(selection), options.firstWins);

  // Untouched memory costs nothing: the room for gzip data is there for
  // every run.
  const LargeBuffer buffer = AllocateLarge(kBufferSize);
  const LargeBuffer inflating = AllocateLarge(ReadAhead::kRoomSize);
  InputReading reading{{buffer.get(), kBufferSize},
                       {inflating.get(), ReadAhead::kRoomSize},
                       outputName,
                       nullptr,
                       KnownChannels(),
                       shaping,
                       {}};
  std::vector<ListingInput> inputs;
  for (const InputName& name : names) {
    const std::string& fileName = name.name;
    const bool rewriteTimes = name.rewriteTimes;
    if (!InputExists(fileName)) {
      PrintLine("File \"" + ShownName(fileName) + "\" not found");
      return 1;
    }
    std::optional<Failure> badTime;
    inputs.push_back(ScanInput(OpenInput(fileName), rewriteTimes, name.zone ? &*name.zone : nullptr,
                               reading, badTime));
    // An empty file, an error page or a file compressed in a way not read
    // here, say: the run goes on, but whoever reads its mail should hear of
    // it.
    const ListingInput& input = inputs.back();
    if (input.channels.Size() == 0 && input.programmes.Size() == 0) {
      std::string kind;
      if (input.compression == Compression::Gzip && input.inside != Compression::None) {
        kind = " (gzip holding " + std::string(CompressionName(input.inside)) + "-compressed data)";
      } else if (input.compression != Compression::Gzip && input.compression != Compression::None) {
        kind = " (" + std::string(CompressionName(input.compression)) + "-compressed)";
      }
      PrintWarning("Lindqvar: warning: nothing taken from \"" + ShownFileName(fileName) + "\"" +
                   kind);
    }
    PrintWarnings(input.warnings);
    if (rewriteTimes) {
      PrintLine("Checking timezone for \"" + ShownName(fileName) + "\"");
      if (badTime) throw *badTime;
    }
    SetInputAside(inputs.back().file);
  }
  // An empty or broken source must never wipe a good guide.
  if (shaping.Selection() && !shaping.SomethingKept()) {
    PrintWarnings(shaping.Selection()->Warnings());
    Raise("EConvertError",
          "No channel of \"" + ShownName(options.lists.front()) + "\" is in the inputs");
  }

  if (!WriteJoinedListing(outputName, inputs, reading)) {
    PrintLine("Couldn't create output file " + ShownName(outputName));
    return 1;
  }
  // The output is in place: a message lost now must not make the run look
  // failed to whoever checks its exit status.
  try {
    PrintLine("xml written to \"" + ShownName(outputName) + "\" sucessfully");
    FlushConsole();
  } catch (const Failure&) {
  }
  return 0;
}

}  // namespace

void ListingScan::Scan(Window window) {
  channels.Scan(window);
  const bool closedHere = programmes.Scan(window);
  if (!checksApart) {
    checks.Scan(window, channels, programmes);
    if (elements) elements->Feed(window);
  }
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
