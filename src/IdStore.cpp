#include "IdStore.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace lindqvar {

namespace {

std::uint64_t Mix(std::uint64_t h) {
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  h *= 0xC4CEB9FE1A85EC53ull;
  return h ^ (h >> 33);
}

// A record: the value (four bytes), the id's length (seven bits a byte, low
// first), the id; each begins at a multiple of four.
constexpr std::size_t kValueBytes = 4;

std::size_t LengthBytes(std::size_t length) {
  std::size_t bytes = 1;
  while (length >= 0x80) {
    length >>= 7;
    ++bytes;
  }
  return bytes;
}

// An id stands for itself, but one too long for a block, which stands for
// the key IdBytes makes of it.
constexpr std::size_t kLongestKept = (std::size_t{1} << 20) - 16;

struct StoredId {
  IdBytes longId;
  std::string_view key;

  explicit StoredId(std::string_view id) : key(id) {
    if (id.size() > kLongestKept) {
      longId.Append(id);
      key = longId.Key();
    }
  }
};

}  // namespace

std::uint64_t HashBytes(std::string_view bytes, std::uint64_t seed) {
  std::uint64_t h = Mix(seed ^ (bytes.size() * 0x9E3779B97F4A7C15ull));
  std::size_t at = 0;
  for (; at + 8 <= bytes.size(); at += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes.data() + at, 8);
    h = (h ^ word) * 0x9E3779B97F4A7C15ull;
    h ^= h >> 29;
  }
  std::uint64_t tail = 0;
  std::memcpy(&tail, bytes.data() + at, bytes.size() - at);
  return Mix(h ^ tail);
}

IdStore::IdStore(std::size_t limit) : limit_(limit) {}

IdStore::~IdStore() = default;

std::size_t IdStore::RecordSize(std::string_view id) {
  return (kValueBytes + LengthBytes(id.size()) + id.size() + 3) / 4 * 4;
}

const char* IdStore::Record(Handle handle) const {
  const std::size_t offset = std::size_t{handle} * 4;
  return blocks_[offset / kBlockSize].get() + offset % kBlockSize;
}

std::string_view IdStore::Id(Handle handle) const {
  const auto* bytes = reinterpret_cast<const unsigned char*>(Record(handle)) + kValueBytes;
  std::size_t length = 0;
  int shift = 0;
  for (;; shift += 7) {
    const unsigned char byte = *bytes++;
    length |= std::size_t{byte & 0x7Fu} << shift;
    if (byte < 0x80) break;
  }
  return {reinterpret_cast<const char*>(bytes), length};
}

std::uint32_t IdStore::Value(Handle handle) const {
  std::uint32_t value;
  std::memcpy(&value, Record(handle), sizeof value);
  return value;
}

void IdStore::SetValue(Handle handle, std::uint32_t value) {
  std::memcpy(const_cast<char*>(Record(handle)), &value, sizeof value);
}

std::optional<IdStore::Handle> IdStore::FindIn(const Table& table, std::uint32_t tag,
                                               std::string_view id) const {
  if (table.capacity == 0) return std::nullopt;
  // Linear probing from the place the tag gives, in a table never full.
  std::size_t at = static_cast<std::size_t>((std::uint64_t{tag} * table.capacity) >> 32);
  for (;; at = at + 1 == table.capacity ? 0 : at + 1) {
    const Slot& slot = table.slots[at];
    if (slot.place == 0) return std::nullopt;
    if (slot.tag == tag && Id(slot.place - 1) == id) return slot.place - 1;
  }
}

std::optional<IdStore::Handle> IdStore::Find(std::string_view id) const {
  if (!tables_) return std::nullopt;
  const StoredId stored(id);
  const std::uint64_t hash = HashBytes(stored.key);
  return FindIn(tables_[hash % kTables], static_cast<std::uint32_t>(hash >> 32), stored.key);
}

bool IdStore::Reserve(std::size_t bytes) {
  if (bytes > limit_ - std::min(used_, limit_)) return false;
  used_ += bytes;
  return true;
}

