#include "Gzip.h"

#include <zlib.h>

#include <algorithm>
#include <initializer_list>
#include <new>
#include <system_error>
#include <utility>

#include "Console.h"
#include "SpinWait.h"

namespace lindqvar {

namespace {

bool StartsWith(std::string_view bytes, std::initializer_list<unsigned char> magic) {
  return bytes.size() >= magic.size() &&
         std::equal(magic.begin(), magic.end(), bytes.begin(),
                    [](unsigned char m, char b) { return m == static_cast<unsigned char>(b); });
}

// The document is compressed in blocks of this size, each primed with the
// window of bytes before it, so that it compresses nearly as well as in one
// piece.
constexpr std::size_t kBlockSize = std::size_t{128} << 10;
constexpr std::size_t kWindowSize = std::size_t{32} << 10;
constexpr int kLevel = 6;

void PutLittleEndian(std::string& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

}  // namespace

Compression CompressionOf(std::string_view firstBytes) {
  if (StartsWith(firstBytes, {0x1F, 0x8B})) return Compression::Gzip;
  if (StartsWith(firstBytes, {0xFD, '7', 'z', 'X', 'Z', 0x00})) return Compression::Xz;
  if (StartsWith(firstBytes, {0x28, 0xB5, 0x2F, 0xFD})) return Compression::Zstd;
  // "BZh", the block size, and the magic of a block: plain text may well
  // begin with "BZh".
  if (firstBytes.size() >= 10 && StartsWith(firstBytes, {'B', 'Z', 'h'}) && firstBytes[3] >= '1' &&
      firstBytes[3] <= '9' &&
      StartsWith(firstBytes.substr(4), {0x31, 0x41, 0x59, 0x26, 0x53, 0x59})) {
    return Compression::Bzip2;
  }
  for (const unsigned char kind : {0x03, 0x05, 0x07}) {
    if (StartsWith(firstBytes, {'P', 'K', kind, static_cast<unsigned char>(kind + 1)})) {
      return Compression::Zip;
    }
  }
  return Compression::None;
}

std::string_view CompressionName(Compression compression) {
  switch (compression) {
    case Compression::Gzip:
      return "gzip";
    case Compression::Xz:
      return "xz";
    case Compression::Zstd:
      return "zstd";
    case Compression::Bzip2:
      return "bzip2";
    case Compression::Zip:
      return "zip";
    case Compression::None:
      break;
  }
  return {};
}

struct GzipWriter::Block {
  std::string input;
  std::string dictionary;  // the window of document bytes before the block
  std::string output;
  std::uint32_t crc = 0;
  bool last = false;
  enum State { Waiting, Compressing, Compressed } state = Waiting;
  bool ok = true;
};

// A deflate stream of one thread's own, for raw deflate blocks.
struct GzipWriter::Compressor {
  z_stream z{};

