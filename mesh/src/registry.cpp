#include "registry.h"

#include <array>
#include <utility>

#include "json.h"
#include "quoted_text.h"

namespace vennu {
namespace {

constexpr std::array<std::string_view, 6> kStatusTexts = {
    "starting", "running", "idle", "stopping", "stopped", "error",
};

MeshError poisoned() { return MeshError::state_error("registry lock poisoned"); }

}  // namespace

std::string_view status_text(AgentStatus status) {
  return kStatusTexts[static_cast<std::size_t>(status)];
}

std::optional<AgentStatus> parse_status(std::string_view text) {
  for (std::size_t i = 0; i < kStatusTexts.size(); ++i) {
    if (kStatusTexts[i] == text) return static_cast<AgentStatus>(i);
  }
  return std::nullopt;
}

std::string unknown_status_message(std::string_view text) {
  return "Unknown status " + quote_text(text) +
         ". Valid values: starting, running, idle, stopping, stopped, error";
}

namespace {

// The text of a record up to "registered_at": with the status left out,
// which goes at the returned offset.
std::size_t render_ready_text(const AgentEntry& entry, std::string& out) {
  out += "{\"agent_id\":";
  json::write_string(entry.agent_id, out);
  out += ",\"agent_type\":";
  json::write_string(entry.agent_type, out);
  out += ",\"status\":\"";
  const std::size_t status_at = out.size();
  out += "\",\"instance\":";
  json::write_unsigned(entry.instance, out);
  out += ",\"registered_at\":";
  return status_at;
}

}  // namespace

void write_agent_entry(const AgentEntry& entry, std::string& out) {
  // A record made outside the registry has no ready text: render it here.
  std::string rendered;
  std::string_view ready = entry.ready_text;
  std::size_t status_at = entry.ready_status_at;
  if (ready.empty()) {
    status_at = render_ready_text(entry, rendered);
    ready = rendered;
  }
  out += ready.substr(0, status_at);
  out += status_text(entry.status);  // plain lowercase letters: nothing to escape
  out += ready.substr(status_at);
  append_quoted_timestamp(entry.registered_at, out);
  out += ",\"last_active\":";
  append_quoted_timestamp(entry.last_active, out);
  out += ",\"metadata\":";
  out += entry.metadata_json;
  out += '}';
}

AgentRegistry::AgentRegistry(std::shared_ptr<const Clock> clock) : clock_(std::move(clock)) {}

MeshResult<AgentEntry> AgentRegistry::register_agent(std::string_view agent_type,
                                                     std::string_view agent_id,
                                                     std::uint32_t instance,
                                                     std::string metadata_json,
                                                     std::uint64_t* change) {
  if (metadata_json.empty()) metadata_json = "{}";
  // Everything but the timestamps is made before the lock is taken.
  AgentEntry ready;
  ready.agent_id = agent_id;
  ready.agent_type = agent_type;
  ready.instance = instance;
  ready.ready_status_at = render_ready_text(ready, ready.ready_text);
  ready.record_is_ascii = shape_of(ready.ready_text).width == CharWidth::kAscii &&
                          shape_of(metadata_json).width == CharWidth::kAscii;
  std::optional<AgentEntry> created;
  const bool readable = agents_.write([&](TextMap<AgentEntry>& agents) {
    if (agents.find(agent_id) != agents.end()) return;
    AgentEntry entry = std::move(ready);
    entry.registered_at = current_timestamp(*clock_);
    entry.last_active = entry.registered_at;
    entry.metadata_json = std::move(metadata_json);
    // Inserting one element either succeeds or leaves the map as it was.
    agents.emplace(entry.agent_id, entry);
    created = std::move(entry);
    ++changes_;
    if (change != nullptr) *change = changes_;
  });
  if (!readable) return unexpected(poisoned());
  if (!created) return unexpected(MeshError::agent_already_registered(std::string(agent_id)));
  return std::move(*created);
}

MeshResult<void> AgentRegistry::deregister(std::string_view agent_id) {
  const bool readable = agents_.write([&](TextMap<AgentEntry>& agents) {
    // Erasing by string_view needs C++23; find first.
    if (auto found = agents.find(agent_id); found != agents.end()) {
      agents.erase(found);
      ++changes_;
    }
  });
  if (!readable) return unexpected(poisoned());
  return {};
}

bool AgentRegistry::undo_register(std::string_view agent_id, std::uint64_t change) noexcept {
  bool undone = false;
  agents_.write([&](TextMap<AgentEntry>& agents) {
    if (change != changes_) return;
    auto found = agents.find(agent_id);
    if (found == agents.end()) return;
    agents.erase(found);
    ++changes_;
    undone = true;
  });
  return undone;
}

MeshResult<void> AgentRegistry::update_status(std::string_view agent_id, AgentStatus status) {
  bool found = false;
  const bool readable = agents_.write([&](TextMap<AgentEntry>& agents) {
    auto entry = agents.find(agent_id);
    if (entry == agents.end()) return;
    found = true;
    // The clock may throw; read it before changing anything.
    const Timestamp now = current_timestamp(*clock_);
    entry->second.status = status;
    entry->second.last_active = now;
    ++changes_;
  });
  if (!readable) return unexpected(poisoned());
  if (!found) return unexpected(MeshError::agent_not_found("", std::string(agent_id)));
  return {};
}

MeshResult<std::optional<AgentEntry>> AgentRegistry::get(std::string_view agent_id) const {
  std::optional<AgentEntry> copy;
  const bool readable = agents_.read([&](const TextMap<AgentEntry>& agents) {
    if (auto found = agents.find(agent_id); found != agents.end()) copy = found->second;
  });
  if (!readable) return unexpected(poisoned());
  return copy;
}

MeshResult<bool> AgentRegistry::append_record(std::string_view agent_id, std::string& out,
                                               bool* ascii) const {
  bool found = false;
  const bool readable = agents_.read([&](const TextMap<AgentEntry>& agents) {
    auto entry = agents.find(agent_id);
    if (entry == agents.end()) return;
    write_agent_entry(entry->second, out);
    if (ascii != nullptr) *ascii = entry->second.record_is_ascii;
    found = true;
  });
  if (!readable) return unexpected(poisoned());
  return found;
}

MeshResult<std::optional<AgentStatus>> AgentRegistry::status_of(std::string_view agent_id) const {
  std::optional<AgentStatus> status;
  const bool readable = agents_.read([&](const TextMap<AgentEntry>& agents) {
    if (auto found = agents.find(agent_id); found != agents.end()) status = found->second.status;
  });
  if (!readable) return unexpected(poisoned());
  return status;
}

MeshResult<std::vector<AgentEntry>> AgentRegistry::list(
    std::optional<std::string_view> agent_type, std::optional<std::string_view> status) const {
  std::vector<AgentEntry> kept;
  const bool readable = agents_.read([&](const TextMap<AgentEntry>& agents) {
    for (const auto& [id, entry] : agents) {
      if (agent_type && *agent_type != entry.agent_type) continue;
      if (status && *status != status_text(entry.status)) continue;
      kept.push_back(entry);
    }
  });
  if (!readable) return unexpected(poisoned());
  return kept;
}

std::uint64_t AgentRegistry::count_by_status(std::string_view status) const {
  const std::optional<AgentStatus> wanted = parse_status(status);
  std::uint64_t count = 0;
  agents_.read([&](const TextMap<AgentEntry>& agents) {
    if (!wanted) return;
    for (const auto& [id, entry] : agents) count += entry.status == *wanted;
  });
  return count;
}

std::uint64_t AgentRegistry::agent_count() const {
  std::uint64_t count = 0;
  agents_.read([&](const TextMap<AgentEntry>& agents) { count = agents.size(); });
  return count;
}

}  // namespace vennu
