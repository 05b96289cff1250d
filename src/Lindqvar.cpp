#include "Lindqvar.h"

#include <cstdint>
#include <deque>
#include <new>
#include <vector>

#include "Failure.h"
#include "Platform.h"
#include "StringUtils.h"

namespace lindqvar {

namespace {

// Rewritten text goes out in chunks of this size, so a marked input never
// needs a second copy of itself in memory.
constexpr std::size_t kChunkSize = std::size_t{1} << 20;

struct ProgrammeSection {
  std::string_view text;
  bool rewriteTimes;
};

// The joined document in the making. Sections stay views into the texts
// that hold them, so no byte is copied before it is written out: an input
// whose sections fill most of it is kept whole; any other input leaves a
// copy of its sections in a text of their own. Programme times are
// rewritten only while the document is written.
struct JoinedListing {
  std::vector<std::string_view> ChannelText;
  std::vector<ProgrammeSection> ProgrammeText;
  std::vector<InputText> keptInputs;
  std::deque<std::string> ownSections;  // a deque never moves what it holds
};

// Argument index of argv, the empty text past the last one.
std::string Argument(std::span<const std::string_view> args, std::size_t index) {
  return index < args.size() ? std::string(args[index]) : std::string();
}

// Converts every time of a marked section and throws the result away, so
// that a bad time ends the run now, before any later input is looked at.
void CheckProgrammeTimes(std::string_view section) {
  std::string chunk;
  RewriteProgrammeTimes(section, chunk, [](std::string& text) { text.clear(); });
}

void AddInput(JoinedListing& listing, InputText input, bool rewriteTimes) {
  const std::string_view text = input.View();
  std::string_view channels = ExtractSection(text, "<channel", "</channel>");
  std::string_view programmes = ExtractSection(text, "<programme", "</programme>");
  if (rewriteTimes) CheckProgrammeTimes(programmes);

  if (channels.size() + programmes.size() >= text.size() / 2) {
    listing.keptInputs.push_back(std::move(input));
  } else {
    std::string& own = listing.ownSections.emplace_back();
    own.reserve(channels.size() + programmes.size());
    own.append(channels).append(programmes);
    channels = std::string_view(own).substr(0, channels.size());
    programmes = std::string_view(own).substr(channels.size());
  }
  listing.ChannelText.push_back(channels);
  listing.ProgrammeText.push_back({programmes, rewriteTimes});
}

// Writes ListingHeader, the channel sections, the programme sections and
// the closing tag; false when the output cannot be made.
bool WriteJoinedListing(const std::string& outputName, const JoinedListing& listing) {
  OutputFile output;
  if (!OpenOutput(outputName, output)) return false;
  std::vector<std::string_view> pieces{ListingHeader};
  pieces.insert(pieces.end(), listing.ChannelText.begin(), listing.ChannelText.end());
  std::string chunk;
  for (const ProgrammeSection& section : listing.ProgrammeText) {
    if (!section.rewriteTimes) {
      pieces.push_back(section.text);
      continue;
    }
    WriteOutput(output, pieces);
    pieces.clear();
    RewriteProgrammeTimes(section.text, chunk, [&output](std::string& text) {
      WriteOutput(output, text);
      text.clear();
    });
    WriteOutput(output, chunk);
    chunk.clear();
  }
  pieces.push_back(ListingFooter);
  WriteOutput(output, pieces);
  return CommitOutput(output);
}

int JoinListings(std::span<const std::string_view> args) {
  const std::size_t argumentCount = args.empty() ? 0 : args.size() - 1;
  if (argumentCount < 2) {
    PrintLine("Usage: Lindqvar XML1.xml [-t] XML2.xml [-t] ... Out.xml");
    PrintLine("       Append the -t switch after a filename to add timzone information to the");
    PrintLine("       times in the xml");
    return 0;
  }

  JoinedListing listing;
  std::size_t ArgIndex = 1;
  for (; ArgIndex < argumentCount; ++ArgIndex) {
    const std::string fileName = Argument(args, ArgIndex);
    if (!InputExists(fileName)) {
      PrintLine("File \"" + fileName + "\" not found");
      return 1;
    }
    InputText input = ReadInput(fileName);
    const bool rewriteTimes = Argument(args, ArgIndex + 1) == "-t";
    if (rewriteTimes) {
      PrintLine("Checking timezone for \"" + fileName + "\"");
      ++ArgIndex;
    }
    AddInput(listing, std::move(input), rewriteTimes);
  }

  const std::string outputName = Argument(args, ArgIndex);
  if (!WriteJoinedListing(outputName, listing)) {
    PrintLine("Couldn't create output file " + outputName);
    return 1;
  }
  PrintLine("xml written to \"" + outputName + "\" sucessfully");
  return 0;
}

int DigitValue(unsigned char c, int base) {
  if (c >= '0' && c <= '9') return c - '0';
  if (base == 16 && (c | 0x20) >= 'a' && (c | 0x20) <= 'f') return (c | 0x20) - 'a' + 10;
  return -1;
}

// A time field read as an integer: leading blanks, an optional sign, then
// decimal digits or a hexadecimal number after "$", "x", "X", "0x" or "0X",
// running to the end of the field or to a zero byte. Keeps the low 16 bits.
std::uint16_t ParseTimeField(std::string_view field) {
  // Nearly every field is plain decimal digits; this loop reads them without
  // the general path's zero-byte search and prefix checks, which made the
  // whole rewriting 30% slower.
  std::uint32_t plain = 0;
  bool allDigits = !field.empty();
  for (const char c : field) {
    if (c < '0' || c > '9') {
      allDigits = false;
      break;
    }
    plain = plain * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (allDigits) return static_cast<std::uint16_t>(plain);

  const std::string_view digits = field.substr(0, field.find('\0'));
  std::size_t i = 0;
  while (i < digits.size() && digits[i] == ' ') ++i;
  const bool negative = i < digits.size() && digits[i] == '-';
  if (i < digits.size() && (digits[i] == '-' || digits[i] == '+')) ++i;
  int base = 10;
  if (i < digits.size() && (digits[i] == '$' || digits[i] == 'x' || digits[i] == 'X')) {
    base = 16;
    i += 1;
  } else if (i + 1 < digits.size() && digits[i] == '0' && (digits[i + 1] | 0x20) == 'x') {
    base = 16;
    i += 2;
  }
  std::uint32_t value = 0;
  bool valid = i < digits.size();
  for (; valid && i < digits.size(); ++i) {
    const int digit = DigitValue(static_cast<unsigned char>(digits[i]), base);
    if (digit < 0) {
      valid = false;
    } else {
      value = value * static_cast<std::uint32_t>(base) + static_cast<std::uint32_t>(digit);
    }
  }
  if (!valid) Raise("EConvertError", "'" + std::string(field) + "' is not a valid integer value");
  return static_cast<std::uint16_t>(negative ? 0u - value : value);
}

}  // namespace

std::string_view ExtractSection(std::string_view text, std::string_view openMarker,
                                std::string_view closeMarker) {
  const Position first = SearchFromStart(text, openMarker, false);
  if (first == -1) return {};
  Position end = first;
  if (!CanOverlapItself(closeMarker, false)) {
    // Occurrences cannot overlap, so a chain of searches, each starting
    // just past the previous match, visits every one of them: the section
    // ends with the last occurrence, found faster from the end.
    const Position last = SearchLastText(text, closeMarker, first, false);
    if (last != -1) end = last + static_cast<Position>(closeMarker.size());
  } else {
    for (Position next; (next = SearchPastEnd(text, closeMarker, end, false)) != -1;) end = next;
  }
  return CopyRange(text, first, end - 1);
}

void RewriteProgrammeTimes(std::string_view section, std::string& programmeText,
                           const SpillText& spill) {
  // Start and stop values take turns: each start pairs with the next stop.
  static constexpr std::string_view kAttributes[] = {"start=\"", "stop=\""};
  const Position size = static_cast<Position>(section.size());
  Position pos = 1;
  for (std::size_t turn = 0;; turn ^= 1) {
    const Position valueStart = SearchPastEnd(section, kAttributes[turn], pos, false);
    if (valueStart == -1) {
      programmeText.append(CopyRange(section, pos, size));
      return;
    }
    programmeText.append(CopyRange(section, pos, valueStart - 1));
    const Position closingQuote = SearchFrom(section, "\"", valueStart);
    if (closingQuote == -1) {
      const std::string_view rest = CopyRange(section, valueStart, size);
      Raise("EConvertError", "Listing time '" + std::string(rest.substr(0, 40)) +
                                 (rest.size() > 40 ? "..." : "") + "' has no closing quote");
    }
    programmeText.append(
        ConvertListingTime(CopyRange(section, valueStart, closingQuote - 1)).View());
    pos = closingQuote;  // the quote goes out with the next stretch
    if (spill && programmeText.size() >= kChunkSize) spill(programmeText);
  }
}

ListingTime ConvertListingTime(std::string_view value) {
  // A field whose first byte lies inside the value is read from the bytes
  // that do; the minute field must at least begin.
  if (value.size() < 11) {
    Raise("EConvertError", "'" + std::string(value) + "' is not a valid listing time");
  }
  CalendarTime time{};
  time.year = ParseTimeField(CopyRange(value, 1, 4));
  time.month = ParseTimeField(CopyRange(value, 5, 6));
  time.day = ParseTimeField(CopyRange(value, 7, 8));
  time.hour = ParseTimeField(CopyRange(value, 9, 10));
  time.minute = ParseTimeField(CopyRange(value, 11, 12));
  // Seconds must parse, though the result always carries "00".
  if (value.size() > 12) time.second = ParseTimeField(CopyRange(value, 13, 14));
  return FormatListingTime(time, true);
}

int RunLindqvar(std::span<const std::string_view> args) {
  int status = 1;
  try {
    status = JoinListings(args);
  } catch (const Failure& failure) {
    ReportFailure(failure);
    return 1;
  } catch (const std::bad_alloc&) {
    ReportFailure(Failure{"EOutOfMemory", "Out of memory", nullptr});
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
