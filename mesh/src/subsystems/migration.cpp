#include "subsystems/migration.h"

#include <utility>

#include "base/text_shape.h"
#include "json/json.h"

namespace vennu {
namespace {

MeshError failure(std::string detail) { return MeshError::migration_error(std::move(detail)); }

MeshError poisoned() { return failure("lock poisoned"); }

MeshError not_in_progress(std::string_view variable_name) {
  return failure("No migration in progress for '" + std::string(variable_name) + "'");
}

// Each change either fails before touching the table or yields the record
// it left behind.
struct ChangeOutcome {
  std::optional<MigrationState> record;
  std::optional<MeshError> error;
};

MeshResult<MigrationState> finish(bool readable, ChangeOutcome outcome) {
  if (!readable) return unexpected(poisoned());
  if (outcome.error) return unexpected(std::move(*outcome.error));
  return std::move(*outcome.record);
}

// Moves the fields a stage change alters to record, its text swapped rather
// than copied, so that nothing is allocated.
void commit_stage_change(MigrationState& changed, MigrationState& record) noexcept {
  record.stage = changed.stage;
  record.stage_name = changed.stage_name;
  record.advanced_at = changed.advanced_at;
  record.discrepancy_count = changed.discrepancy_count;
  record.keys_migrated = changed.keys_migrated;
  record.ready_text.swap(changed.ready_text);
}

std::uint64_t active(const MigrationState& record) { return record.stage < kStageDone ? 1 : 0; }

void move_to_stage(MigrationState& record, std::uint8_t stage, Timestamp now) {
  record.stage = stage;
  record.stage_name = kStageNames[stage];
  record.advanced_at = now;
}

}  // namespace

namespace {

// The record field by field.
void render_record(const MigrationState& state, std::string& out) {
  out += "{\"variable_name\":";
  json::write_string(state.variable_name, out);
  out += ",\"source_backend\":";
  json::write_string(state.source_backend, out);
  out += ",\"target_backend\":";
  json::write_string(state.target_backend, out);
  out += ",\"stage\":";
  json::write_unsigned(state.stage, out);
  out += ",\"stage_name\":\"";
  out += state.stage_name;  // letters and underscores: nothing to escape
  out += "\",\"started_at\":\"";
  out += state.started_at.view();
  out += "\",\"advanced_at\":\"";
  out += state.advanced_at.view();
  out += "\",\"discrepancy_count\":";
  json::write_unsigned(state.discrepancy_count, out);
  out += ",\"keys_migrated\":";
  json::write_unsigned(state.keys_migrated, out);
  out += ",\"app_name\":";
  json::write_string(state.app_name, out);
  out += '}';
}

// Renders record's ready text afresh from its fields; may throw
// std::bad_alloc, leaving it as it was.
void render_ready_text(MigrationState& record) {
  // Sized for the unescaped text up front: growing it step by step from
  // empty costs an allocation per doubling.
  constexpr std::size_t kFixedBytes = 320;
  std::string text;
  text.reserve(kFixedBytes + record.variable_name.size() + record.source_backend.size() +
               record.target_backend.size() + record.app_name.size());
  render_record(record, text);
  record.ready_text = std::move(text);
}

}  // namespace

void write_migration_state(const MigrationState& state, std::string& out) {
  if (state.ready_text.empty()) {
    render_record(state, out);
  } else {
    out += state.ready_text;
  }
}

MigrationController::MigrationController(std::string app_name, std::shared_ptr<const Clock> clock,
                                         KeyHashing hashing)
    : app_name_(std::move(app_name)), clock_(std::move(clock)), hash_(hashing) {}

MeshResult<MigrationState> MigrationController::start(const KeyText& variable_name,
                                                      std::string_view source_backend,
                                                      std::string_view target_backend,
                                                      MigrationUndo* undo) {
  const HashedKey& name = hash_(variable_name);
  // Only the names can bring characters beyond ASCII into a record (its
  // escapes are ASCII).
  const bool ascii = is_ascii(name.text) && is_ascii(source_backend) && is_ascii(target_backend) &&
                     is_ascii(app_name_);
  ChangeOutcome outcome;
  const bool readable = table_.write([&](Table& table) {
    HashedTextMap<MigrationState>& migrations = table.migrations;
    auto existing = migrations.find(name);
    if (existing != migrations.end() && existing->second.stage < kStageDone) {
      const MigrationState& active = existing->second;
      outcome.error =
          failure("Migration for '" + std::string(name.text) + "' already in progress at stage " +
                  std::to_string(active.stage) + " (" + std::string(active.stage_name) + ")");
      return;
    }
    MigrationState record;
    record.variable_name = name.text;
    record.source_backend = source_backend;
    record.target_backend = target_backend;
    record.stage = 1;
    record.stage_name = kStageNames[1];
    record.started_at = current_timestamp(*clock_);
    record.advanced_at = record.started_at;
    record.app_name = app_name_;
    render_ready_text(record);
    record.record_is_ascii = ascii;
    if (existing != migrations.end()) {
      // Copied whole before the old record is let go: assigning field by
      // field could stop halfway when memory runs out.
      MigrationState replacement = record;
      std::swap(existing->second, replacement);
      table.active -= active(replacement);
      if (undo != nullptr) {
        undo->kind_ = MigrationUndo::Kind::kReplaced;
        undo->before_ = std::move(replacement);
      }
    } else {
      // Inserting one element either succeeds or leaves the map as it was.
      migrations.try_emplace(HashedText{record.variable_name, name.hash}, record);
      if (undo != nullptr) undo->kind_ = MigrationUndo::Kind::kInserted;
    }
    table.active += active(record);
    ++table.changes;
    if (undo != nullptr) undo->change_ = table.changes;
    outcome.record = std::move(record);
  });
  return finish(readable, std::move(outcome));
}

template <class Change>
MeshResult<MigrationState> MigrationController::change_stage(const KeyText& variable_name,
                                                             MigrationUndo* undo, Change change) {
  const HashedKey& name = hash_(variable_name);
  ChangeOutcome outcome;
  const bool readable = table_.write([&](Table& table) {
    auto found = table.migrations.find(name);
    if (found == table.migrations.end()) {
      outcome.error = not_in_progress(name.text);
      return;
    }
    // The changed record, its text and the copy of the text returned to
    // the caller are all made before the table changes.
    MigrationState changed = found->second;
    outcome.error = change(changed);
    if (outcome.error) return;
    render_ready_text(changed);
    std::string answer_text = changed.ready_text;
    if (undo != nullptr) {
      undo->kind_ = MigrationUndo::Kind::kStageChanged;
      commit_stage_change(found->second, undo->before_);
    }
    table.active = table.active - active(found->second) + active(changed);
    commit_stage_change(changed, found->second);
    changed.ready_text.swap(answer_text);
    ++table.changes;
    if (undo != nullptr) undo->change_ = table.changes;
    outcome.record = std::move(changed);
  });
  return finish(readable, std::move(outcome));
}

MeshResult<MigrationState> MigrationController::advance(const KeyText& variable_name,
                                                        std::uint64_t discrepancy_count,
                                                        std::uint64_t keys_migrated,
                                                        MigrationUndo* undo) {
  return change_stage(variable_name, undo, [&](MigrationState& record) -> std::optional<MeshError> {
    if (record.stage >= kStageDone) {
      return failure("Migration for '" + std::string(variable_name.text()) +
                     "' is already complete");
    }
    move_to_stage(record, static_cast<std::uint8_t>(record.stage + 1), current_timestamp(*clock_));
    // Unsigned arithmetic wraps modulo 2^64, as the counters should.
    record.discrepancy_count += discrepancy_count;
    record.keys_migrated += keys_migrated;
    return std::nullopt;
  });
}

MeshResult<MigrationState> MigrationController::rollback(const KeyText& variable_name,
                                                         MigrationUndo* undo) {
  return change_stage(variable_name, undo, [&](MigrationState& record) -> std::optional<MeshError> {
    if (record.stage == 0)
      return failure("Already at initial stage \u2014 cannot roll back further");
    if (record.stage >= kStageDone) return failure("Cannot roll back a completed migration");
    move_to_stage(record, static_cast<std::uint8_t>(record.stage - 1), current_timestamp(*clock_));
    return std::nullopt;
  });
}

bool MigrationController::undo(const KeyText& variable_name, MigrationUndo& undo) noexcept {
  const HashedKey& name = hash_(variable_name);
  const MigrationUndo::Kind kind = std::exchange(undo.kind_, MigrationUndo::Kind::kNone);
  if (kind == MigrationUndo::Kind::kNone) return false;
  bool undone = false;
  table_.write(
      [&](Table& table) {
        if (undo.change_ != table.changes) return;
        auto found = table.migrations.find(name);
        if (found == table.migrations.end()) return;
        const std::uint64_t was_active = active(found->second);
        switch (kind) {
          case MigrationUndo::Kind::kInserted:
            table.migrations.erase(found);
            table.active -= was_active;
            break;
          case MigrationUndo::Kind::kReplaced:
            found->second = std::move(undo.before_);
            table.active = table.active - was_active + active(found->second);
            break;
          case MigrationUndo::Kind::kStageChanged:
            commit_stage_change(undo.before_, found->second);
            table.active = table.active - was_active + active(found->second);
            break;
          case MigrationUndo::Kind::kNone:
            return;
        }
        ++table.changes;
        undone = true;
      },
      OuterLock::kKeep);
  return undone;
}

MeshResult<bool> MigrationController::append_record(const KeyText& variable_name, std::string& out,
                                                    bool* ascii) const {
  const HashedKey& name = hash_(variable_name);
  bool found = false;
  const bool readable = table_.read([&](const Table& table) {
    auto record = table.migrations.find(name);
    if (record == table.migrations.end()) return;
    write_migration_state(record->second, out);
    if (ascii != nullptr) *ascii = record->second.record_is_ascii;
    found = true;
  });
  if (!readable) return unexpected(poisoned());
  return found;
}

MeshResult<RecordRead> MigrationController::read_record(const KeyText& variable_name,
                                                        std::span<char> room, std::size_t* size,
                                                        bool* ascii) const {
  const HashedKey& name = hash_(variable_name);
  RecordRead read = RecordRead::kAbsent;
  const bool readable = table_.read([&](const Table& table) {
    auto record = table.migrations.find(name);
    if (record == table.migrations.end()) return;
    read = copy_record(record->second.ready_text, room, size);
    if (ascii != nullptr) *ascii = record->second.record_is_ascii;
  });
  if (!readable) return unexpected(poisoned());
  return read;
}

MeshResult<void> MigrationController::append_records(std::string& out, bool* ascii) const {
  bool all_ascii = true;
  const bool readable = table_.read([&](const Table& table) {
    out += '[';
    bool first = true;
    for (const auto& [name, record] : table.migrations) {
      if (!first) out += ',';
      first = false;
      write_migration_state(record, out);
      all_ascii = all_ascii && record.record_is_ascii;
    }
    out += ']';
  });
  if (!readable) return unexpected(poisoned());
  if (ascii != nullptr) *ascii = all_ascii;
  return {};
}

std::uint64_t MigrationController::record_count() const {
  std::uint64_t count = 0;
  table_.read([&](const Table& table) { count = table.migrations.size(); });
  return count;
}

std::uint64_t MigrationController::count_active() const {
  std::uint64_t count = 0;
  table_.read([&](const Table& table) { count = table.active; });
  return count;
}

}  // namespace vennu
