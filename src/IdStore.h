// Many short byte strings, such as the channel ids of a guide, each with a
// small number, in little memory: their bytes one after another in an arena
// of large blocks, and tables of eight-byte entries that point into it. A
// million ids of 40 bytes take about 60 MB. Knows nothing of listings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lindqvar {

class IdStore {
 public:
  // An id's place in the store, for its value.
  using Handle = std::uint32_t;

  // limit: the bytes the store may take in all, so that a test can make it
  // run out; memory running out in the system ends it the same way.
  explicit IdStore(std::size_t limit = SIZE_MAX);
  ~IdStore();
  IdStore(const IdStore&) = delete;
  IdStore& operator=(const IdStore&) = delete;
  IdStore(IdStore&&) noexcept = default;
  IdStore& operator=(IdStore&&) noexcept = default;

  // The place of id, or nothing when it is not kept.
  std::optional<Handle> Find(std::string_view id) const;

  // Keeps id with value unless it is kept already: its place, and whether
  // it was added now. Nothing when memory ran out, and from then on the
  // store is empty and takes nothing more.
  struct Added {
    Handle handle;
    bool added;
  };
  std::optional<Added> Insert(std::string_view id, std::uint32_t value);

  // Lets go of every id, as when memory runs out: from now on the store
  // takes nothing more.
  void LetGo();

  // Lets go of every id, to take new ones.
  void Clear();

  std::uint32_t Value(Handle handle) const;
  void SetValue(Handle handle, std::uint32_t value);
  std::string_view Id(Handle handle) const;

  // Calls visit(handle) for every id in the order they were added.
  template <typename Visit>
  void ForEach(Visit&& visit) const;

  std::size_t Size() const { return size_; }
  bool RanOut() const { return ranOut_; }
  // The bytes the store holds now.
  std::size_t MemoryUsed() const { return used_; }

 private:
  struct Slot {
    std::uint32_t place;  // 1 + the record's offset in the arena / 4; 0 for none
    std::uint32_t tag;    // the id's hash, high half
  };
  struct Table {
    std::unique_ptr<Slot[]> slots;
    std::uint32_t capacity = 0;
    std::uint32_t count = 0;
  };
  static constexpr std::size_t kTables = 256;
  static constexpr std::size_t kBlockSize = std::size_t{1} << 20;

  const char* Record(Handle handle) const;
  static std::size_t RecordSize(std::string_view id);
  std::optional<Handle> FindIn(const Table& table, std::uint32_t tag, std::string_view id) const;
  bool Reserve(std::size_t bytes);
  bool Grow(Table& table);

  std::size_t limit_;
  std::size_t used_ = 0;
  std::size_t size_ = 0;
  bool ranOut_ = false;
  std::vector<std::unique_ptr<char[]>> blocks_;
  std::vector<std::uint32_t> blockUsed_;  // bytes of records in each block
  std::unique_ptr<Table[]> tables_;
};

// An id as long as it may be, read in pieces: kept whole up to
// kKeptBytes, and beyond that as its first kKeptBytes, its length and a
// hash of all of it, which is what a store then keeps and compares. (The
// store makes the same of an id given whole only past a megabyte.)
struct IdBytes {
  static constexpr std::size_t kKeptBytes = 1024;

  std::string kept;
  std::uint64_t size = 0;
  std::uint64_t hash = 0;
  std::string longKey;

  void Clear();
  void Append(std::string_view piece);
  // What stands for the id in a store.
  std::string_view Key();
};

// The 64-bit hash the store uses, for anything that needs one.
std::uint64_t HashBytes(std::string_view bytes, std::uint64_t seed = 0);

template <typename Visit>
void IdStore::ForEach(Visit&& visit) const {
  for (std::size_t block = 0; block < blocks_.size(); ++block) {
    for (std::size_t at = 0; at < blockUsed_[block];) {
      const auto handle = static_cast<Handle>((block * kBlockSize + at) / 4);
      visit(handle);
      at += RecordSize(Id(handle));
    }
  }
}

}  // namespace lindqvar
