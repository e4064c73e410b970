#include "base/seeded_hash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "base/hashed_text_map.h"

namespace vennu {
namespace {

// SipHash-1-3 under the all-zero key, as computed independently by CPython's
// bytes hash with PYTHONHASHSEED=0.
TEST(SeededHash, SipHash13MatchesReferenceUnderZeroKey) {
  const std::string fox = "The quick brown fox jumps over the lazy dog";
  struct Case {
    std::string input;
    std::uint64_t hash;
  };
  const Case cases[] = {
      {"a", 0x407448d2b89b1813},
      {"ab", 0x555508cbc6add439},
      {"abc", 0xc03bc3a0042630f2},
      {"abcd", 0xe3d1d5fdd52aae89},
      {"abcde", 0x251f3c725bd784a2},
      {"abcdefg", 0x6db12aae9070f506},
      {"abcdefgh", 0x3f7b849c0b8e35ea},
      {"abcdefghi", 0xf89b34a3d11eb6e5},
      {"abcdefghijkl", 0x83275255f37565c1},
      {"abcdefghijklm", 0x954aa964997ae4e6},
      {"0123456789abcde", 0x26f4d862282d8fcb},
      {"0123456789abcdef", 0x1d42b30f7e060c24},
      {"0123456789abcdefg", 0x3323a4f8b8d9776b},
      {fox + fox, 0x8d3ce5b202dbdbd2},
  };
  for (const Case& c : cases) EXPECT_EQ(siphash13(0, 0, c.input), c.hash) << c.input;
}

TEST(SeededHash, SipHash13KeyChangesTheHash) {
  EXPECT_EQ(siphash13(1, 2, "key"), siphash13(1, 2, "key"));
  EXPECT_NE(siphash13(1, 2, "key"), siphash13(2, 1, "key"));
  EXPECT_NE(siphash13(1, 2, "key"), siphash13(1, 3, "key"));
  EXPECT_NE(siphash13(1, 2, std::string("\0", 1)), siphash13(1, 2, ""));
}

TEST(SeededHash, EachMapGetsItsOwnKey) {
  const SeededHash first;
  const SeededHash second;
  const std::string_view agent = "agent";
  EXPECT_EQ(first(agent), first(std::string(agent)));
  EXPECT_NE(first(agent), second(agent));

  TextMap<int> left;
  TextMap<int> right;
  for (int i = 0; i < 1000; ++i) {
    left.emplace("key-" + std::to_string(i), i);
    right.emplace("key-" + std::to_string(i), i);
  }
  std::vector<int> left_order;
  std::vector<int> right_order;
  for (const auto& [key, value] : left) left_order.push_back(value);
  for (const auto& [key, value] : right) right_order.push_back(value);
  EXPECT_NE(left_order, right_order);
  EXPECT_EQ(left.find(std::string_view("key-999"))->second, 999);
}

// Tables file a key under the low bits of its hash: keys that differ in a
// digit or two, as callers' names do, must spread evenly over them.
TEST(SeededHash, SimilarKeysSpreadOverTheLowBits) {
  constexpr std::size_t kSlots = 1024;
  const SeededHash hash;
  std::vector<std::size_t> filled(kSlots, 0);
  for (std::size_t i = 0; i < 32 * kSlots; ++i) ++filled[hash("key-" + std::to_string(i)) % kSlots];
  // 32 a slot on average; 96 in any of them has odds below 1e-15.
  EXPECT_LT(*std::max_element(filled.begin(), filled.end()), 96u);
}

// Keys whose hashes share their low bits pile up in long probe runs that
// wrap around the slots; erasing from them must keep every other key
// reachable. Checked against std::map through random inserts and erases.
TEST(SeededHash, HashedTextMapAgreesWithAnOrderedMapUnderCollidingHashes) {
  HashedTextMap<int> map;
  std::map<std::string, int> expected;
  std::mt19937 random(7);
  const auto hash_of = [](int key) {
    return std::uint64_t(key % 5) << 40 | (0xFFFF - std::uint64_t(key % 3));
  };
  for (int step = 0; step < 20000; ++step) {
    const int key = static_cast<int>(random() % 300);
    const std::string text = "key-" + std::to_string(key);
    const HashedKey hashed{text, hash_of(key)};
    if (random() % 3 == 0) {
      if (auto found = map.find(hashed); found != map.end()) map.erase(found);
      expected.erase(text);
    } else {
      const auto [at, inserted] = map.try_emplace(HashedText{text, hashed.hash}, step);
      EXPECT_EQ(inserted, expected.emplace(text, step).second);
      EXPECT_EQ(at->second, expected.at(text));
    }
  }
  ASSERT_EQ(map.size(), expected.size());
  std::map<std::string, int> listed;
  for (const auto& [key, value] : map) listed.emplace(key.text, value);
  EXPECT_EQ(listed, expected);
  for (int key = 0; key < 300; ++key) {
    const std::string text = "key-" + std::to_string(key);
    EXPECT_EQ(map.find({text, hash_of(key)}) != map.end(), expected.contains(text)) << text;
  }
}

}  // namespace
}  // namespace vennu
