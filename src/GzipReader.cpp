// Reading gzip data (RFC 1952): the members' headers and trailers here, the
// same for every inflater, and the deflate data (RFC 1951) through zlib or
// ISA-L. Each member's check value and length are checked; a member cut
// short, bytes after the last member other than zeros to the end, and
// deflate data either inflater refuses are damage.
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "Gzip.h"

#if defined(LINDQVAR_HAVE_ISAL)
#include <isa-l/igzip_lib.h>
#endif

namespace lindqvar {

namespace {

// Compressed bytes are read this many at a time, behind room for the few an
// inflater gives back at the end of a member.
constexpr std::size_t kCompressedChunk = std::size_t{256} << 10;
constexpr std::size_t kGiveBackRoom = 16;

// The header's flags.
constexpr int kHeaderCrc = 0x02;
constexpr int kExtra = 0x04;
constexpr int kName = 0x08;
constexpr int kComment = 0x10;
constexpr int kReserved = 0xE0;

}  // namespace

// Raw deflate data to bytes.
struct GzipReader::Engine {
  virtual ~Engine() = default;
  // A new member's deflate data begins.
  virtual void Reset() = 0;
  // Inflates from in into out, moving both along, and updates the check
  // value of what it wrote: true when the deflate data ended. Throws
  // DamagedData.
  virtual bool Inflate(const unsigned char*& in, std::size_t& inLeft, unsigned char*& out,
                       std::size_t& outLeft, std::uint32_t& crc) = 0;
  // Once the data ended, the bytes it took but did not use, the last ones
  // taken, into bytes (room for eight): how many there are.
  virtual std::size_t GiveBack(unsigned char* bytes) const = 0;
};

namespace {

class ZlibEngine final : public GzipReader::Engine {
 public:
  ZlibEngine() {
    if (inflateInit2(&z_, -MAX_WBITS) != Z_OK) throw std::bad_alloc();
  }
  ~ZlibEngine() override { inflateEnd(&z_); }

  void Reset() override { inflateReset(&z_); }

  bool Inflate(const unsigned char*& in, std::size_t& inLeft, unsigned char*& out,
               std::size_t& outLeft, std::uint32_t& crc) override {
    z_.next_in = const_cast<Bytef*>(in);
    z_.avail_in = static_cast<uInt>(std::min<std::size_t>(inLeft, 1u << 30));
    z_.next_out = out;
    z_.avail_out = static_cast<uInt>(std::min<std::size_t>(outLeft, 1u << 30));
    const uInt inBefore = z_.avail_in;
    const uInt outBefore = z_.avail_out;
    const int status = inflate(&z_, Z_NO_FLUSH);
    const std::size_t taken = inBefore - z_.avail_in;
    const std::size_t made = outBefore - z_.avail_out;
    crc = static_cast<std::uint32_t>(crc32(crc, out, static_cast<uInt>(made)));
    in += taken;
    inLeft -= taken;
    out += made;
    outLeft -= made;
    if (status == Z_STREAM_END) return true;
    if (status == Z_MEM_ERROR) throw std::bad_alloc();
    // Out of input or room is no fault; anything else is bad data.
    if (status != Z_OK && status != Z_BUF_ERROR) throw DamagedData();
    return false;
  }

  std::size_t GiveBack(unsigned char*) const override { return 0; }  // it takes none ahead

 private:
  z_stream z_{};
};

#if defined(LINDQVAR_HAVE_ISAL)
class IsalEngine final : public GzipReader::Engine {
 public:
  IsalEngine() { Reset(); }

  void Reset() override {
    isal_inflate_init(&state_);
    state_.crc_flag = ISAL_GZIP_NO_HDR;  // raw deflate data, with gzip's check value
  }

  bool Inflate(const unsigned char*& in, std::size_t& inLeft, unsigned char*& out,
               std::size_t& outLeft, std::uint32_t& crc) override {
    state_.next_in = const_cast<std::uint8_t*>(in);
    state_.avail_in = static_cast<std::uint32_t>(std::min<std::size_t>(inLeft, 1u << 30));
    state_.next_out = out;
    state_.avail_out = static_cast<std::uint32_t>(std::min<std::size_t>(outLeft, 1u << 30));
    const std::uint32_t inBefore = state_.avail_in;
    const std::uint32_t outBefore = state_.avail_out;
    // ISA-L keeps the check value of the whole member itself.
    state_.crc = crc;
    const int status = isal_inflate(&state_);
    if (status < 0) throw DamagedData();
    crc = state_.crc;
    const std::size_t taken = inBefore - state_.avail_in;
    const std::size_t made = outBefore - state_.avail_out;
    in += taken;
    inLeft -= taken;
    out += made;
    outLeft -= made;
    return state_.block_state == ISAL_BLOCK_FINISH;
  }

  // It reads ahead into a buffer of bits: past the rest of the byte the
  // data ends in, the whole bytes left there were taken from the input.
  std::size_t GiveBack(unsigned char* bytes) const override {
    const auto bits = static_cast<unsigned>(state_.read_in_length);
    const std::uint64_t ahead = bits % 8 == 0 ? state_.read_in : state_.read_in >> (bits % 8);
    for (unsigned i = 0; i < bits / 8; ++i) bytes[i] = static_cast<unsigned char>(ahead >> (8 * i));
    return bits / 8;
  }

