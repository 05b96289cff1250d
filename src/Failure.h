// Failures of a run: each carries the kind name and message that the
// top-level failure report prints, and the address of the code that raised it.
#pragma once

#include <string>

namespace lindqvar {

struct Failure {
  const char* kind;  // "Exception", "EConvertError", "EFOpenError", ...
  std::string message;
  const void* raisedAt;  // return address inside the raising function
};

// Throws a Failure that records where it was raised from. Never inlined, so
// that its return address lies in the code that decided to fail.
[[noreturn]] void Raise(const char* kind, std::string message);

}  // namespace lindqvar
