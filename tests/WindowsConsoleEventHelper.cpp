// Does to an output what Ctrl-C does to a run on Windows, for a test where
// Wine cannot send the event itself: writes OUTPUT and puts it in place,
// while another thread, DELAY microseconds after the start (or, for a
// DELAY below 0, once the output is in place), runs what the program's
// console event handler runs and then ends the process as the system does
// once the handlers are done.
//
//   WindowsConsoleEventHelper OUTPUT DELAY
#include "WindowsConsoleEventHelper.h"

#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

#include "OutputFile.h"
#include "win32/OutputCleanup.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  LARGE_INTEGER frequency;
  LARGE_INTEGER start;
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&start);
  const long long delay = std::atoll(argv[2]);
  std::atomic<bool> committed = false;
  std::thread event([&] {
    while (delay < 0 && !committed) ::Sleep(1);
    for (LARGE_INTEGER now;;) {
      ::QueryPerformanceCounter(&now);
      if ((now.QuadPart - start.QuadPart) * 1000000 / frequency.QuadPart >= delay) break;
    }
    lindqvar::RemovePendingTemporary();
    ::ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
  });
  const lindqvar::OpenedOutput output = lindqvar::OpenOutput(argv[1]);
  if (!output) return 3;
  const std::string block(1 << 20, 'x');
  for (std::uint64_t done = 0; done < lindqvar::kConsoleEventHelperBytes; done += block.size()) {
    lindqvar::WriteOutput(*output, block);
  }
  lindqvar::CommitOutput(*output);
  committed = true;
  event.join();  // the event ends the process
  return 4;
}
