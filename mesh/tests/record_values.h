// The records of the registry and of the migration controller as values,
// read back from the texts they write, for tests to check the texts, the
// counts and the undos against. Only the public interface is used, so a
// record read back is what a caller gets. A text that is not a record
// throws, which fails the test.

#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json/json.h"
#include "subsystems/migration.h"
#include "subsystems/registry.h"

namespace vennu {

namespace record_values {

inline const json::Value& field(const json::Value& record, std::string_view key) {
  const json::Value* value = record.as_object().find(key);
  if (value == nullptr) throw std::runtime_error("a record without " + std::string(key));
  return *value;
}

inline const std::string& text(const json::Value& record, std::string_view key) {
  return field(record, key).as_string();
}

inline json::Value parsed(const std::string& text) {
  auto value = json::parse(text);
  if (!value) throw std::runtime_error(value.error().text() + ": " + text);
  return std::move(value).value();
}

}  // namespace record_values

// The fields of a record; ready_text stays empty, so that writing the value
// renders it field by field.
inline AgentEntry agent_entry_of(const json::Value& record) {
  using namespace record_values;
  AgentEntry entry;
  entry.agent_id = text(record, "agent_id");
  entry.agent_type = text(record, "agent_type");
  entry.status = parse_status(text(record, "status")).value();
  entry.instance = static_cast<std::uint32_t>(field(record, "instance").as_unsigned());
  entry.registered_at = Timestamp(text(record, "registered_at"));
  entry.last_active = Timestamp(text(record, "last_active"));
  entry.metadata_json = json::write(field(record, "metadata"));
  return entry;
}

inline MigrationState migration_state_of(const json::Value& record) {
  using namespace record_values;
  MigrationState state;
  state.variable_name = text(record, "variable_name");
  state.source_backend = text(record, "source_backend");
  state.target_backend = text(record, "target_backend");
  state.stage = static_cast<std::uint8_t>(field(record, "stage").as_unsigned());
  state.stage_name = kStageNames.at(state.stage);
  state.started_at = Timestamp(text(record, "started_at"));
  state.advanced_at = Timestamp(text(record, "advanced_at"));
  state.discrepancy_count = field(record, "discrepancy_count").as_unsigned();
  state.keys_migrated = field(record, "keys_migrated").as_unsigned();
  state.app_name = text(record, "app_name");
  return state;
}

// register_agent_into, answering the new entry. Like the facade, it takes
// the registration back when it cannot answer (out of memory).
inline MeshResult<AgentEntry> register_agent(AgentRegistry& registry, std::string_view agent_type,
                                             const KeyText& agent_id, std::uint32_t instance,
                                             std::string metadata_json,
                                             std::uint64_t* change = nullptr) {
  std::string out;
  std::uint64_t made = 0;
  if (change == nullptr) change = &made;
  auto registered = registry.register_agent_into(agent_type, agent_id, instance,
                                                 std::move(metadata_json), out, nullptr, change);
  if (!registered) return unexpected(std::move(registered).error());
  try {
    return agent_entry_of(record_values::parsed(out));
  } catch (...) {
    registry.undo_register(agent_id, *change);
    throw;
  }
}

inline MeshResult<std::optional<AgentEntry>> get(const AgentRegistry& registry,
                                                 const KeyText& agent_id) {
  std::string out;
  auto found = registry.append_record(agent_id, out);
  if (!found) return unexpected(std::move(found).error());
  if (!*found) return std::optional<AgentEntry>();
  return std::optional<AgentEntry>(agent_entry_of(record_values::parsed(out)));
}

// The entries append_records writes, in its order.
inline MeshResult<std::vector<AgentEntry>> list(const AgentRegistry& registry,
                                                std::optional<std::string_view> agent_type,
                                                std::optional<std::string_view> status) {
  std::string out;
  auto written = registry.append_records(agent_type, status, out);
  if (!written) return unexpected(std::move(written).error());
  std::vector<AgentEntry> entries;
  const json::Value array = record_values::parsed(out);
  for (const json::Value& record : array.as_array()) entries.push_back(agent_entry_of(record));
  return entries;
}

inline MeshResult<std::optional<MigrationState>> get(const MigrationController& controller,
                                                     const KeyText& variable_name) {
  std::string out;
  auto found = controller.append_record(variable_name, out);
  if (!found) return unexpected(std::move(found).error());
  if (!*found) return std::optional<MigrationState>();
  return std::optional<MigrationState>(migration_state_of(record_values::parsed(out)));
}

// The records append_records writes, in its order.
inline MeshResult<std::vector<MigrationState>> list_all(const MigrationController& controller) {
  std::string out;
  auto written = controller.append_records(out);
  if (!written) return unexpected(std::move(written).error());
  std::vector<MigrationState> records;
  const json::Value array = record_values::parsed(out);
  for (const json::Value& record : array.as_array()) records.push_back(migration_state_of(record));
  return records;
}

}  // namespace vennu
