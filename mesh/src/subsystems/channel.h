// Topic channels: a broadcast channel per topic, created at the first
// publish and kept for the life of the mesh.
//
// The mesh offers no way to subscribe, so every channel loses its one
// receiver during its first publish and no message is ever stored. A
// BroadcastChannel therefore keeps its counts and its capacity but allocates
// no message buffer until a receiver could read one.
//
// Out of memory: publish may throw std::bad_alloc; no topic is then created
// and the map stays usable. Only a new topic allocates.
//
// Thread safety: every member may be called concurrently. The topic map is
// under one exclusive lock held only for the lookup or insertion; the clock
// is read and the message sent after it is released. Any other failure
// escaping that section (a broken invariant) poisons the map for good:
// publish then fails with ChannelError "channel lock poisoned" and
// topic_count reads 0.

#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/error.h"
#include "base/hashed_text_map.h"
#include "base/seeded_hash.h"
#include "base/timestamp.h"
#include "sync/guarded.h"

namespace vennu {

// The payload travels as its JSON text, checked by the caller: nothing ever
// reads a message back, so building its document tree would be wasted work.
// For the same reason a message refers to the publisher's text and carries
// the instant it was sent, unformatted: a channel would copy and format
// what it keeps for a receiver, and none is ever kept.
struct Message {
  std::string_view topic;
  std::string_view payload_json;
  Instant sent_at;
};

// A bounded multi-receiver channel. Sends reach the receivers live at the
// time of the send; it counts its sender handles and receivers. The counts
// are atomic, so a send reads the receiver count consistently with a
// concurrent release without taking a lock.
class BroadcastChannel {
 public:
  static constexpr std::size_t kCapacity = 1024;

  // A new channel with one sender handle and one receiver.
  BroadcastChannel();

  // The number of receivers reached; 0 when there are none, in which case
  // the message is dropped.
  std::uint64_t send(const Message& message);

  void add_sender();
  void release_sender();
  void release_receiver();

 private:
  std::atomic<std::uint64_t> senders_{1};
  std::atomic<std::uint64_t> receivers_{1};
};

class MeshChannel {
 public:
  // Topics are hashed as hashing says (seeded_hash.h): by a kByCaller
  // channel map's caller, who then passes every topic as a HashedKey.
  explicit MeshChannel(std::shared_ptr<const Clock> clock = system_clock(),
                       KeyHashing hashing = KeyHashing::kSeeded);

  // The number of receivers that got the message (0 in practice).
  // payload_json must be valid JSON text (json::validate).
  MeshResult<std::uint64_t> publish(const KeyText& topic, std::string_view payload_json);

  // 0 when poisoned.
  std::uint64_t topic_count() const;

 private:
  using Topics = HashedTextMap<std::unique_ptr<BroadcastChannel>>;

  std::shared_ptr<const Clock> clock_;
  const KeyHasher hash_;  // immutable: topics are hashed before the lock is taken
  // Topics are never removed, so a channel outlives every publish that
  // found it in the map.
  Guarded<Topics> topics_;
};

}  // namespace vennu
