"""A small reference model of the VennuMesh method table, in plain Python.

It knows what each method answers for the arguments the property test
draws: exact results (timestamps aside) and exact exception classes and
messages. JSON texts it is given are drawn so that Python's json module
reads them as the mesh does (no doubles, no duplicate keys); texts that
are not JSON only have to fail with "Serialization error: ".
"""

import json

STATUSES = ("starting", "running", "idle", "stopping", "stopped", "error")
STAGES = ("idle", "shadow_write", "shadow_read", "dual_read", "new_primary", "cleanup", "done")
TIME = "<time>"


class Raises:
    """An expected exception: its exact class and, unless None, its argument."""

    def __init__(self, kind, message=None, prefix=None):
        self.kind, self.message, self.prefix = kind, message, prefix

    def __repr__(self):
        return f"Raises({self.kind.__name__}, {self.message or self.prefix!r})"


def refuse_constant(name):
    raise ValueError(name)


def canonical(text):
    return json.dumps(json.loads(text), sort_keys=True, separators=(",", ":"), ensure_ascii=False)


def parse(text):
    """The parsed value, or a Raises for a text that is not JSON."""
    try:
        return json.loads(text, parse_constant=refuse_constant)
    except ValueError:
        return Raises(ValueError, prefix="Serialization error: ")


class MeshModel:
    def __init__(self, app_name, plan_json=""):
        stripped = plan_json.strip()
        if plan_json == "":
            self.app_name = app_name
        elif stripped in ("", "{}"):
            self.app_name = ""
        else:
            plan = json.loads(plan_json)
            self.app_name = plan[0] if isinstance(plan, list) else plan["app_name"]
        self.migration_app = self.app_name or app_name
        self.agents = {}
        self.state = {}
        self.migrations = {}
        self.topics = set()

    # Agents

    def register_agent(self, agent_type, agent_id, instance=0, metadata_json=None):
        metadata = {} if metadata_json is None else parse(metadata_json)
        if isinstance(metadata, Raises):
            return metadata
        if agent_id in self.agents:
            return Raises(RuntimeError, f"Agent '{agent_id}' is already registered")
        self.agents[agent_id] = {
            "agent_id": agent_id, "agent_type": agent_type, "status": "starting",
            "instance": instance, "registered_at": TIME, "last_active": TIME,
            "metadata": metadata,
        }
        return dict(self.agents[agent_id])

    def update_agent_status(self, agent_id, status):
        if status not in STATUSES:
            return Raises(ValueError, f'Unknown status "{status}". Valid values: '
                          "starting, running, idle, stopping, stopped, error")
        if agent_id not in self.agents:
            return Raises(KeyError, f"Agent '/{agent_id}' not found in registry")
        self.agents[agent_id]["status"] = status
        return None

    def deregister_agent(self, agent_id):
        self.agents.pop(agent_id, None)
        return None

    def get_agent(self, agent_id):
        entry = self.agents.get(agent_id)
        return None if entry is None else dict(entry)

    def list_agents(self, agent_type=None, status=None):
        return [dict(entry) for entry in self.agents.values()
                if (agent_type is None or entry["agent_type"] == agent_type)
                and (status is None or entry["status"] == status)]

    def route_agent_call(self, agent_type, agent_id, method, args_json="{}"):
        if isinstance(parse(args_json), Raises):
            return parse(args_json)
        entry = self.agents.get(agent_id)
        if entry is None or entry["status"] in ("stopped", "error"):
            return Raises(KeyError, f"Agent '{agent_type}/{agent_id}' not found in registry")
        entry["status"] = "running"
        return {"agent_id": agent_id, "agent_type": agent_type, "method": method,
                "node": "localhost", "status": "routed"}

    # State

    def state_get(self, key):
        return self.state.get(key)

    def state_set(self, key, value_json):
        value = parse(value_json)
        if isinstance(value, Raises):
            return value
        self.state[key] = canonical(value_json)
        return None

    def state_delete(self, key):
        self.state.pop(key, None)
        return None

    def state_exists(self, key):
        return key in self.state

    def state_keys(self, prefix=""):
        if prefix is None:
            return Raises(TypeError, "argument 'prefix': 'NoneType' object cannot be converted to 'PyString'")
        return sorted((k for k in self.state if k.startswith(prefix)), key=lambda k: k.encode())

    # Migrations

    def start_migration(self, variable_name, source_backend, target_backend):
        old = self.migrations.get(variable_name)
        if old is not None and old["stage"] < 6:
            return Raises(ValueError, f"Migration error: Migration for '{variable_name}' already "
                          f"in progress at stage {old['stage']} ({old['stage_name']})")
        self.migrations[variable_name] = {
            "variable_name": variable_name, "source_backend": source_backend,
            "target_backend": target_backend, "stage": 1, "stage_name": STAGES[1],
            "started_at": TIME, "advanced_at": TIME, "discrepancy_count": 0,
            "keys_migrated": 0, "app_name": self.migration_app,
        }
        return dict(self.migrations[variable_name])

    def advance_migration(self, variable_name, discrepancy_count=0, keys_migrated=0):
        record = self.migrations.get(variable_name)
        if record is None:
            return Raises(ValueError, f"Migration error: No migration in progress for '{variable_name}'")
        if record["stage"] == 6:
            return Raises(ValueError, f"Migration error: Migration for '{variable_name}' is already complete")
        record["stage"] += 1
        record["stage_name"] = STAGES[record["stage"]]
        record["discrepancy_count"] = (record["discrepancy_count"] + discrepancy_count) % 2**64
        record["keys_migrated"] = (record["keys_migrated"] + keys_migrated) % 2**64
        return dict(record)

    def rollback_migration(self, variable_name):
        record = self.migrations.get(variable_name)
        if record is None:
            return Raises(ValueError, f"Migration error: No migration in progress for '{variable_name}'")
        if record["stage"] == 0:
            return Raises(ValueError, "Migration error: Already at initial stage \u2014 cannot roll back further")
        if record["stage"] == 6:
            return Raises(ValueError, "Migration error: Cannot roll back a completed migration")
        record["stage"] -= 1
        record["stage_name"] = STAGES[record["stage"]]
        return dict(record)

    def get_migration(self, variable_name):
        record = self.migrations.get(variable_name)
        return None if record is None else dict(record)

    def list_migrations(self):
        return [dict(record) for record in self.migrations.values()]

    # Channels and views

    def publish(self, topic, payload_json):
        payload = parse(payload_json)
        if isinstance(payload, Raises):
            return payload
        self.topics.add(topic)
        return 0

    def health_snapshot(self):
        count = lambda status: sum(e["status"] == status for e in self.agents.values())  # noqa: E731
        return {
            "agents": {"error": count("error"), "idle": count("idle"),
                       "running": count("running"), "total": len(self.agents)},
            "app": self.app_name,
            "channels": {"topics": len(self.topics)},
            "migrations": {"active": sum(r["stage"] < 6 for r in self.migrations.values())},
            "state": {"keys": len(self.state)},
            "status": "ok",
        }
