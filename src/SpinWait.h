// Waiting on another thread that is about to hand something over: looking
// again and again for a moment before going to sleep. On a virtual machine
// waking a sleeping thread takes tens of microseconds on each side, and a
// hand-over a window at a time pays that twice a window; a thread that is
// still looking when the other is done needs no waking at all. Looking
// only pays while each thread has a core of its own: where an inflater or
// a compressor works beside the two, it would take their time.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64)
#include <immintrin.h>
#endif

namespace lindqvar {

// How long a thread looks before it sleeps: a window's work, about.
inline constexpr std::chrono::microseconds kSpinTime{200};

// The threads at work beside the two of a hand-over.
inline std::atomic<unsigned> threadsBeside{0};

// Counts the thread that holds it among those beside, while it works.
struct WorkingBeside {
  WorkingBeside() { threadsBeside.fetch_add(1, std::memory_order_relaxed); }
  ~WorkingBeside() { threadsBeside.fetch_sub(1, std::memory_order_relaxed); }
  WorkingBeside(const WorkingBeside&) = delete;
  WorkingBeside& operator=(const WorkingBeside&) = delete;
};

// True once ready() is, false when kSpinTime passed first, or at once when
// the cores are too few for the threads at work.
template <typename Ready>
bool SpinUntil(Ready&& ready) {
  static const unsigned cores = std::thread::hardware_concurrency();
  if (2 + threadsBeside.load(std::memory_order_relaxed) > cores) return ready();
  const auto until = std::chrono::steady_clock::now() + kSpinTime;
  for (unsigned round = 1;; ++round) {
    if (ready()) return true;
#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64)
    _mm_pause();
#endif
    if (round % 64 == 0 && std::chrono::steady_clock::now() >= until) return false;
  }
}

}  // namespace lindqvar