 private:
  inflate_state state_{};
};
#endif

}  // namespace

bool GzipReader::HasIsal() {
#if defined(LINDQVAR_HAVE_ISAL)
  return true;
#else
  return false;
#endif
}

GzipReader::GzipReader(ReadBytes readCompressed, Inflater inflater)
    : readCompressed_(std::move(readCompressed)), compressed_(kGiveBackRoom + kCompressedChunk) {
#if defined(LINDQVAR_HAVE_ISAL)
  if (inflater == Inflater::kIsal) engine_ = std::make_unique<IsalEngine>();
#else
  static_cast<void>(inflater);
#endif
  if (!engine_) engine_ = std::make_unique<ZlibEngine>();
}

GzipReader::~GzipReader() = default;

// More compressed bytes, when there are more; false at their end.
bool GzipReader::Refill() {
  if (inLeft_ > 0) return true;
  if (inputEnded_) return false;
  unsigned char* const start = compressed_.data() + kGiveBackRoom;
  const std::size_t got = readCompressed_(reinterpret_cast<char*>(start), kCompressedChunk);
  inputEnded_ = got == 0;
  in_ = start;
  inLeft_ = got;
  return got > 0;
}

// The next compressed byte, or -1 at their end.
int GzipReader::NextByte() {
  if (!Refill()) return -1;
  --inLeft_;
  return *in_++;
}

void GzipReader::ReadHeader() {
  unsigned char fixed[10];
  for (unsigned char& byte : fixed) {
    const int next = NextByte();
    if (next < 0) throw DamagedData();
    byte = static_cast<unsigned char>(next);
  }
  const int flags = fixed[3];
  if (fixed[0] != 0x1F || fixed[1] != 0x8B || fixed[2] != 8 || (flags & kReserved)) {
    throw DamagedData();
  }
  // The header's own check value covers all of it.
  uLong headerCrc = crc32(0, fixed, sizeof fixed);
  const auto take = [&]() {
    const int next = NextByte();
    if (next < 0) throw DamagedData();
    const auto byte = static_cast<unsigned char>(next);
    headerCrc = crc32(headerCrc, &byte, 1);
    return byte;
  };
  if (flags & kExtra) {
    const unsigned low = take();
    const unsigned length = low | unsigned{take()} << 8;
    for (unsigned i = 0; i < length; ++i) take();
  }
  if (flags & kName) {
    while (take() != 0) {
    }
  }
  if (flags & kComment) {
    while (take() != 0) {
    }
  }
  if (flags & kHeaderCrc) {
    const std::uint32_t expected = static_cast<std::uint32_t>(headerCrc) & 0xFFFF;
    const int low = NextByte();
    const int high = NextByte();
    if (low < 0 || high < 0 || static_cast<std::uint32_t>(low | high << 8) != expected) {
      throw DamagedData();
    }
  }
  engine_->Reset();
  crc_ = 0;
  size_ = 0;
  state_ = State::kDeflate;
}

void GzipReader::ReadTrailer() {
  std::uint32_t fields[2] = {0, 0};
  for (std::uint32_t& field : fields) {
    for (int i = 0; i < 4; ++i) {
      const int next = NextByte();
      if (next < 0) throw DamagedData();
      field |= static_cast<std::uint32_t>(next) << (8 * i);
    }
  }
  if (fields[0] != crc_ || fields[1] != size_) throw DamagedData();
  state_ = State::kBetween;
}

std::size_t GzipReader::Read(char* bytes, std::size_t size) {
  auto* out = reinterpret_cast<unsigned char*>(bytes);
  std::size_t outLeft = size;
  while (outLeft > 0) {
    switch (state_) {
      case State::kHeader:
        ReadHeader();
        break;
      case State::kDeflate: {
        // At the input's end the inflater may still hold data to write.
        Refill();
        unsigned char* const from = out;
        const std::size_t inBefore = inLeft_;
        const bool ended = engine_->Inflate(in_, inLeft_, out, outLeft, crc_);
        size_ += static_cast<std::uint32_t>(out - from);
        if (ended) {
          // Bytes the inflater took past the data's end are the trailer's.
          unsigned char* const at = compressed_.data() + (in_ - compressed_.data());
          const std::size_t count = engine_->GiveBack(at - 8);
          std::memmove(at - count, at - 8, count);
          in_ = at - count;
          inLeft_ += count;
          state_ = State::kTrailer;
        } else if (out == from && inLeft_ == inBefore && (inputEnded_ || inLeft_ > 0)) {
          throw DamagedData();  // cut short, or stuck
        }
        break;
      }
      case State::kTrailer:
        ReadTrailer();
        break;
      case State::kBetween:
        // Another member, or zeros to the end (padding), or the end.
        if (!Refill()) {
          state_ = State::kEnded;
        } else {
          state_ = *in_ == 0 ? State::kPadding : State::kHeader;
        }
        break;
      case State::kPadding:
        if (!Refill()) {
          state_ = State::kEnded;
          break;
        }
        if (std::any_of(in_, in_ + inLeft_, [](unsigned char b) { return b != 0; })) {
          throw DamagedData();
        }
        in_ += inLeft_;
        inLeft_ = 0;
        break;
      case State::kEnded:
        return size - outLeft;
    }
  }
  return size;
}

}  // namespace lindqvar
