#include "subsystems/registry.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "base/byte_words.h"
#include "base/quoted_text.h"
#include "json/json.h"

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

// The longest status text ("starting", "stopping").
constexpr std::size_t kLongestStatus = 8;

// The record field by field; *status_at and *active_at, when given, receive
// where the texts of the status and of last_active start in out.
void render_record(const AgentEntry& entry, std::string& out, std::size_t* status_at = nullptr,
                   std::size_t* active_at = nullptr) {
  out += "{\"agent_id\":";
  json::write_string(entry.agent_id, out);
  out += ",\"agent_type\":";
  json::write_string(entry.agent_type, out);
  out += ",\"status\":\"";
  if (status_at != nullptr) *status_at = out.size();
  out += status_text(entry.status);  // nothing to escape
  out += "\",\"instance\":";
  json::write_unsigned(entry.instance, out);
  out += ",\"registered_at\":\"";
  out += entry.registered_at.view();
  out += "\",\"last_active\":\"";
  if (active_at != nullptr) *active_at = out.size();
  out += entry.last_active.view();
  out += "\",\"metadata\":";
  out += entry.metadata_json;
  out += '}';
}

// Renders entry's ready text from its fields, with the room to take any
// status and any last_active in place; may throw std::bad_alloc, leaving
// the entry as it was.
void render_ready_text(AgentEntry& entry) {
  // Sized for the unescaped text.
  constexpr std::size_t kFixedBytes = 120 + 2 * Timestamp::kMaxSize;
  std::size_t status_at = 0;
  std::size_t active_at = 0;
  fill_ready_text(
      entry,
      kFixedBytes + entry.agent_id.size() + entry.agent_type.size() + entry.metadata_json.size(),
      kLongestStatus + Timestamp::kMaxSize,
      [&](std::string& text) { render_record(entry, text, &status_at, &active_at); });
  entry.ready_status_at = status_at;
  entry.ready_active_at = active_at;
}

// splice for a piece of another size, which moves the text after it. Out
// of line: it is the rare case.
[[gnu::noinline]] void splice_resized(std::string& text, std::size_t at, std::size_t size,
                                      std::string_view piece) {
  const std::size_t tail = text.size() - at - size;
  if (piece.size() > size) text.resize(text.size() + (piece.size() - size));
  char* const data = text.data();
  std::memmove(data + at + piece.size(), data + at + size, tail);
  std::memcpy(data + at, piece.data(), piece.size());
  if (piece.size() < size) text.resize(text.size() - (size - piece.size()));
}

// Replaces the size bytes of text at offset at with piece, a status or a
// timestamp. Growing text is left to the caller, who keeps the room:
// nothing is allocated here.
inline void splice(std::string& text, std::size_t at, std::size_t size, std::string_view piece) {
  if (piece.size() == size) {
    // Mostly so: a status set again, a timestamp of as many digits.
    static_assert(kLongestStatus <= kShortBytes && Timestamp::kMaxSize <= kShortBytes);
    copy_short_bytes(text.data() + at, piece.data(), size);
  } else {
    splice_resized(text, at, size, piece);
  }
}

// Sets the status and last_active of an entry, its ready text with them:
// in place, within the room render_ready_text left, so that nothing is
// allocated.
void restamp(AgentEntry& entry, AgentStatus status, const Timestamp& now) {
  std::string& text = entry.ready_text;
  if (!text.empty()) {
    // last_active comes after the status: replaced first, its offset holds.
    splice(text, entry.ready_active_at, entry.last_active.size(), now.view());
    if (status != entry.status) {
      const std::string_view was = status_text(entry.status);
      const std::string_view becomes = status_text(status);
      splice(text, entry.ready_status_at, was.size(), becomes);
      entry.ready_active_at = entry.ready_active_at + becomes.size() - was.size();
    }
  }
  entry.status = status;
  entry.last_active = now;
}

}  // namespace

void write_agent_entry(const AgentEntry& entry, std::string& out) {
  if (entry.ready_text.empty()) {
    render_record(entry, out);
  } else {
    out += entry.ready_text;
  }
}

AgentRegistry::AgentRegistry(std::shared_ptr<const Clock> clock, KeyHashing hashing)
    : clock_(std::move(clock)), hash_(hashing), table_(poisoned) {}

