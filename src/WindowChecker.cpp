#include "WindowChecker.h"

#include <system_error>
#include <utility>

#include "Console.h"
#include "SpinWait.h"

namespace lindqvar {

WindowChecker::~WindowChecker() {
  if (!thread_.joinable()) return;
  {
    const std::lock_guard hold(lock_);
    stopping_ = true;
  }
  work_.notify_one();
  thread_.join();
}

void WindowChecker::Check(std::function<void()> work, bool firstOfInput) {
  if (firstOfInput || noThread_) {
    Drain();
    work();
    return;
  }
  std::unique_lock hold(lock_);
  if (!thread_.joinable()) {
    // Where no thread can be had (memory or a process limit), the work is
    // done here, between the reads.
    try {
      thread_ = StartWorkerThread([this] { Work(); });
    } catch (const std::system_error&) {
      noThread_ = true;
      hold.unlock();
      work();
      return;
    }
  }
  WaitForJob(hold);
  job_.emplace(std::move(work));
  hasJob_.store(true, std::memory_order_release);
  hold.unlock();
  work_.notify_one();
}

void WindowChecker::Drain() {
  std::unique_lock hold(lock_);
  WaitForJob(hold);
}

void WindowChecker::WaitForJob(std::unique_lock<std::mutex>& hold) {
  if (job_) {
    hold.unlock();
    SpinUntil([&] { return !hasJob_.load(std::memory_order_acquire); });
    hold.lock();
  }
  done_.wait(hold, [&] { return !job_; });
  if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
}

void WindowChecker::Work() {
  std::unique_lock hold(lock_);
  for (;;) {
    if (!job_ && !stopping_) {
      hold.unlock();
      SpinUntil([&] { return hasJob_.load(std::memory_order_acquire); });
      hold.lock();
    }
    work_.wait(hold, [&] { return stopping_ || job_; });
    if (!job_) return;
    hold.unlock();
    std::exception_ptr failure;
    try {
      (*job_)();
    } catch (...) {
      failure = std::current_exception();
    }
    hold.lock();
    failure_ = failure;
    job_.reset();
    hasJob_.store(false, std::memory_order_release);
    done_.notify_all();
  }
}

}  // namespace lindqvar
