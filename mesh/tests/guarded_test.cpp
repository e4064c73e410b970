#include "guarded.h"

#include <gtest/gtest.h>

#include <mutex>
#include <new>
#include <stdexcept>
#include <vector>

#include "error.h"

namespace vennu {
namespace {

template <class Mutex>
class GuardedTest : public ::testing::Test {};

using Mutexes = ::testing::Types<SharedSpinMutex, std::mutex>;
TYPED_TEST_SUITE(GuardedTest, Mutexes);

template <class Mutex>
std::vector<int> contents(const Guarded<std::vector<int>, Mutex>& guarded) {
  std::vector<int> copy;
  EXPECT_TRUE(guarded.read([&](const std::vector<int>& data) { copy = data; }));
  return copy;
}

// A section that runs out of memory has changed nothing, so the guard
// stays usable and the error reaches the caller.
TYPED_TEST(GuardedTest, OutOfMemoryDoesNotPoison) {
  Guarded<std::vector<int>, TypeParam> guarded(std::vector<int>{1, 2});
  EXPECT_THROW(guarded.write([](std::vector<int>&) { throw std::bad_alloc(); }), std::bad_alloc);
  EXPECT_THROW(guarded.write([](std::vector<int>&) { throw std::bad_array_new_length(); }),
               std::bad_alloc);
  EXPECT_EQ(contents(guarded), (std::vector<int>{1, 2}));
  EXPECT_TRUE(guarded.write([](std::vector<int>& data) { data.push_back(3); }));
  EXPECT_EQ(contents(guarded), (std::vector<int>{1, 2, 3}));
}

// Anything else leaving an exclusive section may have left the data half
// changed: the guard refuses every later section.
TYPED_TEST(GuardedTest, OtherFailuresPoisonForGood) {
  for (const bool internal : {true, false}) {
    Guarded<std::vector<int>, TypeParam> guarded(std::vector<int>{1});
    const auto fail = [internal](std::vector<int>& data) {
      data.push_back(2);
      if (internal) throw InternalFault("broken");
      throw std::runtime_error("broken");
    };
    if (internal) {
      EXPECT_THROW(guarded.write(fail), InternalFault);
    } else {
      EXPECT_THROW(guarded.write(fail), std::runtime_error);
    }
    bool ran = false;
    EXPECT_FALSE(guarded.write([&](std::vector<int>&) { ran = true; }));
    EXPECT_FALSE(guarded.read([&](const std::vector<int>&) { ran = true; }));
    EXPECT_FALSE(ran);
  }
}

// A failure under the shared lock changes nothing and poisons nothing.
TYPED_TEST(GuardedTest, ReadFailuresPropagateWithoutPoisoning) {
  Guarded<std::vector<int>, TypeParam> guarded(std::vector<int>{4});
  EXPECT_THROW(guarded.read([](const std::vector<int>&) { throw InternalFault("read"); }),
               InternalFault);
  EXPECT_EQ(contents(guarded), (std::vector<int>{4}));
}

}  // namespace
}  // namespace vennu
