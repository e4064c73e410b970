// The shared state store: text keys to JSON values.
//
// Values are stored as their compact JSON text, immutable and shared: a read
// hands out another reference to the same text, which is as good as a deep
// copy since nobody can change it, and needs no JSON work under the lock.
// Callers canonicalize before set (json::canonicalize) and write nothing
// after get.
//
// Thread safety: every member may be called concurrently. get, exists,
// keys_with_prefix and key_count take the lock shared; set and delete
// exclusively. A failure escaping set or delete poisons the store for good:
// its operations then fail with StateError "state lock poisoned" and
// key_count reads 0.

#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "guarded.h"
#include "seeded_hash.h"

namespace vennu {

using JsonText = std::shared_ptr<const std::string>;

class StateStore {
 public:
  virtual ~StateStore() = default;
  virtual MeshResult<std::optional<JsonText>> get(std::string_view key) const = 0;
  virtual MeshResult<void> set(std::string_view key, JsonText value) = 0;
  virtual MeshResult<void> erase(std::string_view key) = 0;
  virtual MeshResult<bool> exists(std::string_view key) const = 0;
  // Keys beginning with prefix, sorted by their bytes.
  virtual MeshResult<std::vector<std::string>> keys_with_prefix(std::string_view prefix) const = 0;
};

class InMemoryStateStore final : public StateStore {
 public:
  InMemoryStateStore();

  MeshResult<std::optional<JsonText>> get(std::string_view key) const override;
  MeshResult<void> set(std::string_view key, JsonText value) override;
  MeshResult<void> erase(std::string_view key) override;
  MeshResult<bool> exists(std::string_view key) const override;
  MeshResult<std::vector<std::string>> keys_with_prefix(std::string_view prefix) const override;

  // 0 when poisoned.
  std::uint64_t key_count() const;

 private:
  Guarded<TextMap<JsonText>> entries_;
};

}  // namespace vennu
