#include "migration.h"

#include <cstring>
#include <iterator>
#include <utility>

#include "json.h"
#include "text_shape.h"

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

// The fields a stage change alters; none of them owns memory.
void commit_stage_change(const MigrationState& changed, MigrationState& record) {
  record.stage = changed.stage;
  record.stage_name = changed.stage_name;
  record.advanced_at = changed.advanced_at;
  record.discrepancy_count = changed.discrepancy_count;
  record.keys_migrated = changed.keys_migrated;
}

std::uint64_t active(const MigrationState& record) { return record.stage < kStageDone ? 1 : 0; }

void move_to_stage(MigrationState& record, std::uint8_t stage, Timestamp now) {
  record.stage = stage;
  record.stage_name = kStageNames[stage];
  record.advanced_at = now;
}

}  // namespace

namespace {

// The text of a record up to "stage":, then from ,"app_name": on, which
// starts at the returned offset.
std::size_t render_ready_text(std::string_view variable_name, std::string_view source_backend,
                              std::string_view target_backend, std::string_view app_name,
                              std::string& out) {
  out += "{\"variable_name\":";
  json::write_string(variable_name, out);
  out += ",\"source_backend\":";
  json::write_string(source_backend, out);
  out += ",\"target_backend\":";
  json::write_string(target_backend, out);
  out += ",\"stage\":";
  const std::size_t tail_at = out.size();
  out += ",\"app_name\":";
  json::write_string(app_name, out);
  out += '}';
  return tail_at;
}

// The decimal digits of value, written at the end of buffer.
std::string_view unsigned_text(std::uint64_t value, char (&buffer)[24]) {
  char* const end = std::end(buffer);
  char* first = end;
  do {
    *--first = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  return {first, static_cast<std::size_t>(end - first)};
}

}  // namespace

void write_migration_state(const MigrationState& state, std::string& out) {
  // A record made outside the controller has no ready text: render it here.
  std::string rendered;
  std::string_view ready = state.ready_text;
  std::size_t tail_at = state.ready_tail_at;
  if (ready.empty()) {
    tail_at = render_ready_text(state.variable_name, state.source_backend, state.target_backend,
                                state.app_name, rendered);
    ready = rendered;
  }
  // Sized once and filled piece by piece, as the agent records are.
  char stage[24];
  char discrepancies[24];
  char keys[24];
  const std::string_view discrepancy_text = unsigned_text(state.discrepancy_count, discrepancies);
  const std::string_view keys_text = unsigned_text(state.keys_migrated, keys);
  const std::string_view stage_text = unsigned_text(state.stage, stage);
  const std::string_view started_at = state.started_at.view();
  const std::string_view advanced_at = state.advanced_at.view();
  constexpr std::string_view kStageName = ",\"stage_name\":\"";
  constexpr std::string_view kStartedAt = "\",\"started_at\":\"";
  constexpr std::string_view kAdvancedAt = "\",\"advanced_at\":\"";
  constexpr std::string_view kDiscrepancies = "\",\"discrepancy_count\":";
  constexpr std::string_view kKeys = ",\"keys_migrated\":";
  const std::size_t start = out.size();
  out.resize(start + ready.size() + stage_text.size() + kStageName.size() +
             state.stage_name.size() + kStartedAt.size() + started_at.size() + kAdvancedAt.size() +
             advanced_at.size() + kDiscrepancies.size() + discrepancy_text.size() + kKeys.size() +
             keys_text.size());
  char* cursor = out.data() + start;
  const auto put = [&cursor](std::string_view piece) {
    std::memcpy(cursor, piece.data(), piece.size());
    cursor += piece.size();
  };
  put(ready.substr(0, tail_at));
  put(stage_text);
  put(kStageName);
  put(state.stage_name);  // letters and underscores: nothing to escape
  put(kStartedAt);
  put(started_at);
  put(kAdvancedAt);
  put(advanced_at);
  put(kDiscrepancies);
  put(discrepancy_text);
  put(kKeys);
  put(keys_text);
  put(ready.substr(tail_at));
}

MigrationController::MigrationController(std::string app_name, std::shared_ptr<const Clock> clock)
    : app_name_(std::move(app_name)), clock_(std::move(clock)) {}

MeshResult<MigrationState> MigrationController::start(std::string_view variable_name,
                                                      std::string_view source_backend,
                                                      std::string_view target_backend,
                                                      MigrationUndo* undo) {
  // The unchanging text is made before the lock is taken.
  std::string ready_text;
  const std::size_t ready_tail_at =
      render_ready_text(variable_name, source_backend, target_backend, app_name_, ready_text);
  const bool ready_is_ascii = shape_of(ready_text).width == CharWidth::kAscii;
  ChangeOutcome outcome;
  const bool readable = table_.write([&](Table& table) {
    TextMap<MigrationState>& migrations = table.migrations;
    auto existing = migrations.find(variable_name);
    if (existing != migrations.end() && existing->second.stage < kStageDone) {
      const MigrationState& active = existing->second;
      outcome.error = failure("Migration for '" + std::string(variable_name) +
                              "' already in progress at stage " + std::to_string(active.stage) +
                              " (" + std::string(active.stage_name) + ")");
      return;
    }
    MigrationState record;
    record.variable_name = variable_name;
    record.source_backend = source_backend;
    record.target_backend = target_backend;
    record.stage = 1;
    record.stage_name = kStageNames[1];
    record.started_at = current_timestamp(*clock_);
    record.advanced_at = record.started_at;
    record.app_name = app_name_;
    record.ready_text = std::move(ready_text);
    record.ready_tail_at = ready_tail_at;
    record.record_is_ascii = ready_is_ascii;
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
      migrations.emplace(record.variable_name, record);
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
MeshResult<MigrationState> MigrationController::change_stage(std::string_view variable_name,
                                                             MigrationUndo* undo, Change change) {
  ChangeOutcome outcome;
  const bool readable = table_.write([&](Table& table) {
    auto found = table.migrations.find(variable_name);
    if (found == table.migrations.end()) {
      outcome.error = not_in_progress(variable_name);
      return;
    }
    // The copy returned to the caller is made before the table changes.
    MigrationState changed = found->second;
    outcome.error = change(changed);
    if (outcome.error) return;
    if (undo != nullptr) {
      undo->kind_ = MigrationUndo::Kind::kStageChanged;
      commit_stage_change(found->second, undo->before_);
    }
    table.active = table.active - active(found->second) + active(changed);
    commit_stage_change(changed, found->second);
    ++table.changes;
    if (undo != nullptr) undo->change_ = table.changes;
    outcome.record = std::move(changed);
  });
  return finish(readable, std::move(outcome));
}

MeshResult<MigrationState> MigrationController::advance(std::string_view variable_name,
                                                        std::uint64_t discrepancy_count,
                                                        std::uint64_t keys_migrated,
                                                        MigrationUndo* undo) {
  return change_stage(variable_name, undo, [&](MigrationState& record) -> std::optional<MeshError> {
    if (record.stage >= kStageDone) {
      return failure("Migration for '" + std::string(variable_name) + "' is already complete");
    }
    move_to_stage(record, static_cast<std::uint8_t>(record.stage + 1), current_timestamp(*clock_));
    // Unsigned arithmetic wraps modulo 2^64, as the counters should.
    record.discrepancy_count += discrepancy_count;
    record.keys_migrated += keys_migrated;
    return std::nullopt;
  });
}

MeshResult<MigrationState> MigrationController::rollback(std::string_view variable_name,
                                                         MigrationUndo* undo) {
  return change_stage(variable_name, undo, [&](MigrationState& record) -> std::optional<MeshError> {
    if (record.stage == 0)
      return failure("Already at initial stage \u2014 cannot roll back further");
    if (record.stage >= kStageDone) return failure("Cannot roll back a completed migration");
    move_to_stage(record, static_cast<std::uint8_t>(record.stage - 1), current_timestamp(*clock_));
    return std::nullopt;
  });
}

bool MigrationController::undo(std::string_view variable_name, MigrationUndo& undo) noexcept {
  const MigrationUndo::Kind kind = std::exchange(undo.kind_, MigrationUndo::Kind::kNone);
  if (kind == MigrationUndo::Kind::kNone) return false;
  bool undone = false;
  table_.write(
      [&](Table& table) {
        if (undo.change_ != table.changes) return;
        auto found = table.migrations.find(variable_name);
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

MeshResult<std::optional<MigrationState>> MigrationController::get(
    std::string_view variable_name) const {
  std::optional<MigrationState> copy;
  const bool readable = table_.read([&](const Table& table) {
    if (auto found = table.migrations.find(variable_name); found != table.migrations.end()) {
      copy = found->second;
    }
  });
  if (!readable) return unexpected(poisoned());
  return copy;
}

MeshResult<bool> MigrationController::append_record(std::string_view variable_name,
                                                    std::string& out, bool* ascii) const {
  bool found = false;
  const bool readable = table_.read([&](const Table& table) {
    auto record = table.migrations.find(variable_name);
    if (record == table.migrations.end()) return;
    write_migration_state(record->second, out);
    if (ascii != nullptr) *ascii = record->second.record_is_ascii;
    found = true;
  });
  if (!readable) return unexpected(poisoned());
  return found;
}

MeshResult<std::vector<MigrationState>> MigrationController::list_all() const {
  std::vector<MigrationState> records;
  const bool readable = table_.read([&](const Table& table) {
    records.reserve(table.migrations.size());
    for (const auto& [name, record] : table.migrations) records.push_back(record);
  });
  if (!readable) return unexpected(poisoned());
  return records;
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