MeshResult<void> AgentRegistry::register_agent_into(std::string_view agent_type,
                                                    const KeyText& agent_id, std::uint32_t instance,
                                                    std::string metadata_json, std::string& out,
                                                    bool* ascii, std::uint64_t* change) {
  const HashedKey& id = hash_(agent_id);
  if (metadata_json.empty()) metadata_json = "{}";
  // Everything but the timestamps is made before the lock is taken.
  AgentEntry entry;
  entry.agent_id = id.text;
  entry.agent_type = agent_type;
  entry.instance = instance;
  // Only the id, the type and the metadata can bring characters beyond
  // ASCII into the record; the rest is fixed text, digits and timestamps.
  entry.record_is_ascii = is_ascii(id.text) && is_ascii(agent_type) && is_ascii(metadata_json);
  entry.metadata_json = std::move(metadata_json);
  return table_.write([&](Table& table) -> MeshResult<void> {
    // One look-up: the entry goes in first (try_emplace leaves it alone when
    // the id is taken) and comes out again when anything after that fails,
    // which leaves the records and counts as they were.
    auto [slot, inserted] =
        table.records.try_emplace(HashedText{std::string(id.text), id.hash}, std::move(entry));
    if (!inserted) return unexpected(MeshError::agent_already_registered(std::string(id.text)));
    AgentEntry& fresh = slot->second;
    try {
      fresh.registered_at = current_timestamp(*clock_);
      fresh.last_active = fresh.registered_at;
      render_ready_text(fresh);
      write_agent_entry(fresh, out);
    } catch (...) {
      table.records.erase(slot);
      throw;
    }
    if (ascii != nullptr) *ascii = fresh.record_is_ascii;
    ++table.by_status[static_cast<std::size_t>(AgentStatus::kStarting)];
    ++table.changes;
    if (change != nullptr) *change = table.changes;
    return {};
  });
}

MeshResult<void> AgentRegistry::deregister(const KeyText& agent_id) {
  const HashedKey& id = hash_(agent_id);
  return table_.write([&](Table& table) {
    // Erasing by a HashedKey needs C++23; find first.
    if (auto found = table.records.find(id); found != table.records.end()) {
      --table.by_status[static_cast<std::size_t>(found->second.status)];
      table.records.erase(found);
      ++table.changes;
    }
  });
}

bool AgentRegistry::undo_register(const KeyText& agent_id, std::uint64_t change) noexcept {
  const HashedKey& id = hash_(agent_id);
  bool undone = false;
  table_.take_back([&](Table& table) {
    if (change != table.changes) return;
    auto found = table.records.find(id);
    if (found == table.records.end()) return;
    --table.by_status[static_cast<std::size_t>(found->second.status)];
    table.records.erase(found);
    ++table.changes;
    undone = true;
  });
  return undone;
}

template <class Refused>
MeshResult<AgentRegistry::StatusChange> AgentRegistry::change_status(const KeyText& agent_id,
                                                                     AgentStatus status,
                                                                     Refused refused) {
  const HashedKey& id = hash_(agent_id);
  return table_.write([&](Table& table) {
    auto entry = table.records.find(id);
    if (entry == table.records.end()) return StatusChange::kUnknownId;
    const AgentStatus was = entry->second.status;
    if (refused(was)) return StatusChange::kRefused;
    // The clock may throw; read it before changing anything.
    const Timestamp now = current_timestamp(*clock_);
    restamp(entry->second, status, now);
    --table.by_status[static_cast<std::size_t>(was)];
    ++table.by_status[static_cast<std::size_t>(status)];
    ++table.changes;
    return StatusChange::kSet;
  });
}

MeshResult<void> AgentRegistry::update_status(const KeyText& agent_id, AgentStatus status) {
  auto change = change_status(agent_id, status, [](AgentStatus) { return false; });
  if (!change) return unexpected(std::move(change.error()));
  if (*change == StatusChange::kUnknownId) {
    return unexpected(MeshError::agent_not_found("", std::string(agent_id.text())));
  }
  return {};
}

MeshResult<bool> AgentRegistry::update_status_unless(const KeyText& agent_id, AgentStatus status,
                                                     std::span<const AgentStatus> refused) {
  auto change = change_status(agent_id, status, [refused](AgentStatus was) {
    return std::find(refused.begin(), refused.end(), was) != refused.end();
  });
  if (!change) return unexpected(std::move(change.error()));
  return *change == StatusChange::kSet;
}

MeshResult<bool> AgentRegistry::append_record(const KeyText& agent_id, std::string& out,
                                              bool* ascii) const {
  return table_.append_record(hash_(agent_id), out, ascii);
}

MeshResult<RecordRead> AgentRegistry::read_record(const KeyText& agent_id, std::span<char> room,
                                                  std::size_t* size, bool* ascii) const {
  return table_.read_record(hash_(agent_id), room, size, ascii);
}

MeshResult<void> AgentRegistry::append_records(std::optional<std::string_view> agent_type,
                                               std::optional<std::string_view> status,
                                               std::string& out, bool* ascii) const {
  const auto matches = [&](const AgentEntry& entry) {
    return (!agent_type || *agent_type == entry.agent_type) &&
           (!status || *status == status_text(entry.status));
  };
  return table_.append_records(matches, out, ascii);
}

std::uint64_t AgentRegistry::count_by_status(std::string_view status) const {
  const std::optional<AgentStatus> wanted = parse_status(status);
  if (!wanted) return 0;
  return table_.count(
      [&](const Table& table) { return table.by_status[static_cast<std::size_t>(*wanted)]; });
}

std::uint64_t AgentRegistry::agent_count() const {
  return table_.count([](const Table& table) { return table.records.size(); });
}

AgentRegistry::Counts AgentRegistry::counts() const {
  return table_.count([](const Table& table) {
    return Counts{table.records.size(), table.by_status};
  });
}

}  // namespace vennu
