// Inputs as the run reads them. A file is opened in the first pass, read
// through a buffer, and read again by offset in the second pass; whatever
// cannot be read twice (a pipe, a terminal, a file whose size the system
// does not know) is read once, as a stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace lindqvar {

// What tells whether a file is still the one first read: its identity,
// size and times.
struct InputStamp {
  std::uint64_t device = 0;
  std::uint64_t file = 0;
  std::uint64_t size = 0;
  std::int64_t modified = 0;  // nanoseconds
  std::int64_t changed = 0;

  bool operator==(const InputStamp&) const = default;
};

inline constexpr std::intptr_t kNoHandle = -1;

struct InputFile {
  std::string name;                  // as given, for reopening
  std::intptr_t handle = kNoHandle;  // closed while set aside
  bool regular = false;              // a file, checked for change, whatever its size
  bool seekable = false;             // a file of known size, read by offset, and twice
  InputStamp stamp;                  // as first opened; size is the bytes to read

  InputFile() = default;
  InputFile(InputFile&& other) noexcept;
  InputFile& operator=(InputFile&& other) noexcept;
  ~InputFile();
};

// Closes the input's handle, if it is open.
void CloseInput(InputFile& input);

// True when name is an existing input that is not a directory.
bool InputExists(const std::string& name);

// Opens name for reading. Raises EFOpenError when it cannot.
InputFile OpenInput(const std::string& name);

// Reads up to size bytes at offset of a seekable input, reopening it by
// name first when it was set aside. Fewer bytes come back only at its end,
// or none when a reopened file is no longer the one first read. Raises
// EInOutError when a read fails.
std::size_t ReadInputAt(InputFile& input, std::uint64_t offset, char* bytes, std::size_t size);

// Reads the next bytes of a stream, or of a file from its start on; 0 at
// its end. Raises EInOutError.
std::size_t ReadInputStream(InputFile& input, char* bytes, std::size_t size);

// Whether the input is still, in identity, size and times, as first opened;
// true for a stream, which has none of them.
bool InputUnchanged(InputFile& input);

// The input is not needed until the second pass: its handle is closed when
// so many are open that later inputs could not be, and reopened by name
// when it is read again.
void SetInputAside(InputFile& input);

}  // namespace lindqvar
