// Temporary files on POSIX systems: their short hidden names, and signals
// held while one is made or named.
#pragma once

#include <signal.h>
#include <sys/random.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>
#include <string>

namespace lindqvar {

// Holds back every signal that can be held while files in a directory and
// the program's record of them change together.
struct SignalsHeld {
  sigset_t before;
  SignalsHeld() {
    sigset_t all;
    sigfillset(&all);
    ::sigprocmask(SIG_BLOCK, &all, &before);
  }
  ~SignalsHeld() { ::sigprocmask(SIG_SETMASK, &before, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;
};

// prefix and eight random letters and digits: a short hidden name, the same
// length whatever the output is called.
inline std::string TemporaryName(const char* prefix) {
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char random[8];
  if (::getrandom(random, sizeof random, GRND_NONBLOCK) != sizeof random) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const auto seed = static_cast<std::uint64_t>(now.tv_nsec) * 2654435761u ^
                      static_cast<std::uint64_t>(now.tv_sec) ^
                      static_cast<std::uint64_t>(::getpid());
    for (std::size_t i = 0; i < sizeof random; ++i) {
      random[i] = static_cast<unsigned char>(seed >> (8 * i));
    }
  }
  std::string name = prefix;
  for (const unsigned char byte : random) name += kLetters[byte % (sizeof kLetters - 1)];
  return name;
}

}  // namespace lindqvar
