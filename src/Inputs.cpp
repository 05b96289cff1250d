#include "Inputs.h"

#include <algorithm>
#include <cstring>
#include <system_error>

#include "Console.h"
#include "Failure.h"

namespace lindqvar {

void RaiseInputChanged() {
  Raise("EInOutError", "Input file changed while it was being read");
}

FirstBytes ReadFirstBytes(InputFile& file) {
  FirstBytes first;
  if (file.regular) {
    first.size = ReadInputAt(file, 0, first.bytes, sizeof first.bytes);
    return first;
  }
  first.takenFromStream = true;
  for (std::size_t got = 1; got != 0 && first.size < sizeof first.bytes; first.size += got) {
    got = ReadInputStream(file, first.bytes + first.size, sizeof first.bytes - first.size);
  }
  return first;
}

ReadBytes ReadFromStart(InputFile& file, const FirstBytes& first) {
  std::string again(first.takenFromStream ? first.View() : std::string_view());
  std::uint64_t offset = 0;
  return [&file, again = std::move(again), taken = std::size_t{0}, offset](
             char* bytes, std::size_t size) mutable -> std::size_t {
    if (taken < again.size()) {
      const std::size_t take = std::min(size, again.size() - taken);
      std::copy_n(again.data() + taken, take, bytes);
      taken += take;
      return take;
    }
    const std::size_t got =
        file.regular ? ReadInputAt(file, offset, bytes, size) : ReadInputStream(file, bytes, size);
    offset += got;
    return got;
  };
}

ReadBytes RawBytesAgain(ListingInput& input, Spool* spool) {
  std::uint64_t offset = 0;
  if (input.spooledAt) {
    return [&input, spool, offset](char* bytes, std::size_t size) mutable {
      const auto take =
          static_cast<std::size_t>(std::min<std::uint64_t>(size, input.spooledSize - offset));
      ReadSpoolAt(*spool, *input.spooledAt + offset, bytes, take);
      offset += take;
      return take;
    };
  }
  return [&input, offset](char* bytes, std::size_t size) mutable {
    const auto take =
        static_cast<std::size_t>(std::min<std::uint64_t>(size, input.file.stamp.size - offset));
    const std::size_t got = ReadInputAt(input.file, offset, bytes, take);
    offset += got;
    return got;
  };
}

namespace {

constexpr std::size_t kChunkSize = std::size_t{512} << 10;

}  // namespace

ReadAhead::ReadAhead(ReadBytes source) : source_(std::move(source)) {
  for (Chunk& chunk : chunks_) chunk.bytes.resize(kChunkSize);
  try {
    worker_ = StartWorkerThread([this] { Work(); });
  } catch (const std::system_error&) {
  }
}

ReadAhead::~ReadAhead() {
  if (!worker_.joinable()) return;
  {
    const std::lock_guard hold(lock_);
    stopping_ = true;
  }
  changed_.notify_all();
  worker_.join();
}

void ReadAhead::Work() {
  for (std::size_t filling = 0;; filling ^= 1) {
    Chunk& chunk = chunks_[filling];
    {
      std::unique_lock hold(lock_);
      changed_.wait(hold, [&] { return stopping_ || !chunk.full; });
      if (stopping_) return;
    }
    // The chunk is the worker's alone until it is handed over.
    chunk.size = chunk.taken = 0;
    try {
      while (chunk.size < chunk.bytes.size()) {
        const std::size_t got =
            source_(chunk.bytes.data() + chunk.size, chunk.bytes.size() - chunk.size);
        if (got == 0) {
          chunk.last = true;
          break;
        }
        chunk.size += got;
      }
    } catch (...) {
      chunk.failure = std::current_exception();
      chunk.last = true;
    }
    {
      const std::lock_guard hold(lock_);
      chunk.full = true;
    }
    changed_.notify_all();
    if (chunk.last) return;
  }
}

std::size_t ReadAhead::Read(char* bytes, std::size_t size) {
  if (!worker_.joinable()) return source_(bytes, size);
  for (;;) {
    Chunk& chunk = chunks_[reading_];
    {
      std::unique_lock hold(lock_);
      changed_.wait(hold, [&] { return chunk.full; });
    }
    if (chunk.taken < chunk.size) {
      const std::size_t take = std::min(size, chunk.size - chunk.taken);
      std::memcpy(bytes, chunk.bytes.data() + chunk.taken, take);
      chunk.taken += take;
      return take;
    }
    if (chunk.failure) std::rethrow_exception(chunk.failure);
    if (chunk.last) return 0;
    {
      const std::lock_guard hold(lock_);
      chunk.full = false;
    }
    changed_.notify_all();
    reading_ ^= 1;
  }
}

void SecondReading::Read(std::uint64_t offset, char* bytes, std::size_t size) {
  if (input_.compression != Compression::Gzip) {
    if (input_.spooledAt) {
      ReadSpoolAt(*spool_, *input_.spooledAt + offset, bytes, size);
    } else if (ReadInputAt(input_.file, offset, bytes, size) != size) {
      RaiseInputChanged();
    }
    return;
  }
  try {
    // Inflated again from the start, and on to offset.
    if (!gzip_ || offset < position_) {
      inflated_.reset();
      gzip_.emplace(RawBytesAgain(input_, spool_));
      inflated_.emplace([this](char* bytes, std::size_t size) { return gzip_->Read(bytes, size); });
      position_ = 0;
    }
    if (passed_.empty()) passed_.resize(std::size_t{256} << 10);
    while (position_ < offset) {
      const auto wanted =
          static_cast<std::size_t>(std::min<std::uint64_t>(passed_.size(), offset - position_));
      const std::size_t got = inflated_->Read(passed_.data(), wanted);
      if (got == 0) RaiseInputChanged();
      position_ += got;
    }
    for (std::size_t done = 0; done < size;) {
      const std::size_t got = inflated_->Read(bytes + done, size - done);
      if (got == 0) RaiseInputChanged();
      done += got;
      position_ += got;
    }
  } catch (const DamagedData&) {
    RaiseInputChanged();  // whole the first time
  }
}

}  // namespace lindqvar
