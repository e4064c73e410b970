#include "subsystems/migration.h"

#include <optional>
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
  // Sized for the unescaped text.
  constexpr std::size_t kFixedBytes = 320;
  fill_ready_text(record,
                  kFixedBytes + record.variable_name.size() + record.source_backend.size() +
                      record.target_backend.size() + record.app_name.size(),
                  0, [&](std::string& text) { render_record(record, text); });
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
    : app_name_(std::move(app_name)), clock_(std::move(clock)), hash_(hashing), table_(poisoned) {}

MeshResult<MigrationState> MigrationController::start(const KeyText& variable_name,
                                                      std::string_view source_backend,
                                                      std::string_view target_backend,
                                                      MigrationUndo* undo) {
  const HashedKey& name = hash_(variable_name);
  // Only the names can bring characters beyond ASCII into a record (its
  // escapes are ASCII).
  const bool ascii = is_ascii(name.text) && is_ascii(source_backend) && is_ascii(target_backend) &&
                     is_ascii(app_name_);
  return table_.write([&](Table& table) -> MeshResult<MigrationState> {
    HashedTextMap<MigrationState>& migrations = table.records;
    auto existing = migrations.find(name);
    if (existing != migrations.end() && existing->second.stage < kStageDone) {
      const MigrationState& active = existing->second;
      return unexpected(failure("Migration for '" + std::string(name.text) +
                                "' already in progress at stage " + std::to_string(active.stage) +
                                " (" + std::string(active.stage_name) + ")"));
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
    return record;
  });
}

template <class Change>
MeshResult<MigrationState> MigrationController::change_stage(const KeyText& variable_name,
                                                             MigrationUndo* undo, Change change) {
  const HashedKey& name = hash_(variable_name);
  return table_.write([&](Table& table) -> MeshResult<MigrationState> {
    auto found = table.records.find(name);
    if (found == table.records.end()) return unexpected(not_in_progress(name.text));
    // The changed record, its text and the copy of the text returned to
    // the caller are all made before the table changes.
    MigrationState changed = found->second;
    if (std::optional<MeshError> refused = change(changed)) return unexpected(std::move(*refused));
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
    return changed;
  });
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
  table_.take_back([&](Table& table) {
    if (undo.change_ != table.changes) return;
    auto found = table.records.find(name);
    if (found == table.records.end()) return;
    const std::uint64_t was_active = active(found->second);
    switch (kind) {
      case MigrationUndo::Kind::kInserted:
        table.records.erase(found);
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
  });
  return undone;
}

MeshResult<bool> MigrationController::append_record(const KeyText& variable_name, std::string& out,
                                                    bool* ascii) const {
  return table_.append_record(hash_(variable_name), out, ascii);
}

MeshResult<RecordRead> MigrationController::read_record(const KeyText& variable_name,
                                                        std::span<char> room, std::size_t* size,
                                                        bool* ascii) const {
  return table_.read_record(hash_(variable_name), room, size, ascii);
}

MeshResult<void> MigrationController::append_records(std::string& out, bool* ascii) const {
  return table_.append_records([](const MigrationState&) { return true; }, out, ascii);
}

std::uint64_t MigrationController::record_count() const {
  return table_.count([](const Table& table) { return table.records.size(); });
}

std::uint64_t MigrationController::count_active() const {
  return table_.count([](const Table& table) { return table.active; });
}

}  // namespace vennu
