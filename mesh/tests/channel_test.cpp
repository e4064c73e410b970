#include "subsystems/channel.h"

#include <gtest/gtest.h>

#include <thread>

#include "test_clock.h"
#include "testing/fault_injection.h"

namespace vennu {
namespace {

TEST(ChannelBroadcast, SendsReachTheLiveReceivers) {
  BroadcastChannel channel;
  EXPECT_EQ(channel.send(Message{"t", "null", kTestInstant}), 1u);
  channel.release_receiver();
  EXPECT_EQ(channel.send(Message{"t", "1", kTestInstant}), 0u);
}

TEST(Channel, TopicsAreCreatedOnFirstPublish) {
  MeshChannel channels(std::make_shared<TestClock>());
  EXPECT_EQ(channels.topic_count(), 0u);
  const std::pair<const char*, std::uint64_t> publishes[] = {
      {"orders", 1}, {"orders", 1}, {"Orders", 2}, {"", 3}, {"orders ", 4}, {"", 4}};
  for (const auto& [topic, topics] : publishes) {
    EXPECT_EQ(channels.publish(topic, "null").value(), 0u) << topic;
    EXPECT_EQ(channels.topic_count(), topics) << topic;
  }
  for (const char* payload : {"true", "-42", "1.5", "\"hi\"", "[\"x\"]", "{}"}) {
    EXPECT_EQ(channels.publish("orders", payload).value(), 0u);
  }
  EXPECT_EQ(channels.topic_count(), 4u);
  // Topics hashed by the caller, all on one hash: the texts tell them apart.
  MeshChannel hashed_by_caller(std::make_shared<TestClock>(), KeyHashing::kByCaller);
  for (const char* topic : {"a", "b", "a"}) {
    EXPECT_EQ(hashed_by_caller.publish(HashedKey{topic, 9}, "null").value(), 0u);
  }
  EXPECT_EQ(hashed_by_caller.topic_count(), 2u);
  EXPECT_THROW((void)hashed_by_caller.publish("a", "null"), std::logic_error);
}

TEST(Channel, ClockFaultAfterTheLockLeavesTheMapUsable) {
  auto clock = std::make_shared<TestClock>(kBeforeEpoch);
  MeshChannel channels(clock);
  EXPECT_THROW(channels.publish("orders", "null"), InternalFault);
  EXPECT_EQ(channels.topic_count(), 1u);
  clock->set(kTestInstant);
  EXPECT_EQ(channels.publish("orders", "null").value(), 0u);
  EXPECT_EQ(channels.publish("audit", "null").value(), 0u);
  EXPECT_EQ(channels.topic_count(), 2u);
}

TEST(Channel, FaultInsideTheLockPoisonsForGood) {
  MeshChannel channels(std::make_shared<TestClock>());
  ASSERT_TRUE(channels.publish("orders", "null").has_value());
  arm_fault(FaultSite::kChannelPublish);
  EXPECT_THROW(channels.publish("audit", "null"), InternalFault);
  for (const char* topic : {"orders", "audit", "new"}) {
    auto refused = channels.publish(topic, "null");
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().message(), "Channel error: channel lock poisoned");
  }
  EXPECT_EQ(channels.topic_count(), 0u);
}

TEST(ChannelConcurrency, PublishesFromEightThreads) {
  constexpr int kThreads = 8;
  constexpr int kPublishes = 20000;
  MeshChannel channels;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&channels, t] {
      for (int i = 0; i < kPublishes; ++i) {
        const std::string topic = i % 2 ? "shared/" + std::to_string(i % 50)
                                        : std::to_string(t) + "/" + std::to_string(i % 100);
        ASSERT_EQ(channels.publish(topic, std::to_string(i)).value(), 0u);
        if (i % 1000 == 0) channels.topic_count();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(channels.topic_count(), 8u * 50 + 25);
}

}  // namespace
}  // namespace vennu
