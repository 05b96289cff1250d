#include "Failure.h"

#include <utility>

namespace lindqvar {

[[gnu::noinline]] void Raise(const char* kind, std::string message) {
  throw Failure{kind, std::move(message), __builtin_return_address(0)};
}

}  // namespace lindqvar
