#include "Failure.h"

#include <cstdio>
#include <utility>

namespace lindqvar {

[[gnu::noinline]] void Raise(const char* kind, std::string message) {
  throw Failure{kind, std::move(message), __builtin_return_address(0)};
}

std::string FailureReport(const Failure& failure, std::string_view module, std::uintptr_t offset) {
  char at[24];
  std::snprintf(at, sizeof at, "%08llX", static_cast<unsigned long long>(offset));
  std::string report = "Exception ";
  report.append(failure.kind).append(" in module ").append(module).append(" at ").append(at);
  report.append(".\r\n").append(failure.message);
  if (!failure.message.empty() && failure.message.back() != '.') report += '.';
  report += "\r\n";
  if (report.size() > 1023) report.resize(1023);
  return report + "\r\n";
}

}  // namespace lindqvar
