#include "state.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <functional>
#include <map>
#include <random>
#include <thread>

#include "fault_injection.h"

namespace vennu {
namespace {

using Keys = std::vector<std::string>;

Keys keys(const InMemoryStateStore& store, std::string_view prefix) {
  return store.keys_with_prefix(prefix).value();
}

std::optional<std::string> get(const InMemoryStateStore& store, std::string_view key) {
  std::string out;
  if (!store.get(key, &out).value()) return std::nullopt;
  return out;
}

TEST(StateStore, SetGetExistsErase) {
  InMemoryStateStore store;
  std::string out = "untouched";
  EXPECT_FALSE(store.get("k", &out).value());
  EXPECT_EQ(out, "untouched");
  EXPECT_FALSE(store.exists("k").value());
  EXPECT_TRUE(store.erase("k"));

  ASSERT_TRUE(store.set("k", "null"));
  EXPECT_EQ(get(store, "k"), "null");
  EXPECT_TRUE(store.exists("k").value());
  EXPECT_FALSE(store.exists("K").value());

  // In place, then into a larger block and back into a smaller one.
  const std::string long_text = '"' + std::string(100, 'x') + '"';
  for (const char* value : {"true", "{\"a\":1}", long_text.c_str(), "[]", "\"\""}) {
    ASSERT_TRUE(store.set("k", value));
    EXPECT_EQ(get(store, "k"), value);
    EXPECT_EQ(keys(store, ""), Keys{"k"});
    EXPECT_EQ(store.key_count(), 1u);
  }

  ASSERT_TRUE(store.set("", "42"));
  EXPECT_EQ(get(store, ""), "42");
  EXPECT_TRUE(store.erase("k"));
  EXPECT_FALSE(get(store, "k"));
  EXPECT_EQ(keys(store, ""), Keys{""});
  EXPECT_EQ(store.key_count(), 1u);
}

TEST(StateStore, KeysSortByBytesUnderPrefix) {
  InMemoryStateStore store;
  EXPECT_TRUE(keys(store, "").empty());
  for (const char* key :
       {"user:2", "\u00e9t\u00e9", "z", "abc", "B", "", "ab", "a", "User:1", "user:10"}) {
    ASSERT_TRUE(store.set(key, "0"));
  }
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

// Short keys over a few letters share prefixes and come back after deletion;
// new values often fit where the old ones were, and often do not.
TEST(StateStore, AgreesWithAnOrderedMapUnderRandomChanges) {
  InMemoryStateStore store;
  std::map<std::string, std::string> model;
  std::mt19937 random(20261206);
  const auto text = [&](std::size_t max_size) {
    std::string out(random() % (max_size + 1), ' ');
    for (char& c : out) c = "ab\xc3\xff"[random() % 4];
    return out;
  };
  const auto check_listing = [&](const std::string& prefix) {
    Keys expected;
    for (auto it = model.lower_bound(prefix); it != model.end() && it->first.starts_with(prefix);
         ++it) {
      expected.push_back(it->first);
    }
    ASSERT_EQ(keys(store, prefix), expected) << prefix;
  };
  for (int step = 1; step <= 60000; ++step) {
    const std::string key = text(6);
    if (random() % 3 == 0) {
      ASSERT_TRUE(store.erase(key));
      model.erase(key);
    } else {
      const std::string value = std::to_string(step) + std::string(random() % 40, ' ');
      ASSERT_TRUE(store.set(key, value));
      model[key] = value;
    }
    ASSERT_EQ(get(store, key), model.contains(key) ? std::optional(model[key]) : std::nullopt);
    if (step % 2000 == 0) {
      ASSERT_EQ(store.key_count(), model.size());
      for (const auto& [present, value] : model) ASSERT_EQ(get(store, present), value);
      check_listing("");
      check_listing(text(3));
    }
  }
}

// A fault inside a write section poisons the store for good.
TEST(StateStore, FaultUnderTheWriteLockPoisonsTheStore) {
  using Write = std::function<MeshResult<void>(InMemoryStateStore&)>;
  const Write writes[] = {
      [](InMemoryStateStore& store) { return store.set("new", "1"); },
      [](InMemoryStateStore& store) { return store.set("k", "[1]"); },
      [](InMemoryStateStore& store) { return store.erase("k"); },
  };
  for (const Write& write : writes) {
    InMemoryStateStore store;
    ASSERT_TRUE(store.set("k", "1"));
    arm_fault(FaultSite::kStateWrite);
    EXPECT_THROW((void)write(store), InternalFault);
    std::string out;
    const MeshError errors[] = {store.get("k", &out).error(), store.set("k", "2").error(),
                                store.erase("k").error(), store.exists("k").error(),
                                store.keys_with_prefix("").error()};
    for (const MeshError& error : errors) {
      EXPECT_EQ(error.kind(), ErrorKind::kStateError);
      EXPECT_EQ(error.message(), "State error: state lock poisoned");
    }
    EXPECT_EQ(store.key_count(), 0u);
  }
}

double cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Thread CPU time, so that preemption on a loaded machine does not count.
double seconds_per_insert(const std::vector<std::string>& keys, int stores) {
  double total = 0;
  for (int round = 0; round < stores; ++round) {
    InMemoryStateStore store;
    const double start = cpu_seconds();
    for (const std::string& key : keys) (void)store.set(key, "{\"a\":1}");
    total += cpu_seconds() - start;
  }
  return total / static_cast<double>(keys.size() * stores);
}

// Keys that differ only after a long shared prefix, in ascending order: a
// hash of part of the key would pile them into one probe run, an order index
// without random priorities would degenerate into a list. Either makes an
// insertion cost grow with the store (64 times here); cache misses alone
// stay near 2.
TEST(StateStoreScale, InsertionCostPerKeyBarelyGrowsWithTheStore) {
  std::vector<std::string> keys;
  for (int i = 0; i < 65536; ++i) keys.push_back(std::string(40, '/') + std::to_string(100000 + i));
  const double small = seconds_per_insert({keys.begin(), keys.begin() + 1024}, 64);
  const double large = seconds_per_insert(keys, 1);
  EXPECT_LT(large, 8 * small) << "ns per insert: " << small * 1e9 << " into 1024 keys, "
                              << large * 1e9 << " into 65536";
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
        ASSERT_TRUE(store.set(key, std::to_string(i)));
        ASSERT_TRUE(store.set("shared", key));
        ASSERT_EQ(get(store, key), std::to_string(i));
        if (i % 5 == 0) {
          ASSERT_TRUE(store.erase(key));
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(store.key_count(), 8u * 4000 + 1);
  const Keys three = keys(store, "3/");
  ASSERT_EQ(three.size(), 4000u);
  EXPECT_TRUE(std::is_sorted(three.begin(), three.end()));
  EXPECT_EQ(three.front(), "3/1");
  EXPECT_FALSE(store.exists("3/10").value());
  EXPECT_EQ(get(store, "shared")->substr(1), "/4999");
}

// read hands out each value's shape as set measured it, whether the value
// was rewritten in place or moved to a new block, and copies only texts up
// to the limit it is given.
TEST(StateStore, ReadGivesTheShapeAndCopiesUpToTheLimit) {
  InMemoryStateStore store;
  std::string text = "unchanged";
  TextShape shape;
  ASSERT_EQ(*store.read("k", 100, &text, &shape), InMemoryStateStore::ValueRead::kAbsent);
  EXPECT_EQ(text, "unchanged");

  const std::string values[] = {"\"abc\"", "\"\xc3\xa9\"", "\"\xe2\x82\xac\"",
                                "\"\xf0\x9f\x98\x80x\"", std::string(300, '1'), "7"};
  for (const std::string& value : values) {
    ASSERT_TRUE(store.set("k", value).has_value());
    const TextShape expected = shape_of(value);
    TextShape found;
    ASSERT_EQ(*store.read("k", value.size(), &text, &found),
              InMemoryStateStore::ValueRead::kCopied);
    EXPECT_EQ(text, value);
    EXPECT_EQ(found.code_points, expected.code_points) << value;
    EXPECT_EQ(found.width, expected.width) << value;

    text = "unchanged";
    found = TextShape{};
    ASSERT_EQ(*store.read("k", value.size() - 1, &text, &found),
              InMemoryStateStore::ValueRead::kLonger);
    EXPECT_EQ(text, "unchanged");
    EXPECT_EQ(found.code_points, expected.code_points) << value;
    EXPECT_EQ(found.width, expected.width) << value;
  }
}

}  // namespace
}  // namespace vennu
