// Docstrings of the VennuMesh type and its members. Each method's starts with
// its text signature and a "--" line, which the interpreter turns into
// __text_signature__.

#pragma once

#include <Python.h>

PyDoc_STRVAR(module_doc, "Python module `vennu_mesh`.");

PyDoc_STRVAR(mesh_type_doc,
    "VennuMesh(app_name, plan_json=\"\")\n"
    "--\n"
    "\n"
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

PyDoc_STRVAR(app_name_doc, "Application name.");

PyDoc_STRVAR(register_agent_doc,
    "register_agent($self, agent_type, agent_id, instance=0, metadata_json=None)\n"
    "--\n"
    "\n"
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

PyDoc_STRVAR(update_agent_status_doc,
    "update_agent_status($self, agent_id, status)\n"
    "--\n"
    "\n"
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

PyDoc_STRVAR(deregister_agent_doc,
    "deregister_agent($self, agent_id)\n"
    "--\n"
    "\n"
    "Deregister an agent.  No-op if the ID does not exist.");

PyDoc_STRVAR(get_agent_doc,
    "get_agent($self, agent_id)\n"
    "--\n"
    "\n"
    "Look up an agent by ID.\n"
    "\n"
    "Returns:\n"
    "    JSON string for the agent, or ``None`` if not found.");

PyDoc_STRVAR(list_agents_doc,
    "list_agents($self, agent_type=None, status=None)\n"
    "--\n"
    "\n"
    "List agents, optionally filtered.\n"
    "\n"
    "Args:\n"
    "    agent_type: Filter by type name (``None`` = all types).\n"
    "    status:     Filter by status string (``None`` = all statuses).\n"
    "\n"
    "Returns:\n"
    "    JSON array string of agent records.");

PyDoc_STRVAR(route_agent_call_doc,
    "route_agent_call($self, agent_type, agent_id, method, args_json=\"{}\")\n"
    "--\n"
    "\n"
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

PyDoc_STRVAR(state_get_doc,
    "state_get($self, key)\n"
    "--\n"
    "\n"
    "Get a value from the shared state store.\n"
    "\n"
    "Returns:\n"
    "    JSON string for the value, or ``None`` if the key does not exist.");

PyDoc_STRVAR(state_set_doc,
    "state_set($self, key, value_json)\n"
    "--\n"
    "\n"
    "Set a value in the shared state store.\n"
    "\n"
    "Args:\n"
    "    key:        Arbitrary string key.\n"
    "    value_json: JSON-encoded value to store.");

PyDoc_STRVAR(state_delete_doc,
    "state_delete($self, key)\n"
    "--\n"
    "\n"
    "Delete a key from the state store.  No-op if the key does not exist.");

PyDoc_STRVAR(state_exists_doc,
    "state_exists($self, key)\n"
    "--\n"
    "\n"
    "Check whether a key exists in the state store.");

PyDoc_STRVAR(state_keys_doc,
    "state_keys($self, prefix=\"\")\n"
    "--\n"
    "\n"
    "Return all keys that start with `prefix` (sorted).");

PyDoc_STRVAR(start_migration_doc,
    "start_migration($self, variable_name, source_backend, target_backend)\n"
    "--\n"
    "\n"
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

PyDoc_STRVAR(advance_migration_doc,
    "advance_migration($self, variable_name, discrepancy_count=0, keys_migrated=0)\n"
    "--\n"
    "\n"
    "Advance a migration to its next stage.\n"
    "\n"
    "Args:\n"
    "    variable_name:     Storage variable name.\n"
    "    discrepancy_count: Number of read discrepancies observed in this stage.\n"
    "    keys_migrated:     Number of keys copied during this stage.\n"
    "\n"
    "Returns:\n"
    "    JSON string of the updated :class:`MigrationState`.");

PyDoc_STRVAR(rollback_migration_doc,
    "rollback_migration($self, variable_name)\n"
    "--\n"
    "\n"
    "Roll back a migration by one stage.\n"
    "\n"
    "Returns:\n"
    "    JSON string of the updated :class:`MigrationState`.");

PyDoc_STRVAR(get_migration_doc,
    "get_migration($self, variable_name)\n"
    "--\n"
    "\n"
    "Get the current migration state for a variable.\n"
    "\n"
    "Returns:\n"
    "    JSON string, or ``None`` if no migration exists for this variable.");

PyDoc_STRVAR(list_migrations_doc,
    "list_migrations($self)\n"
    "--\n"
    "\n"
    "List all migrations (active and completed).\n"
    "\n"
    "Returns:\n"
    "    JSON array string.");

PyDoc_STRVAR(publish_doc,
    "publish($self, topic, payload_json)\n"
    "--\n"
    "\n"
    "Publish a message to a topic.\n"
    "\n"
    "Args:\n"
    "    topic:        Topic name string.\n"
    "    payload_json: JSON-encoded message payload.\n"
    "\n"
    "Returns:\n"
    "    Number of active receivers that received the message.");

PyDoc_STRVAR(health_snapshot_doc,
    "health_snapshot($self)\n"
    "--\n"
    "\n"
    "Return a JSON health snapshot of the entire mesh.\n"
    "\n"
    "The snapshot includes agent counts by status, state-store key count,\n"
    "active migration count, and channel topic count.");

PyDoc_STRVAR(plan_json_doc,
    "plan_json($self)\n"
    "--\n"
    "\n"
    "Return the solved plan as a JSON string.");

