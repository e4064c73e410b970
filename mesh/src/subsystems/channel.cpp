#include "subsystems/channel.h"

#include <utility>

#include "subsystems/guarded_result.h"
#include "testing/fault_injection.h"

namespace vennu {
namespace {

MeshError poisoned() { return MeshError::channel_error("channel lock poisoned"); }

// One sender handle held for the length of a publish; released however the
// publish ends, so the sender count stays exact.
class SenderHandle {
 public:
  SenderHandle() = default;
  SenderHandle(const SenderHandle&) = delete;
  SenderHandle& operator=(const SenderHandle&) = delete;
  ~SenderHandle() {
    if (channel_) channel_->release_sender();
  }

  // Takes over a handle whose count was already added.
  void adopt(BroadcastChannel* channel) { channel_ = channel; }
  BroadcastChannel& operator*() const { return *channel_; }

 private:
  BroadcastChannel* channel_ = nullptr;
};

}  // namespace

BroadcastChannel::BroadcastChannel() = default;

// There is no receive operation, so a copy kept for a live receiver could
// never be read: the message is dropped either way, and the receiver count is
// what the send yields.
std::uint64_t BroadcastChannel::send([[maybe_unused]] const Message& message) {
  return receivers_.load(std::memory_order_acquire);
}

void BroadcastChannel::add_sender() { senders_.fetch_add(1, std::memory_order_relaxed); }

void BroadcastChannel::release_sender() { senders_.fetch_sub(1, std::memory_order_acq_rel); }

void BroadcastChannel::release_receiver() { receivers_.fetch_sub(1, std::memory_order_acq_rel); }

MeshChannel::MeshChannel(std::shared_ptr<const Clock> clock, KeyHashing hashing)
    : clock_(std::move(clock)), hash_(hashing) {}

MeshResult<std::uint64_t> MeshChannel::publish(const KeyText& topic_text,
                                               std::string_view payload_json) {
  const HashedKey& topic = hash_(topic_text);
  SenderHandle handle;
  auto ran = write_or_poisoned(topics_, poisoned, [&](Topics& topics) {
    inject_fault(FaultSite::kChannelPublish);
    if (auto found = topics.find(topic); found != topics.end()) {
      found->second->add_sender();
      handle.adopt(found->second.get());
      return;
    }
    // A new channel comes with one sender handle, which the map keeps, and
    // one receiver, which nobody can read from and is let go at once. This
    // call takes a handle of its own once the map holds the channel: if the
    // map cannot take it, the channel goes and no topic is created.
    auto created = std::make_unique<BroadcastChannel>();
    created->release_receiver();
    BroadcastChannel* channel = created.get();
    topics.try_emplace(HashedText{std::string(topic.text), topic.hash}, std::move(created));
    channel->add_sender();
    handle.adopt(channel);
  });
  if (!ran) return unexpected(std::move(ran.error()));
  const Message message{topic.text, payload_json, current_instant(*clock_)};
  return (*handle).send(message);
}

std::uint64_t MeshChannel::topic_count() const {
  std::uint64_t count = 0;
  topics_.read([&](const Topics& topics) { count = topics.size(); });
  return count;
}

}  // namespace vennu
