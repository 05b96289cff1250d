// The inputs as the run reads them twice: what the first pass learns of
// each, and its bytes again for the second, from the file itself, from the
// spool, or decompressed once more from either. Nothing decompressed is
// kept: a gzip file is read and inflated again, and a gzip stream is
// spooled as the compressed bytes it delivers.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "Gzip.h"
#include "InputFile.h"
#include "Sections.h"
#include "Spool.h"
#include "timezones.h"

namespace lindqvar {

// What the second pass needs of one input.
struct ListingInput {
  InputFile file;  // read again by offset when seekable; checked for change when regular
  std::optional<std::uint64_t> spooledAt;  // where its bytes, as read, begin in the spool, if there
  std::uint64_t spooledSize = 0;
  Range channels;  // offsets into the input as read (decompressed, for gzip data)
  Range programmes;
  bool rewriteTimes = false;
  const TimeZone* zone = nullptr;  // the zone of -t=ZONE
  Compression compression = Compression::None;
  Compression inside = Compression::None;  // what gzip data decompresses to, when compressed again
  std::vector<std::string> warnings;       // what its first pass noticed, to print
};

[[noreturn]] void RaiseInputChanged();

// An input's first bytes, as many as tell what it is compressed with: read
// at a file's start, which is read again from there, or taken from a
// stream, to be handed out again first.
struct FirstBytes {
  char bytes[kMagicBytes];
  std::size_t size = 0;
  bool takenFromStream = false;

  std::string_view View() const { return {bytes, size}; }
};
FirstBytes ReadFirstBytes(InputFile& file);

// The input read once, as it comes, from its start: a stream's first bytes
// again first.
ReadBytes ReadFromStart(InputFile& file, const FirstBytes& first);

// Bytes from source, read on a thread of their own a chunk ahead of the
// caller, so that inflating goes on while the caller scans or writes what
// came before. The chunks are the two halves of room, which the caller
// keeps for the run: memory first touched costs more than inflating into
// it again. What source throws is thrown to the caller where it came in the
// bytes. Where no thread can be had, source is read directly.
class ReadAhead {
 public:
  // Room for two chunks of a megabyte: a chunk read at a time keeps the
  // hand-overs between the threads few.
  static constexpr std::size_t kRoomSize = std::size_t{2} << 20;

  ReadAhead(ReadBytes source, std::span<char> room);
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // Up to size bytes; 0 at the end.
  std::size_t Read(char* bytes, std::size_t size) { return Take(bytes, size); }
  // Passes over up to size bytes: how many; 0 at the end.
  std::size_t Skip(std::uint64_t size) {
    return Take(nullptr, static_cast<std::size_t>(std::min<std::uint64_t>(size, SIZE_MAX)));
  }

 private:
  struct Chunk {
    std::span<char> bytes;
    std::size_t size = 0;   // filled
    std::size_t taken = 0;  // of them, by the caller
    bool full = false;      // handed to the caller
    bool last = false;      // the source ended, or failed, here
    std::exception_ptr failure;
  };

  void Work();
  // Copies the bytes taken to bytes, unless that is null.
  std::size_t Take(char* bytes, std::size_t size);
  void HandBack(Chunk& chunk);

  ReadBytes source_;
  Chunk chunks_[2];
  std::size_t reading_ = 0;  // the chunk the caller reads
  std::mutex lock_;
  std::condition_variable changed_;
  bool stopping_ = false;
  std::thread worker_;
};

// The bytes of an input as the first pass read them, from its start: from
// the file, or from the spool where they were kept.
ReadBytes RawBytesAgain(ListingInput& input, Spool* spool);

// The second reading of an input: its bytes, decompressed for gzip data, at
// offsets that mostly go forward. Anything other than what the first pass
// read (fewer bytes, damaged data) is a changed input.
class SecondReading {
 public:
  // Gzip data is inflated through room, of ReadAhead::kRoomSize bytes, on
  // a thread of its own, or, with no room, here, as it is read; and no
  // further than end, past which nothing is wanted.
  SecondReading(ListingInput& input, Spool* spool, std::span<char> room, std::uint64_t end)
      : input_(input), spool_(spool), room_(room), end_(end) {}

  // All size bytes at offset.
  void Read(std::uint64_t offset, char* bytes, std::size_t size);

 private:
  ListingInput& input_;
  Spool* spool_;
  std::span<char> room_;
  std::uint64_t end_;
  std::optional<GzipReader> gzip_;
  std::optional<ReadAhead> inflated_;  // what gzip_ delivers
  std::uint64_t position_ = 0;         // of the decompressed bytes inflated_ delivers next
};

}  // namespace lindqvar
