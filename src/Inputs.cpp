#include "Inputs.h"

#include <algorithm>
#include <cstring>
#include <system_error>

#include "Console.h"
#include "Failure.h"
#include "SpinWait.h"

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

ReadAhead::ReadAhead(ReadBytes source, std::span<char> room) : source_(std::move(source)) {
  const std::size_t half = room.size() / 2;
  chunks_[0].bytes = room.first(half);
  chunks_[1].bytes = room.subspan(half, half);
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
  const WorkingBeside counted;
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

std::size_t ReadAhead::Take(char* bytes, std::size_t size) {
  if (!worker_.joinable()) {
    if (bytes) return source_(bytes, size);
    // Passed over through the first chunk's room.
    return source_(chunks_[0].bytes.data(), std::min(size, chunks_[0].bytes.size()));
  }
  for (;;) {
    Chunk& chunk = chunks_[reading_];
    {
      std::unique_lock hold(lock_);
      changed_.wait(hold, [&] { return chunk.full; });
    }
    if (chunk.taken < chunk.size) {
      const std::size_t take = std::min(size, chunk.size - chunk.taken);
      if (bytes) std::memcpy(bytes, chunk.bytes.data() + chunk.taken, take);
      chunk.taken += take;
      // Handed back as soon as it is taken, so that the worker has room to
      // go on while the caller works on what it took.
      if (chunk.taken == chunk.size && !chunk.last) HandBack(chunk);
      return take;
    }
    if (chunk.failure) std::rethrow_exception(chunk.failure);
    if (chunk.last) return 0;
    HandBack(chunk);
  }
}

void ReadAhead::HandBack(Chunk& chunk) {
  {
    const std::lock_guard hold(lock_);
    chunk.full = false;
  }
  changed_.notify_all();
  reading_ ^= 1;
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
  if (size == 0) return;
  try {
    // Inflated again from the start, and on to offset.
    if (!gzip_ || offset < position_) {
      inflated_.reset();
      gzip_.emplace(RawBytesAgain(input_, spool_));
      if (!room_.empty()) {
        inflated_.emplace(
            [this, inflated = std::uint64_t{0}](char* bytes, std::size_t size) mutable {
              const std::size_t got = gzip_->Read(
                  bytes, static_cast<std::size_t>(std::min<std::uint64_t>(size, end_ - inflated)));
              inflated += got;
              return got;
            },
            room_);
      }
      position_ = 0;
    }
    // Inflated here, the bytes before offset are passed over through bytes.
    while (position_ < offset) {
      const std::uint64_t before = offset - position_;
      const std::size_t got =
          inflated_
              ? inflated_->Skip(before)
              : gzip_->Read(bytes, static_cast<std::size_t>(std::min<std::uint64_t>(size, before)));
      if (got == 0) RaiseInputChanged();
      position_ += got;
    }
    for (std::size_t done = 0; done < size;) {
      const std::size_t got = inflated_ ? inflated_->Read(bytes + done, size - done)
                                        : gzip_->Read(bytes + done, size - done);
      if (got == 0) RaiseInputChanged();
      done += got;
      position_ += got;
    }
  } catch (const DamagedData&) {
    RaiseInputChanged();  // whole the first time
  }
}

}  // namespace lindqvar
