// Compressed listings: what an input's first bytes say it is compressed
// with, gzip data read as it comes, and a document written gzip-compressed
// on every core. Knows nothing of listings or files: bytes come from and go
// to the caller's functions.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace lindqvar {

enum class Compression { None, Gzip, Xz, Zstd, Bzip2, Zip };

// The longest magic number CompressionOf looks at: bzip2's, with the magic
// of its first block.
inline constexpr std::size_t kMagicBytes = 10;

// The compression the first bytes of a file are the magic number of; None
// for anything else, such as a listing.
Compression CompressionOf(std::string_view firstBytes);

// "gzip", "xz", "zstd", "bzip2" or "zip"; empty for None.
std::string_view CompressionName(Compression compression);

// Reads up to size bytes into bytes; 0 at the end.
using ReadBytes = std::function<std::size_t(char* bytes, std::size_t size)>;

// Thrown for gzip data that is truncated, fails its check values, or is
// followed by bytes that are neither another gzip member nor zeros to its
// end (the padding of tapes and blocks, which gzip ignores).
struct DamagedData {};

// Decompresses gzip data as it is read, one member after another, as zcat
// does. Memory stays the same whatever the size of the data. The members'
// headers and trailers are read here; the deflate data between them goes
// to an inflater, zlib's or, where the build has it, ISA-L's, which give
// the same bytes and the same verdict.
class GzipReader {
 public:
  enum class Inflater { kZlib, kIsal };

  // Whether the build has ISA-L's inflater; the fastest there is.
  static bool HasIsal();
  static Inflater Fastest() { return HasIsal() ? Inflater::kIsal : Inflater::kZlib; }

  explicit GzipReader(ReadBytes readCompressed, Inflater inflater = Fastest());
  ~GzipReader();
  GzipReader(const GzipReader&) = delete;
  GzipReader& operator=(const GzipReader&) = delete;

  // Up to size decompressed bytes; 0 at the end of the data. Throws
  // DamagedData.
  std::size_t Read(char* bytes, std::size_t size);

  struct Engine;  // an inflater of raw deflate data

 private:
  enum class State { kHeader, kDeflate, kTrailer, kBetween, kPadding, kEnded };

  bool Refill();
  int NextByte();
  void ReadHeader();
  void ReadTrailer();

  std::unique_ptr<Engine> engine_;
  ReadBytes readCompressed_;
  std::vector<unsigned char> compressed_;
  const unsigned char* in_ = nullptr;  // the compressed bytes not yet taken
  std::size_t inLeft_ = 0;
  bool inputEnded_ = false;
  State state_ = State::kHeader;
  std::uint32_t crc_ = 0;   // of the member's bytes so far
  std::uint32_t size_ = 0;  // and their number, modulo 2^32
};

// Writes a document as one gzip member, compressed at level 6 in blocks of
// 128 KiB, each primed with the 32 KiB before it, on several threads at
// once (as pigz does); the bytes are the same whatever the number of
// threads. The header carries no name and no time.
class GzipWriter {
 public:
  // Compressed bytes go to write, in order, from the thread that calls
  // Write and Finish.
  GzipWriter(std::function<void(std::string_view)> write, unsigned threads);
  ~GzipWriter();
  GzipWriter(const GzipWriter&) = delete;
  GzipWriter& operator=(const GzipWriter&) = delete;

  void Write(std::string_view bytes);

  // Writes the rest and the trailer. Nothing may be written after it.
  void Finish();

 private:
  struct Block;
  struct Compressor;

  void Submit(bool last);
  void WriteFinishedBlocks(std::size_t keepInFlight);
  void Work();

  std::function<void(std::string_view)> write_;
  std::unique_ptr<Block> filling_;
  std::string window_;  // the last 32 KiB of the document before the block being filled
  std::uint32_t crc_;
  std::uint64_t size_ = 0;
  std::size_t maxInFlight_;

  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<std::unique_ptr<Block>> inFlight_;  // in document order
  bool stopping_ = false;
  bool failed_ = false;
  std::vector<std::thread> workers_;
};

// The threads a GzipWriter uses here: one per core.
unsigned CompressionThreads();

}  // namespace lindqvar
