#include "InputFile.h"

#include <utility>

namespace lindqvar {

InputFile::InputFile(InputFile&& other) noexcept
    : name(std::move(other.name)),
      handle(std::exchange(other.handle, kNoHandle)),
      regular(other.regular),
      seekable(other.seekable),
      stamp(other.stamp) {}

InputFile& InputFile::operator=(InputFile&& other) noexcept {
  if (this != &other) {
    CloseInput(*this);
    name = std::move(other.name);
    handle = std::exchange(other.handle, kNoHandle);
    regular = other.regular;
    seekable = other.seekable;
    stamp = other.stamp;
  }
  return *this;
}

InputFile::~InputFile() {
  CloseInput(*this);
}

}  // namespace lindqvar
