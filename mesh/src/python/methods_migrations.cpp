// The methods on migrations: starting, advancing and rolling one back,
// reading one and listing them; the migration controller does the work
// (subsystems/migration.h). This file makes their entry points too, so that
// each body inlines into its entry point (method_table.h).

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "answers.h"
#include "arguments.h"
#include "docstrings.h"
#include "errors.h"
#include "method_table.h"
#include "subsystems/mesh.h"

namespace vennu::python {
namespace {

PyObject* migration_answer(Mesh& mesh, HashedKey variable_name, const MigrationState& state,
                           MigrationUndo& undo) {
  return answer_or_undo([&](std::string& out) { write_migration_state(state, out); },
                        state.record_is_ascii, [&] { mesh.migrations.undo(variable_name, undo); });
}

constexpr auto start_migration_method =
    method("start_migration", start_migration_doc, param::key("variable_name"),
           param::text("source_backend"), param::text("target_backend"));

PyObject* start_migration(Mesh& mesh, HashedKey variable_name, std::string_view source_backend,
                          std::string_view target_backend) {
  MigrationUndo undo;
  auto state = mesh.migrations.start(variable_name, source_backend, target_backend, &undo);
  if (!state) return raise_mesh_error(state.error());
  return migration_answer(mesh, variable_name, *state, undo);
}

constexpr auto advance_migration_method =
    method("advance_migration", advance_migration_doc, param::key("variable_name"),
           param::u64("discrepancy_count", 0), param::u64("keys_migrated", 0));

PyObject* advance_migration(Mesh& mesh, HashedKey variable_name, std::uint64_t discrepancy_count,
                            std::uint64_t keys_migrated) {
  MigrationUndo undo;
  auto state = mesh.migrations.advance(variable_name, discrepancy_count, keys_migrated, &undo);
  if (!state) return raise_mesh_error(state.error());
  return migration_answer(mesh, variable_name, *state, undo);
}

constexpr auto rollback_migration_method =
    method("rollback_migration", rollback_migration_doc, param::key("variable_name"));

PyObject* rollback_migration(Mesh& mesh, HashedKey variable_name) {
  MigrationUndo undo;
  auto state = mesh.migrations.rollback(variable_name, &undo);
  if (!state) return raise_mesh_error(state.error());
  return migration_answer(mesh, variable_name, *state, undo);
}

constexpr auto get_migration_method =
    method("get_migration", get_migration_doc, param::key("variable_name"));

PyObject* get_migration(Mesh& mesh, HashedKey variable_name) {
  return record_answer(
      [&](std::span<char> room, std::size_t* size, bool* ascii) {
        return mesh.migrations.read_record(variable_name, room, size, ascii);
      },
      [&](std::string& out, bool* ascii) {
        return mesh.migrations.append_record(variable_name, out, ascii);
      });
}

constexpr auto list_migrations_method = method("list_migrations", list_migrations_doc);

PyObject* list_migrations(Mesh& mesh) {
  return record_list(mesh.migrations.record_count(), [&](std::string& out, bool* ascii) {
    return mesh.migrations.append_records(out, ascii);
  });
}

}  // namespace

bool migration_methods(std::span<PyMethodDef, kMigrationMethodCount> out) {
  return MethodTable<Method<start_migration_method, start_migration>,
                     Method<advance_migration_method, advance_migration>,
                     Method<rollback_migration_method, rollback_migration>,
                     Method<get_migration_method, get_migration>,
                     Method<list_migrations_method, list_migrations>>::fill(out);
}

}  // namespace vennu::python