// Half as large again once four fifths are taken: each of the tables is
// between a half and four fifths full, and only one grows at a time.
bool IdStore::Grow(Table& table) {
  const std::uint64_t wanted = std::max<std::uint64_t>(16, std::uint64_t{table.capacity} * 3 / 2);
  if (wanted > UINT32_MAX || !Reserve(wanted * sizeof(Slot))) return false;
  const auto capacity = static_cast<std::uint32_t>(wanted);
  std::unique_ptr<Slot[]> slots(new Slot[capacity]());
  for (std::uint32_t i = 0; i < table.capacity; ++i) {
    const Slot& slot = table.slots[i];
    if (slot.place == 0) continue;
    std::size_t at = static_cast<std::size_t>((std::uint64_t{slot.tag} * capacity) >> 32);
    while (slots[at].place != 0) at = at + 1 == capacity ? 0 : at + 1;
    slots[at] = slot;
  }
  used_ -= std::size_t{table.capacity} * sizeof(Slot);
  table.slots = std::move(slots);
  table.capacity = capacity;
  return true;
}

void IdStore::LetGo() {
  ranOut_ = true;
  tables_.reset();
  blocks_.clear();
  blocks_.shrink_to_fit();
  blockUsed_.clear();
  blockUsed_.shrink_to_fit();
  used_ = 0;
  size_ = 0;
}

void IdStore::Clear() {
  LetGo();
  ranOut_ = false;
}

std::optional<IdStore::Added> IdStore::Insert(std::string_view id, std::uint32_t value) {
  if (ranOut_) return std::nullopt;
  try {
    if (!tables_) {
      if (!Reserve(kTables * sizeof(Table))) throw std::bad_alloc();
      tables_.reset(new Table[kTables]);
    }
    const StoredId stored(id);
    const std::uint64_t hash = HashBytes(stored.key);
    Table& table = tables_[hash % kTables];
    const auto tag = static_cast<std::uint32_t>(hash >> 32);
    if (const std::optional<Handle> found = FindIn(table, tag, stored.key)) {
      return Added{*found, false};
    }
    if (std::uint64_t{table.count + 1} * 5 > std::uint64_t{table.capacity} * 4 && !Grow(table)) {
      throw std::bad_alloc();
    }
    // The record, in the last block or a new one.
    const std::size_t size = RecordSize(stored.key);
    if (blocks_.empty() || blockUsed_.back() + size > kBlockSize) {
      if (std::uint64_t{blocks_.size() + 1} * kBlockSize / 4 > UINT32_MAX || !Reserve(kBlockSize)) {
        throw std::bad_alloc();
      }
      blockUsed_.reserve(blockUsed_.size() + 1);
      blocks_.emplace_back(new char[kBlockSize]);
      blockUsed_.push_back(0);
    }
    char* const record = blocks_.back().get() + blockUsed_.back();
    const auto handle =
        static_cast<Handle>(((blocks_.size() - 1) * kBlockSize + blockUsed_.back()) / 4);
    std::memcpy(record, &value, kValueBytes);
    char* at = record + kValueBytes;
    for (std::size_t length = stored.key.size();; length >>= 7) {
      *at++ = static_cast<char>((length & 0x7F) | (length >= 0x80 ? 0x80 : 0));
      if (length < 0x80) break;
    }
    std::memcpy(at, stored.key.data(), stored.key.size());
    blockUsed_.back() += static_cast<std::uint32_t>(size);

    std::size_t slot = static_cast<std::size_t>((std::uint64_t{tag} * table.capacity) >> 32);
    while (table.slots[slot].place != 0) slot = slot + 1 == table.capacity ? 0 : slot + 1;
    table.slots[slot] = Slot{handle + 1, tag};
    ++table.count;
    ++size_;
    return Added{handle, true};
  } catch (const std::bad_alloc&) {
    LetGo();
    return std::nullopt;
  }
}

void IdBytes::Clear() {
  kept.clear();
  size = 0;
  hash = 0;
}

void IdBytes::Append(std::string_view piece) {
  const auto fnv = [this](std::string_view bytes) {
    for (const char c : bytes) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001B3ull;
  };
  // Nearly every id is short: the hash of all its bytes is needed only once
  // it outgrows what is kept.
  if (size + piece.size() <= kKeptBytes) {
    kept.append(piece);
  } else {
    if (size <= kKeptBytes) {
      hash = 0xCBF29CE484222325ull;
      fnv(kept);
      kept.append(piece.substr(0, kKeptBytes - kept.size()));
    }
    fnv(piece);
  }
  size += piece.size();
}

std::string_view IdBytes::Key() {
  if (size <= kKeptBytes) return kept;
  // Longer than the bytes kept, so it can never equal a short id.
  longKey = kept;
  for (const std::uint64_t number : {hash, size}) {
    for (int i = 0; i < 8; ++i) longKey += static_cast<char>(number >> (8 * i));
  }
  return longKey;
}

}  // namespace lindqvar
