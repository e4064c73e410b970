#include "state.h"

#include <gtest/gtest.h>

#include <thread>

namespace vennu {
namespace {

JsonText text(std::string json) { return std::make_shared<const std::string>(std::move(json)); }

std::vector<std::string> keys(const InMemoryStateStore& store, std::string_view prefix) {
  return store.keys_with_prefix(prefix).value();
}

TEST(StateStore, SetGetExistsErase) {
  InMemoryStateStore store;
  EXPECT_FALSE(store.get("k").value());
  EXPECT_FALSE(store.exists("k").value());
  EXPECT_TRUE(store.erase("k"));

  ASSERT_TRUE(store.set("k", text("null")));
  EXPECT_EQ(**store.get("k").value(), "null");
  EXPECT_TRUE(store.exists("k").value());
  EXPECT_FALSE(store.exists("K").value());

  const JsonText first = store.get("k").value().value();
  ASSERT_TRUE(store.set("k", text("{\"a\":1}")));
  EXPECT_EQ(*first, "null") << "a value read earlier stays as it was";
  EXPECT_EQ(**store.get("k").value(), "{\"a\":1}");
  EXPECT_EQ(keys(store, ""), std::vector<std::string>{"k"});
  EXPECT_EQ(store.key_count(), 1u);

  ASSERT_TRUE(store.set("", text("42")));
  EXPECT_EQ(**store.get("").value(), "42");
  EXPECT_TRUE(store.erase("k"));
  EXPECT_FALSE(store.get("k").value());
  EXPECT_EQ(store.key_count(), 1u);
}

TEST(StateStore, KeysSortByBytesUnderPrefix) {
  InMemoryStateStore store;
  EXPECT_TRUE(keys(store, "").empty());
  for (const char* key :
       {"user:2", "\u00e9t\u00e9", "z", "abc", "B", "", "ab", "a", "User:1", "user:10"}) {
    ASSERT_TRUE(store.set(key, text("0")));
  }
  using Keys = std::vector<std::string>;
  const std::pair<const char*, Keys> cases[] = {
      {"", {"", "B", "User:1", "a", "ab", "abc", "user:10", "user:2", "z", "\u00e9t\u00e9"}},
      {"user:", {"user:10", "user:2"}},
      {"User:", {"User:1"}},
      {"a", {"a", "ab", "abc"}},
      {"abcd", {}},
      {"\u00e9", {"\u00e9t\u00e9"}},
      {"\xc3", {"\u00e9t\u00e9"}},
      {"x", {}},
  };
  for (const auto& [prefix, expected] : cases) EXPECT_EQ(keys(store, prefix), expected) << prefix;
}

TEST(StateStoreConcurrency, MixedOperationsFromEightThreads) {
  constexpr int kThreads = 8;
  constexpr int kKeysPerThread = 5000;  // four operations each
  InMemoryStateStore store;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&store, t] {
      const std::string prefix = std::to_string(t) + "/";
      for (int i = 0; i < kKeysPerThread; ++i) {
        const std::string key = prefix + std::to_string(i);
        ASSERT_TRUE(store.set(key, text(std::to_string(i))));
        ASSERT_TRUE(store.set("shared", text(key)));
        ASSERT_EQ(**store.get(key).value(), std::to_string(i));
        if (i % 5 == 0) {
          ASSERT_TRUE(store.erase(key));
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(store.key_count(), 8u * 4000 + 1);
  const std::vector<std::string> three = keys(store, "3/");
  ASSERT_EQ(three.size(), 4000u);
  EXPECT_TRUE(std::is_sorted(three.begin(), three.end()));
  EXPECT_EQ(three.front(), "3/1");
  EXPECT_FALSE(store.exists("3/10").value());
  EXPECT_EQ((*store.get("shared").value())->substr(1), "/4999");
}

}  // namespace
}  // namespace vennu
