// The migration controller: the staged progress of storage migrations.
//
// One MigrationState per variable name, walked through the stages 0 "idle"
// to 6 "done" by start, advance and rollback. Records are never removed,
// but by undoing the start that made one; a complete record is replaced when
// the same variable is started again. The controller moves no data: the
// application does and reports counts.
//
// Out of memory: every operation but count_active and undo may throw
// std::bad_alloc; the records are then unchanged and the controller stays
// usable.
//
// Thread safety: every member may be called concurrently. The records are
// a record table (record_table.h): start, advance, rollback and undo hold
// its exclusive lock for their whole body (the clock is read inside it);
// the record reads and the counts take it shared. A clock before 1970
// abandons a change under the exclusive lock and poisons the controller for
// good: its operations then fail with MigrationError "lock poisoned" and
// count_active reads 0.

#pragma once

#include <array>
#include <cstdint>
#include <memory>
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

inline constexpr std::uint8_t kStageDone = 6;
inline constexpr std::array<std::string_view, 7> kStageNames = {
    "idle", "shadow_write", "shadow_read", "dual_read", "new_primary", "cleanup", "done",
};

struct MigrationState {
  std::string variable_name;
  std::string source_backend;
  std::string target_backend;
  std::uint8_t stage = 1;
  std::string_view stage_name;  // from kStageNames
  Timestamp started_at;
  Timestamp advanced_at;
  std::uint64_t discrepancy_count = 0;
  std::uint64_t keys_migrated = 0;
  std::string app_name;
  // The whole record's text, rendered by each change of a record the
  // controller keeps, so that a read copies one block. Empty in a record
  // made by hand, which is then written field by field.
  std::string ready_text;
  bool record_is_ascii = false;  // the whole record, known with ready_text
};

// Appends the ten-key record in declaration order.
void write_migration_state(const MigrationState& state, std::string& out);

// What putting one record back as it was before a change takes, filled in
// by the change itself: the record it replaced, moved aside rather than
// copied, or the stage fields and the text it altered. Undoing therefore
// never allocates.
class MigrationUndo {
 public:
  MigrationUndo() = default;

 private:
  friend class MigrationController;

  enum class Kind : std::uint8_t { kNone, kInserted, kReplaced, kStageChanged };

  Kind kind_ = Kind::kNone;
  std::uint64_t change_ = 0;  // the change's number among the controller's
  // The whole record for kReplaced; its stage fields and text for
  // kStageChanged.
  MigrationState before_;
};

class MigrationController {
 public:
  // Variable names are hashed as hashing says (seeded_hash.h): by a
  // kByCaller controller's caller, who then passes every name as a
  // HashedKey.
  explicit MigrationController(std::string app_name,
                               std::shared_ptr<const Clock> clock = system_clock(),
                               KeyHashing hashing = KeyHashing::kSeeded);

  // Each change fills *undo, when given, with what undo() needs to take it
  // back; a refused change leaves it as it was.
  MeshResult<MigrationState> start(const KeyText& variable_name, std::string_view source_backend,
                                   std::string_view target_backend, MigrationUndo* undo = nullptr);
  // The counts are added modulo 2^64.
  MeshResult<MigrationState> advance(const KeyText& variable_name, std::uint64_t discrepancy_count,
                                     std::uint64_t keys_migrated, MigrationUndo* undo = nullptr);
  MeshResult<MigrationState> rollback(const KeyText& variable_name, MigrationUndo* undo = nullptr);
  // Takes back the change of variable_name's record that filled undo,
  // provided it is still the controller's latest change: the record is
  // removed again or put back as it was, so that every record and
  // count_active read as before it (the order of the records may differ
  // after a removal: the table may have grown for the record). For a caller
  // that made a change but could not deliver its answer; it therefore never
  // allocates and never throws, and it waits for the lock keeping the
  // caller's outer lock (OuterLock::kKeep). false, doing nothing, when
  // anything changed the records since, the controller is poisoned, or undo
  // holds no change; undo is spent either way.
  bool undo(const KeyText& variable_name, MigrationUndo& undo) noexcept;
  // The record reads of record_table.h: the record of variable_name (the
  // text of write_migration_state) appended to out, or read into room the
  // caller owns, such as an array on its stack; the JSON array of all the
  // records.
  MeshResult<bool> append_record(const KeyText& variable_name, std::string& out,
                                 bool* ascii = nullptr) const;
  MeshResult<RecordRead> read_record(const KeyText& variable_name, std::span<char> room,
                                     std::size_t* size, bool* ascii = nullptr) const;
  MeshResult<void> append_records(std::string& out, bool* ascii = nullptr) const;
  // The number of records kept, 0 when poisoned.
  std::uint64_t record_count() const;
  // Records at stages 0 to 5; 0 when poisoned. Constant time.
  std::uint64_t count_active() const;

 private:
  // Runs change(record) under the exclusive lock on a copy of the record of
  // an existing migration; change returns the error that refuses it, if any,
  // before touching the copy. change may alter only the stage, its name, the
  // time it was reached and the counters: those are committed to the table
  // with copies that cannot throw.
  template <class Change>
  MeshResult<MigrationState> change_stage(const KeyText& variable_name, MigrationUndo* undo,
                                          Change change);

  struct Table {
    HashedTextMap<MigrationState> records;
    // How many of records are before kStageDone; kept by every change in
    // its commit step.
    std::uint64_t active = 0;
    // The changes made to records so far, for undo.
    std::uint64_t changes = 0;
  };

  const std::string app_name_;
  std::shared_ptr<const Clock> clock_;
  const KeyHasher hash_;  // immutable: names are hashed before the lock is taken
  RecordTable<Table> table_;
};

}  // namespace vennu
