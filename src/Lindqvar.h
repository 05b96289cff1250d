// The joining driver: walks the command line, finds the channel and
// programme sections of every input, checks the programme times of inputs
// marked with "-t", and writes the joined document.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ElementFilter.h"
#include "Failure.h"
#include "ListingChecks.h"
#include "ProgrammeTimes.h"
#include "Sections.h"

namespace lindqvar {

// The first pass over one listing, a window at a time: finds its channel
// and programme sections and, with checkTimes, converts every programme
// time, so that a bad one is known before the output is made.
//
// Where the programme section ends (just past its last closing marker) is
// known only after the last window, so the times are converted on to the
// end of the input, and the rewriter's state is kept at each closing
// marker: its state at the last one is the outcome for the section.
struct ListingScan {
  SectionScan channels{"<channel", "</channel>"};
  SectionScan programmes{"<programme", "</programme>"};
  ListingChecks checks;
  ElementFilter* elements = nullptr;  // what looks at the input's elements, with the checks
  bool checksApart = false;           // the caller runs the checks itself
  bool checkTimes = false;
  bool timesStarted = false;
  TimeRewriter times;
  std::optional<Failure> timesFailure;
  TimeRewriter timesAtSectionEnd;
  std::optional<Failure> timesFailureAtSectionEnd;

  // Windows must come in order, each overlapping the one before as
  // WalkWindows makes them.
  void Scan(Window window);

  // After the last window: what converting the programme section's times
  // raised, if anything.
  std::optional<Failure> TimesFailure() const;
};

// The whole run over the arguments (the program name first): returns the
// exit status, writing the failure report itself when the run fails.
int RunLindqvar(const std::vector<std::string>& args);

}  // namespace lindqvar
