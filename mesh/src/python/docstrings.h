// Docstrings of the VennuMesh type and its members. A method's text
// signature and "--" line, which the interpreter turns into
// __text_signature__, are written in front of it from the method's table
// (arguments.h), so the parameters are named in one place only.

#pragma once

#include <Python.h>

constexpr char module_doc[] = PyDoc_STR("Python module `vennu_mesh`.");

constexpr char mesh_type_doc[] = PyDoc_STR(
    "The runtime mesh for a Vennu application.\n"
    "\n"
    "Create one per application process (Python):\n"
    "\n"
    "```python\n"
    "mesh = VennuMesh(\"myapp\", plan_json)\n"
    "```\n"
    "\n"
    "All methods are synchronous and GIL-aware — they release the GIL during\n"
    "any blocking work.");

constexpr char app_name_doc[] = PyDoc_STR("Application name.");

constexpr char register_agent_doc[] = PyDoc_STR(
    "Register a new agent instance.\n"
    "\n"
    "Args:\n"
    "    agent_type:    Class name, e.g. ``\"Customer\"``.\n"
    "    agent_id:      Unique identity key, e.g. ``\"customer-123\"``.\n"
    "    instance:      Replica index (0-based, default 0).\n"
    "    metadata_json: Optional JSON object with extra fields.\n"
    "\n"
    "Returns:\n"
    "    JSON string representing the created :class:`AgentEntry`.\n"
    "\n"
    "Raises:\n"
    "    RuntimeError: If the agent ID is already registered.");

constexpr char update_agent_status_doc[] = PyDoc_STR(
    "Update the status of a registered agent.\n"
    "\n"
    "Args:\n"
    "    agent_id: The agent's unique ID.\n"
    "    status:   One of ``\"starting\"``, ``\"running\"``, ``\"idle\"``,\n"
    "              ``\"stopping\"``, ``\"stopped\"``, ``\"error\"``.\n"
    "\n"
    "Raises:\n"
    "    ValueError: If the status string is not recognised.\n"
    "    KeyError:   If the agent ID is not registered.");

constexpr char deregister_agent_doc[] =
    PyDoc_STR("Deregister an agent.  No-op if the ID does not exist.");

constexpr char get_agent_doc[] = PyDoc_STR(
    "Look up an agent by ID.\n"
    "\n"
    "Returns:\n"
    "    JSON string for the agent, or ``None`` if not found.");

constexpr char list_agents_doc[] = PyDoc_STR(
    "List agents, optionally filtered.\n"
    "\n"
    "Args:\n"
    "    agent_type: Filter by type name (``None`` = all types).\n"
    "    status:     Filter by status string (``None`` = all statuses).\n"
    "\n"
    "Returns:\n"
    "    JSON array string of agent records.");

constexpr char route_agent_call_doc[] = PyDoc_STR(
    "Route a call to an agent and return routing metadata as JSON.\n"
    "\n"
    "This method validates that the agent exists and is not stopped/errored,\n"
    "then marks it as ``\"running\"`` and returns a routing descriptor.  The\n"
    "actual Python method dispatch is performed by the caller using the\n"
    "returned metadata.\n"
    "\n"
    "Args:\n"
    "    agent_type: Agent class name.\n"
    "    agent_id:   Agent identity key.\n"
    "    method:     Method name to invoke.\n"
    "    args_json:  JSON object of keyword arguments (default ``\"{}\"``) .\n"
    "\n"
    "Returns:\n"
    "    JSON object ``{\"status\": \"routed\", \"agent_id\": \"…\", …}``.\n"
    "\n"
    "Raises:\n"
    "    KeyError:   If the agent is not registered or has stopped.");

constexpr char state_get_doc[] = PyDoc_STR(
    "Get a value from the shared state store.\n"
    "\n"
    "Returns:\n"
    "    JSON string for the value, or ``None`` if the key does not exist.");

constexpr char state_set_doc[] = PyDoc_STR(
    "Set a value in the shared state store.\n"
    "\n"
    "Args:\n"
    "    key:        Arbitrary string key.\n"
    "    value_json: JSON-encoded value to store.");

constexpr char state_delete_doc[] =
    PyDoc_STR("Delete a key from the state store.  No-op if the key does not exist.");

constexpr char state_exists_doc[] = PyDoc_STR("Check whether a key exists in the state store.");

constexpr char state_keys_doc[] = PyDoc_STR("Return all keys that start with `prefix` (sorted).");

constexpr char start_migration_doc[] = PyDoc_STR(
    "Start a zero-downtime migration for a storage variable.\n"
    "\n"
    "Args:\n"
    "    variable_name:  Fully-qualified storage name, e.g. ``\"counter.Counts\"``.\n"
    "    source_backend: Current backend name, e.g. ``\"sqlite\"``.\n"
    "    target_backend: Target backend name, e.g. ``\"redis\"``.\n"
    "\n"
    "Returns:\n"
    "    JSON string of the initial :class:`MigrationState` (stage 1).\n"
    "\n"
    "Raises:\n"
    "    ValueError: If a non-complete migration already exists for this variable.");

constexpr char advance_migration_doc[] = PyDoc_STR(
    "Advance a migration to its next stage.\n"
    "\n"
    "Args:\n"
    "    variable_name:     Storage variable name.\n"
    "    discrepancy_count: Number of read discrepancies observed in this stage.\n"
    "    keys_migrated:     Number of keys copied during this stage.\n"
    "\n"
    "Returns:\n"
    "    JSON string of the updated :class:`MigrationState`.");

constexpr char rollback_migration_doc[] = PyDoc_STR(
    "Roll back a migration by one stage.\n"
    "\n"
    "Returns:\n"
    "    JSON string of the updated :class:`MigrationState`.");

constexpr char get_migration_doc[] = PyDoc_STR(
    "Get the current migration state for a variable.\n"
    "\n"
    "Returns:\n"
    "    JSON string, or ``None`` if no migration exists for this variable.");

constexpr char list_migrations_doc[] = PyDoc_STR(
    "List all migrations (active and completed).\n"
    "\n"
    "Returns:\n"
    "    JSON array string.");

constexpr char publish_doc[] = PyDoc_STR(
    "Publish a message to a topic.\n"
    "\n"
    "Args:\n"
    "    topic:        Topic name string.\n"
    "    payload_json: JSON-encoded message payload.\n"
    "\n"
    "Returns:\n"
    "    Number of active receivers that received the message.");

constexpr char health_snapshot_doc[] = PyDoc_STR(
    "Return a JSON health snapshot of the entire mesh.\n"
    "\n"
    "The snapshot includes agent counts by status, state-store key count,\n"
    "active migration count, and channel topic count.");

constexpr char plan_json_doc[] = PyDoc_STR("Return the solved plan as a JSON string.");
