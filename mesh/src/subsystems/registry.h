// The agent registry: agent instances by id, their status and timestamps.
//
// A record table (record_table.h) from agent_id to AgentEntry, with the
// number of agents in each status kept beside it under the same lock, so
// that a count reads one number. Results are always independent copies. An
// operation abandoned under the exclusive lock (the clock reading before
// 1970) breaks the registry for good: from then on every operation fails
// with StateError "registry lock poisoned", and the counts read 0.
//
// Out of memory: every operation but the counts and undo_register may throw
// std::bad_alloc; the registry is then unchanged and stays usable.
//
// Thread safety: every member may be called concurrently. The record reads
// and the counts take the lock shared, the rest exclusively.

#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/error.h"
#include "base/hashed_text_map.h"
#include "base/record_read.h"
#include "base/seeded_hash.h"
#include "base/timestamp.h"
#include "subsystems/record_table.h"

namespace vennu {

enum class AgentStatus : std::uint8_t {
  kStarting,
  kRunning,
  kIdle,
  kStopping,
  kStopped,
  kError,
};

std::string_view status_text(AgentStatus status);

// Exactly the six text forms, byte for byte.
std::optional<AgentStatus> parse_status(std::string_view text);

// 'Unknown status "<quoted text>". Valid values: starting, running, idle,
// stopping, stopped, error'
std::string unknown_status_message(std::string_view text);

struct AgentEntry {
  std::string agent_id;
  std::string agent_type;
  AgentStatus status = AgentStatus::kStarting;
  std::uint32_t instance = 0;
  Timestamp registered_at;
  Timestamp last_active;
  // The metadata value, kept as its compact JSON text ("{}" when none was
  // given): it is only ever written back, so there is no tree to rebuild.
  std::string metadata_json;
  // The whole record's text, rendered at registration so that a read
  // copies one block; a status change rewrites its status (at
  // ready_status_at) and last_active (at ready_active_at) in place, in room
  // kept for them. Empty in an entry made by hand, which is then written
  // field by field.
  std::string ready_text;
  std::size_t ready_status_at = 0;
  std::size_t ready_active_at = 0;
  bool record_is_ascii = false;  // the whole record, known with ready_text
};

// Appends the agent record: {"agent_id":…,"agent_type":…,"status":…,
// "instance":…,"registered_at":…,"last_active":…,"metadata":…}.
void write_agent_entry(const AgentEntry& entry, std::string& out);

class AgentRegistry {
 public:
  // Agent ids are hashed as hashing says (seeded_hash.h): by a kByCaller
  // registry's caller, who then passes every id as a HashedKey.
  explicit AgentRegistry(std::shared_ptr<const Clock> clock = system_clock(),
                         KeyHashing hashing = KeyHashing::kSeeded);

  // Fails with AgentAlreadyRegistered when agent_id is taken (the existing
  // entry is untouched). metadata_json must be compact JSON text; empty
  // means no metadata. *change, when given, receives the number of this
  // registration among the registry's changes, for undo_register.
  //
  // Appends the new record's text (write_agent_entry's) to out. The text is
  // written under the exclusive lock, and a failure to write it takes the
  // registration back there, so that it leaves the records and counts
  // unchanged (out may then hold part of the record, and the order of the
  // records may differ, as after undo_register). *ascii, when given, tells
  // whether the record is all ASCII.
  MeshResult<void> register_agent_into(std::string_view agent_type, const KeyText& agent_id,
                                       std::uint32_t instance, std::string metadata_json,
                                       std::string& out, bool* ascii = nullptr,
                                       std::uint64_t* change = nullptr);

  // Takes back the registration of agent_id numbered change, provided it is
  // still the registry's latest change: removes the entry, so that every
  // record and count reads as before it (the order of the records may
  // differ: the table may have grown for it). For a caller that made a
  // registration but could not deliver its answer; it therefore never
  // allocates and never throws, and it waits for the lock keeping the
  // caller's outer lock (OuterLock::kKeep). false, doing nothing, when
  // anything changed the registry since or it is poisoned.
  bool undo_register(const KeyText& agent_id, std::uint64_t change) noexcept;

  // Removing an unknown id succeeds.
  MeshResult<void> deregister(const KeyText& agent_id);

  // Sets the status and renews last_active. AgentNotFound (empty type) when
  // the id is unknown.
  MeshResult<void> update_status(const KeyText& agent_id, AgentStatus status);

  // update_status in one step with the check of the status it replaces:
  // true when set; false, changing nothing, when the id is unknown or its
  // status is one of refused.
  MeshResult<bool> update_status_unless(const KeyText& agent_id, AgentStatus status,
                                        std::span<const AgentStatus> refused);

  // The record reads of record_table.h: the record of agent_id (the text
  // of write_agent_entry) appended to out, or read into room the caller
  // owns, such as an array on its stack.
  MeshResult<bool> append_record(const KeyText& agent_id, std::string& out,
                                 bool* ascii = nullptr) const;
  MeshResult<RecordRead> read_record(const KeyText& agent_id, std::span<char> room,
                                     std::size_t* size, bool* ascii = nullptr) const;

  // The JSON array of the records matching both filters (absent filter =
  // any), as record_table.h appends it. The status filter is compared with
  // the text forms, not parsed.
  MeshResult<void> append_records(std::optional<std::string_view> agent_type,
                                  std::optional<std::string_view> status, std::string& out,
                                  bool* ascii = nullptr) const;

  // 0 when broken, or for a text that is no status. Constant time.
  std::uint64_t count_by_status(std::string_view status) const;
  std::uint64_t agent_count() const;

  // Every count in one read, so that they agree with each other whatever
  // changes come meanwhile (by_status is indexed by AgentStatus); all 0
  // when broken.
  struct Counts {
    std::uint64_t total = 0;
    std::array<std::uint64_t, 6> by_status{};
    std::uint64_t of(AgentStatus status) const {
      return by_status[static_cast<std::size_t>(status)];
    }
  };
  Counts counts() const;

 private:
  struct Table {
    HashedTextMap<AgentEntry> records;
    // How many of records are in each status, indexed by AgentStatus; kept
    // by every change in its commit step.
    std::array<std::uint64_t, 6> by_status{};
    // The changes made to records so far, for undo_register.
    std::uint64_t changes = 0;
  };

  // Both status changes: sets status unless refused(the status it
  // replaces).
  enum class StatusChange : std::uint8_t { kUnknownId, kRefused, kSet };
  template <class Refused>
  MeshResult<StatusChange> change_status(const KeyText& agent_id, AgentStatus status,
                                         Refused refused);

  std::shared_ptr<const Clock> clock_;
  const KeyHasher hash_;  // immutable: ids are hashed before the lock is taken
  RecordTable<Table> table_;
};

}  // namespace vennu
