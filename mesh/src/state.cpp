#include "state.h"

#include <algorithm>
#include <utility>

namespace vennu {
namespace {

MeshError poisoned() { return MeshError::state_error("state lock poisoned"); }

}  // namespace

InMemoryStateStore::InMemoryStateStore() = default;

MeshResult<std::optional<JsonText>> InMemoryStateStore::get(std::string_view key) const {
  std::optional<JsonText> value;
  const bool readable = entries_.read([&](const TextMap<JsonText>& entries) {
    if (auto found = entries.find(key); found != entries.end()) value = found->second;
  });
  if (!readable) return unexpected(poisoned());
  return value;
}

MeshResult<void> InMemoryStateStore::set(std::string_view key, JsonText value) {
  // Whatever value this replaces is released after the lock, not under it.
  const bool readable = entries_.write([&](TextMap<JsonText>& entries) {
    if (auto found = entries.find(key); found != entries.end()) {
      found->second.swap(value);
    } else {
      entries.emplace(std::string(key), std::move(value));
    }
  });
  if (!readable) return unexpected(poisoned());
  return {};
}

MeshResult<void> InMemoryStateStore::erase(std::string_view key) {
  JsonText removed;
  const bool readable = entries_.write([&](TextMap<JsonText>& entries) {
    if (auto found = entries.find(key); found != entries.end()) {
      removed = std::move(found->second);
      entries.erase(found);
    }
  });
  if (!readable) return unexpected(poisoned());
  return {};
}

MeshResult<bool> InMemoryStateStore::exists(std::string_view key) const {
  bool present = false;
  const bool readable = entries_.read(
      [&](const TextMap<JsonText>& entries) { present = entries.find(key) != entries.end(); });
  if (!readable) return unexpected(poisoned());
  return present;
}

MeshResult<std::vector<std::string>> InMemoryStateStore::keys_with_prefix(
    std::string_view prefix) const {
  std::vector<std::string> keys;
  const bool readable = entries_.read([&](const TextMap<JsonText>& entries) {
    for (const auto& [key, value] : entries) {
      if (key.starts_with(prefix)) keys.push_back(key);
    }
  });
  if (!readable) return unexpected(poisoned());
  // std::string compares its bytes as unsigned char, which is the byte order
  // wanted; the copies are ours, so they are sorted outside the lock.
  std::sort(keys.begin(), keys.end());
  return keys;
}

std::uint64_t InMemoryStateStore::key_count() const {
  std::uint64_t count = 0;
  entries_.read([&](const TextMap<JsonText>& entries) { count = entries.size(); });
  return count;
}

}  // namespace vennu
