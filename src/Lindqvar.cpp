#include "Lindqvar.h"

#include <deque>
#include <new>
#include <vector>

#include "Failure.h"
#include "Platform.h"
#include "StringUtils.h"

namespace lindqvar {

namespace {

// The joined document in the making. Sections stay views into the texts
// that hold them, so no byte is copied before it is written out: an input
// whose sections fill most of it is kept whole, any other input leaves its
// sections (rewritten where asked) in a text of their own.
struct JoinedListing {
  std::vector<std::string_view> ChannelText;
  std::vector<std::string_view> ProgrammeText;
  std::vector<InputText> keptInputs;
  std::deque<std::string> ownSections;  // a deque never moves what it holds
};

// Argument index of argv, the empty text past the last one.
std::string Argument(std::span<const std::string_view> args, std::size_t index) {
  return index < args.size() ? std::string(args[index]) : std::string();
}

void AddInput(JoinedListing& listing, InputText input, bool rewriteTimes) {
  const std::string_view text = input.View();
  const std::string_view channels = ExtractSection(text, "<channel", "</channel>");
  const std::string_view programmes = ExtractSection(text, "<programme", "</programme>");

  if (!rewriteTimes && channels.size() + programmes.size() >= text.size() / 2) {
    listing.ChannelText.push_back(channels);
    listing.ProgrammeText.push_back(programmes);
    listing.keptInputs.push_back(std::move(input));
    return;
  }
  std::string& own = listing.ownSections.emplace_back();
  // Rewritten times can be two bytes longer than the originals; room for
  // that up front keeps the text from being copied while it grows.
  own.reserve(channels.size() + programmes.size() + programmes.size() / 8 + 64);
  own.append(channels);
  if (rewriteTimes) {
    RewriteProgrammeTimes(programmes, own);
  } else {
    own.append(programmes);
  }
  const std::string_view both(own);
  listing.ChannelText.push_back(both.substr(0, channels.size()));
  listing.ProgrammeText.push_back(both.substr(channels.size()));
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
  std::vector<std::string_view> document;
  document.reserve(listing.ChannelText.size() + listing.ProgrammeText.size() + 2);
  document.push_back(ListingHeader);
  document.insert(document.end(), listing.ChannelText.begin(), listing.ChannelText.end());
  document.insert(document.end(), listing.ProgrammeText.begin(), listing.ProgrammeText.end());
  document.push_back(ListingFooter);
  if (!WriteOutputSafely(outputName, document)) {
    PrintLine("Couldn't create output file " + outputName);
    return 1;
  }
  PrintLine("xml written to \"" + outputName + "\" sucessfully");
  return 0;
}

}  // namespace

std::string_view ExtractSection(std::string_view text, std::string_view openMarker,
                                std::string_view closeMarker) {
  const Position first = SearchFromStart(text, openMarker, false);
  if (first == -1) return {};
  Position end = first;
  for (Position next; (next = SearchPastEnd(text, closeMarker, end, false)) != -1;) end = next;
  return CopyRange(text, first, end - 1);
}

void RewriteProgrammeTimes(std::string_view section, std::string& programmeText) {
  programmeText.append(section);
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