  Compressor() {
    if (deflateInit2(&z, kLevel, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
      throw std::bad_alloc();
    }
  }
  ~Compressor() { deflateEnd(&z); }
  Compressor(const Compressor&) = delete;
  Compressor& operator=(const Compressor&) = delete;

  // Compresses the block into raw deflate data that the next block's data
  // can follow: ended by a sync flush, or for the last block a final block.
  bool Compress(Block& block) {
    block.crc =
        static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(block.input.data()),
                                         static_cast<uInt>(block.input.size())));
    if (deflateReset(&z) != Z_OK) return false;
    if (!block.dictionary.empty() &&
        deflateSetDictionary(&z, reinterpret_cast<const Bytef*>(block.dictionary.data()),
                             static_cast<uInt>(block.dictionary.size())) != Z_OK) {
      return false;
    }
    block.output.resize(deflateBound(&z, static_cast<uLong>(block.input.size())) + 64);
    z.next_in = reinterpret_cast<Bytef*>(block.input.data());
    z.avail_in = static_cast<uInt>(block.input.size());
    z.next_out = reinterpret_cast<Bytef*>(block.output.data());
    z.avail_out = static_cast<uInt>(block.output.size());
    // The bound leaves room for all of it, the sync flush's few bytes
    // included, so one call does it.
    const int flush = block.last ? Z_FINISH : Z_SYNC_FLUSH;
    const int status = deflate(&z, flush);
    const bool done =
        block.last ? status == Z_STREAM_END : status == Z_OK && z.avail_in == 0 && z.avail_out > 0;
    block.output.erase(block.output.size() - z.avail_out);
    return done;
  }
};

GzipWriter::GzipWriter(std::function<void(std::string_view)> write, unsigned threads)
    : write_(std::move(write)),
      filling_(std::make_unique<Block>()),
      crc_(static_cast<std::uint32_t>(crc32(0, nullptr, 0))),
      maxInFlight_(2 * std::size_t{std::max(threads, 1u)} + 2) {
  // No name, modification time 0, no extra flags, operating system
  // "unknown": the same bytes wherever they are made.
  write_(std::string_view("\x1F\x8B\x08\x00\x00\x00\x00\x00\x00\xFF", 10));
  filling_->input.reserve(kBlockSize);
  // Threads that cannot be had leave their blocks to the thread that
  // writes, which compresses whatever waits.
  workers_.reserve(std::max(threads, 1u));
  try {
    for (unsigned i = 0; i < std::max(threads, 1u); ++i) {
      workers_.push_back(StartWorkerThread([this] { Work(); }));
    }
  } catch (const std::system_error&) {
  }
}

GzipWriter::~GzipWriter() {
  {
    const std::lock_guard hold(lock_);
    stopping_ = true;
  }
  changed_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

void GzipWriter::Write(std::string_view bytes) {
  while (!bytes.empty()) {
    const std::size_t take = std::min(kBlockSize - filling_->input.size(), bytes.size());
    filling_->input.append(bytes.substr(0, take));
    bytes.remove_prefix(take);
    if (filling_->input.size() == kBlockSize) Submit(false);
  }
}

void GzipWriter::Finish() {
  Submit(true);
  WriteFinishedBlocks(0);
  std::string trailer;
  PutLittleEndian(trailer, crc_);
  PutLittleEndian(trailer, static_cast<std::uint32_t>(size_));  // the size modulo 2^32
  write_(trailer);
}

void GzipWriter::Submit(bool last) {
  std::unique_ptr<Block> block = std::exchange(filling_, std::make_unique<Block>());
  filling_->input.reserve(kBlockSize);
  block->last = last;
  block->dictionary = window_;
  window_ += block->input;
  if (window_.size() > kWindowSize) window_.erase(0, window_.size() - kWindowSize);
  size_ += block->input.size();
  {
    const std::lock_guard hold(lock_);
    inFlight_.push_back(std::move(block));
  }
  changed_.notify_one();
  WriteFinishedBlocks(maxInFlight_);
}

// Writes the compressed blocks at the front, in order, until no more than
// keepInFlight are left; while the oldest is not ready, this thread
// compresses a waiting block itself rather than sit idle.
void GzipWriter::WriteFinishedBlocks(std::size_t keepInFlight) {
  std::unique_ptr<Compressor> own;
  std::unique_lock hold(lock_);
  for (;;) {
    if (failed_) throw std::bad_alloc();
    if (!inFlight_.empty() && inFlight_.front()->state == Block::Compressed) {
      std::unique_ptr<Block> block = std::move(inFlight_.front());
      inFlight_.pop_front();
      hold.unlock();
      crc_ = static_cast<std::uint32_t>(
          crc32_combine(crc_, block->crc, static_cast<z_off_t>(block->input.size())));
      write_(block->output);
      hold.lock();
      continue;
    }
    if (inFlight_.size() <= keepInFlight) return;
    const auto waiting = std::find_if(inFlight_.begin(), inFlight_.end(), [](const auto& block) {
      return block->state == Block::Waiting;
    });
    if (waiting == inFlight_.end()) {
      changed_.wait(hold);
      continue;
    }
    Block& block = **waiting;
    block.state = Block::Compressing;
    hold.unlock();
    if (!own) own = std::make_unique<Compressor>();
    const bool ok = own->Compress(block);
    hold.lock();
    block.state = Block::Compressed;
    failed_ = failed_ || !ok;
  }
}

void GzipWriter::Work() {
  const WorkingBeside counted;
  std::unique_ptr<Compressor> compressor;
  std::unique_lock hold(lock_);
  for (;;) {
    std::deque<std::unique_ptr<Block>>::iterator waiting;
    changed_.wait(hold, [&] {
      waiting = std::find_if(inFlight_.begin(), inFlight_.end(),
                             [](const auto& block) { return block->state == Block::Waiting; });
      return stopping_ || waiting != inFlight_.end();
    });
    if (stopping_) return;
    Block& block = **waiting;
    block.state = Block::Compressing;
    hold.unlock();
    bool ok = false;
    try {
      if (!compressor) compressor = std::make_unique<Compressor>();
      ok = compressor->Compress(block);
    } catch (const std::bad_alloc&) {
    }
    hold.lock();
    block.state = Block::Compressed;
    failed_ = failed_ || !ok;
    changed_.notify_all();
  }
}

unsigned CompressionThreads() {
  return std::max(std::thread::hardware_concurrency(), 1u);
}

}  // namespace lindqvar
