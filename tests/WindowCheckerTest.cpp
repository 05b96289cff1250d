// The hand-over of windows to the checker's thread, through which the
// first pass's checks and the shaped copy's filter run.
#include "WindowChecker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "SpinWait.h"

namespace lindqvar {
namespace {

struct Stop {};

// Busy for up to about 300 microseconds: the two threads then meet both
// while the other still looks and after it has gone to sleep.
void Dawdle(std::mt19937& random) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(random() % 300);
  while (std::chrono::steady_clock::now() < until) {
  }
}

// Windows of random sizes, with each thread taking its time at random, some
// rounds with a thread at work beside (so that nobody looks, only sleeps),
// and some with work that throws: every window's work sees the bytes of its
// own window, in order, and a throw comes back to the walk, with no work
// after it.
TEST(WindowChecker, EveryWindowItsOwnBytesInOrderAndFailuresComeBack) {
  std::string text(300000, '\0');
  std::mt19937 fillWith(3);
  for (char& c : text) c = static_cast<char>('a' + fillWith() % 26);
  for (int round = 0; round < 24; ++round) {
    std::mt19937 random(round);
    std::optional<WorkingBeside> beside;
    if (round % 3 == 2) beside.emplace();
    std::vector<char> buffer(2 * (kWindowOverlap + 1 + std::size_t{random() % 40000}));
    std::size_t given = 0;
    const auto fill = [&](char* bytes, std::size_t size) {
      Dawdle(random);
      const std::size_t piece = std::min({size, text.size() - given, std::size_t{1} + random() % 30000});
      std::copy_n(text.data() + given, piece, bytes);
      given += piece;
      return piece;
    };
    const int windowThatThrows = round % 4 == 1 ? static_cast<int>(random() % 10) : -1;
    std::mt19937 checkerRandom(round + 100);
    WindowChecker checker;
    std::uint64_t checkedUpTo = 0;
    int windows = 0;
    bool stopped = false;
    try {
      WalkWindowsChecked(buffer, checker, fill, [&](Window window, bool first) {
        const int number = windows++;
        checker.Check(
            [&, window, number] {
              Dawdle(checkerRandom);
              ASSERT_TRUE(window.bytes == std::string_view(text).substr(window.offset,
                                                                        window.bytes.size()))
                  << round;
              ASSERT_LE(window.offset, checkedUpTo);
              checkedUpTo = window.End();
              if (number == windowThatThrows) throw Stop();
            },
            first);
      });
    } catch (const Stop&) {
      stopped = true;
    }
    const bool shouldStop = windowThatThrows >= 0 && windowThatThrows < windows;
    EXPECT_EQ(stopped, shouldStop) << round;
    if (!shouldStop) {
      EXPECT_EQ(checkedUpTo, text.size()) << round;
    }
  }
}

}  // namespace
}  // namespace lindqvar
