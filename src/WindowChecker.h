// Work on the windows of an input's first pass (the checks behind the
// warnings, the look at its elements) done on a thread of its own while
// the next window is read, a window at a time: on a machine with more than
// one core it then costs next to no time. The first window of an input is
// done at once, so that an input of one window (most small ones) never
// waits for the thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <utility>

#include "Sections.h"

namespace lindqvar {

class WindowChecker {
 public:
  WindowChecker() = default;
  ~WindowChecker();
  WindowChecker(const WindowChecker&) = delete;
  WindowChecker& operator=(const WindowChecker&) = delete;

  // Does work on a window; returns once the work of the window before it is
  // done. What that work threw is thrown here.
  void Check(std::function<void()> work, bool firstOfInput);

  // Waits until all work handed over is done.
  void Drain();

 private:
  void WaitForJob(std::unique_lock<std::mutex>& hold);
  void Work();

  std::mutex lock_;
  std::condition_variable work_;
  std::condition_variable done_;
  std::optional<std::function<void()>> job_;
  std::atomic<bool> hasJob_{false};  // job_ holds one; looked at without the lock while spinning
  std::exception_ptr failure_;
  bool stopping_ = false;
  bool noThread_ = false;
  std::thread thread_;
};

// Calls visit(window, first) with the windows of the bytes fill delivers,
// read into the two halves of buffer in turn, so that the work visit hands
// to checker still looks at one window while the next one is read; first
// is true for the first window. Nothing is left looking at the buffer when
// this ends, however it ends. Returns how many bytes there were.
template <typename Fill, typename Visit>
std::uint64_t WalkWindowsChecked(std::span<char> buffer, WindowChecker& checker, Fill&& fill,
                                 Visit&& visit) {
  struct Drained {
    WindowChecker& checker;
    ~Drained() {
      try {
        checker.Drain();
      } catch (...) {
      }
    }
  } drained{checker};
  bool first = true;
  const std::uint64_t size = WalkWindowsInTurn(
      buffer, fill, [&](Window window) { visit(window, std::exchange(first, false)); });
  checker.Drain();
  return size;
}

}  // namespace lindqvar
