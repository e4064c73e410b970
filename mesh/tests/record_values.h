// The records of the registry and of the migration controller as values,
// read back from the texts their public reads write (a text that is no
// record throws), with no ready text: written, they are rendered afresh.

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

inline AgentEntry record_of(const AgentRegistry&, const json::Value& record) {
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

inline MigrationState record_of(const MigrationController&, const json::Value& record) {
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

template <class Subsystem>
using Record = decltype(record_of(std::declval<Subsystem&>(), json::Value()));

// The records of the array that written holds, written by append_records.
template <class Subsystem>
MeshResult<std::vector<Record<Subsystem>>> records_of(const Subsystem& subsystem,
                                                      MeshResult<void> written,
                                                      const std::string& text) {
  if (!written) return unexpected(std::move(written).error());
  const json::Value array = parsed(text);
  std::vector<Record<Subsystem>> records;
  for (const json::Value& record : array.as_array()) {
    records.push_back(record_of(subsystem, record));
  }
  return records;
}

}  // namespace record_values

// The text of a record value: its ready text, or its fields written one by
// one when it has none.
inline std::string record(const AgentEntry& entry) {
  std::string out;
  write_agent_entry(entry, out);
  return out;
}

inline std::string record(const MigrationState& state) {
  std::string out;
  write_migration_state(state, out);
  return out;
}

// The JSON array of the records' texts, as append_records writes it.
template <class Record>
std::string array_of(const std::vector<Record>& records) {
  std::string out = "[";
  for (const Record& value : records) {
    if (out.size() > 1) out += ',';
    out += record(value);
  }
  return out + "]";
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
    return record_values::record_of(registry, record_values::parsed(out));
  } catch (...) {
    registry.undo_register(agent_id, *change);
    throw;
  }
}

// The record of key, as append_record writes it.
template <class Subsystem>
MeshResult<std::optional<record_values::Record<Subsystem>>> get(const Subsystem& subsystem,
                                                                const KeyText& key) {
  using Found = std::optional<record_values::Record<Subsystem>>;
  std::string out;
  auto found = subsystem.append_record(key, out);
  if (!found) return unexpected(std::move(found).error());
  if (!*found) return Found();
  return Found(record_values::record_of(subsystem, record_values::parsed(out)));
}

// The records in append_records' order.
inline MeshResult<std::vector<AgentEntry>> list(const AgentRegistry& registry,
                                                std::optional<std::string_view> agent_type,
                                                std::optional<std::string_view> status) {
  std::string out;
  return record_values::records_of(registry, registry.append_records(agent_type, status, out), out);
}

inline MeshResult<std::vector<MigrationState>> list_all(const MigrationController& controller) {
  std::string out;
  return record_values::records_of(controller, controller.append_records(out), out);
}

}  // namespace vennu
