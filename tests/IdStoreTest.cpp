// The id store against std::unordered_map on random ids, short and long,
// with and without room enough.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "IdStore.h"

namespace lindqvar {
namespace {

using namespace std::string_literals;

std::string RandomId(std::mt19937& random) {
  // Mostly short ids of few letters, so that many repeat; a few long ones,
  // some alike in their first kept bytes.
  static const std::string kLetters = "ab.\0\xFF"s;
  const std::size_t length =
      random() % 50 == 0 ? IdBytes::kKeptBytes + random() % 40 : random() % 6;
  std::string id(length, 'x');
  for (char& c : id) c = kLetters[random() % kLetters.size()];
  return id;
}

TEST(IdStore, AgreesWithAnUnorderedMap) {
  std::mt19937 random(2026);
  for (const std::size_t limit : {SIZE_MAX, std::size_t{3} << 20}) {
    IdStore store(limit);
    std::unordered_map<std::string, std::uint32_t> expected;
    std::vector<std::string> order;
    std::uint32_t value = 0;
    bool ranOut = false;
    for (int round = 0; round < 200000 && !ranOut; ++round) {
      const std::string id = RandomId(random);
      const auto [entry, added] = expected.try_emplace(id, ++value);
      if (added) order.push_back(id);
      const std::optional<IdStore::Added> got = store.Insert(id, value);
      if (!got) {
        ranOut = true;
        break;
      }
      ASSERT_EQ(got->added, added) << round;
      ASSERT_EQ(store.Value(got->handle), entry->second) << round;
      ASSERT_EQ(store.Find(id), got->handle);
      ASSERT_LE(store.MemoryUsed(), limit);
    }
    if (limit != SIZE_MAX) {
      // Ran out with room for about a hundred thousand ids: everything let go.
      ASSERT_TRUE(ranOut);
      EXPECT_TRUE(store.RanOut());
      EXPECT_EQ(store.Size(), 0u);
      EXPECT_EQ(store.MemoryUsed(), 0u);
      EXPECT_FALSE(store.Insert("a", 1));
      EXPECT_FALSE(store.Find("a"));
      continue;
    }
    ASSERT_FALSE(ranOut);
    EXPECT_EQ(store.Size(), expected.size());
    std::vector<std::string> visited;
    store.ForEach([&](IdStore::Handle handle) {
      visited.emplace_back(store.Id(handle));
      EXPECT_EQ(store.Find(store.Id(handle)), handle);
    });
    ASSERT_EQ(visited.size(), order.size());
    EXPECT_EQ(visited, order);
    for (int round = 0; round < 1000; ++round) {
      const std::string id = RandomId(random);
      EXPECT_EQ(store.Find(id).has_value(), expected.count(id) == 1) << id;
    }
  }
}

// An id read in pieces of any size gives the key it gives whole.
TEST(IdBytes, PiecesMakeTheSameKey) {
  std::mt19937 random(7);
  for (const std::size_t length : {0u, 5u, 1024u, 1025u, 5000u}) {
    std::string id(length, 'q');
    for (char& c : id) c = static_cast<char>(random());
    IdBytes whole;
    whole.Append(id);
    const std::string key(whole.Key());
    EXPECT_EQ(key.size(), length <= IdBytes::kKeptBytes ? length : IdBytes::kKeptBytes + 16);
    for (const std::size_t piece : {1u, 7u, 1000u}) {
      IdBytes pieces;
      pieces.Clear();
      for (std::size_t at = 0; at < length; at += piece) pieces.Append(id.substr(at, piece));
      EXPECT_EQ(pieces.Key(), key) << length << " by " << piece;
    }
    id.back() ^= length > 0 ? 1 : 0;
    IdBytes changed;
    changed.Append(id);
    if (length > 0) {
      EXPECT_NE(changed.Key(), key) << length;
    }
  }
}

}  // namespace
}  // namespace lindqvar
