// Failures of a run: each carries the kind name and message that the
// top-level failure report prints, and the address of the code that raised it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace lindqvar {

struct Failure {
  const char* kind;  // "Exception", "EConvertError", "EFOpenError", ...
  std::string message;
  const void* raisedAt;  // return address inside the raising function
};

// Throws a Failure that records where it was raised from. Never inlined, so
// that its return address lies in the code that decided to fail.
[[noreturn]] void Raise(const char* kind, std::string message);

// The report's text: "Exception %s in module %s at %p.\r\n%s%s\r\n", the
// offset in eight or more upper-case hex digits and a full stop added to a
// message without one, cut at 1023 bytes, then one more CR LF.
std::string FailureReport(const Failure& failure, std::string_view module, std::uintptr_t offset);

}  // namespace lindqvar
