// Work on the windows of an input's first pass (the checks behind the
// warnings, the look at its elements) done on a thread of its own while
// the next window is read, a window at a time: on a machine with more than
// one core it then costs next to no time. The first window of an input is
// done at once, so that an input of one window (most small ones) never
// waits for the thread.
#pragma once

#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

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
  std::exception_ptr failure_;
  bool stopping_ = false;
  bool noThread_ = false;
  std::thread thread_;
};

}  // namespace lindqvar
