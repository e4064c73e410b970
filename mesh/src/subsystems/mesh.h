// The state of one VennuMesh object: the plan and the four subsystems. Plain
// C++; the Python type wraps it.

#pragma once

#include <memory>
#include <string>

#include "base/timestamp.h"
#include "subsystems/channel.h"
#include "subsystems/migration.h"
#include "subsystems/plan.h"
#include "subsystems/registry.h"
#include "subsystems/state.h"

namespace vennu {

struct Mesh {
  Mesh(Plan parsed_plan, std::string migration_app_name, const std::shared_ptr<const Clock>& clock)
      : plan(std::move(parsed_plan)),
        registry(clock, KeyHashing::kByCaller),
        migrations(std::move(migration_app_name), clock, KeyHashing::kByCaller),
        channels(clock, KeyHashing::kByCaller) {}

  const Plan plan;
  // Its ids, the state store's keys, the migrations' variable names and the
  // topics are hashed by the interpreter's hash of their str, which the str
  // caches, so a lookup with a key Python already hashed hashes nothing.
  AgentRegistry registry;
  InMemoryStateStore state_store{InMemoryStateStore::KeyHashing::kByCaller};
  MigrationController migrations;
  MeshChannel channels;
};

}  // namespace vennu
