"""Plain-Python meshes with the same methods and results as VennuMesh.

These are the baselines the benchmark measures against: what a Python developer
would write without a native module. Dicts hold the tables, each subsystem has
its own lock, and records are written compactly with generic objects in sorted
key order. `PeerMesh` does its JSON work with the standard json module;
`OrjsonPeerMesh` is the same code with orjson's loads and dumps, what a
developer who profiles would reach for (None when orjson is not installed).
"""

import json
import threading
from datetime import datetime, timezone

__all__ = ["PeerMesh", "OrjsonPeerMesh"]

_STATUSES = ("starting", "running", "idle", "stopping", "stopped", "error")
_STATUS_SET = frozenset(_STATUSES)
_STAGE_NAMES = ("idle", "shadow_write", "shadow_read", "dual_read",
                "new_primary", "cleanup", "done")
_DONE = 6
_U64 = 1 << 64
_U32_MAX = (1 << 32) - 1
_NODE = "localhost"

def _sorted_value(value):
    if isinstance(value, dict):
        return {k: _sorted_value(value[k]) for k in sorted(value)}
    if isinstance(value, list):
        return [_sorted_value(v) for v in value]
    return value


def _now():
    t = datetime.now(timezone.utc)
    us = t.microsecond
    if us == 0:
        spec = "seconds"
    elif us % 1000 == 0:
        spec = "milliseconds"
    else:
        spec = "microseconds"
    return t.isoformat(timespec=spec)


def _quote(text):
    out = (text.replace("\\", "\\\\").replace('"', '\\"').replace("\t", "\\t")
           .replace("\r", "\\r").replace("\n", "\\n").replace("\0", "\\0"))
    return f'"{out}"'


def _check_u64(value):
    value = value.__index__()
    if not 0 <= value < _U64:
        raise OverflowError("int too big to convert" if value > 0
                            else "can't convert negative int to unsigned")
    return value


def _parse_plan(parse, app_name, plan_json):
    default = {"app_name": app_name, "backends": {}, "functions": [], "agents": []}
    if not plan_json:
        return default
    text = plan_json.strip()
    if not text or text == "{}":
        return dict(default, app_name="")
    raw = parse(text)
    if isinstance(raw, list):
        if not raw:
            raise ValueError("Serialization error: invalid length 0, "
                             "expected struct Plan with 4 elements")
        raw = dict(zip(("app_name", "backends", "functions", "agents"), raw))
    if not isinstance(raw, dict) or "app_name" not in raw:
        raise ValueError("Serialization error: missing field `app_name`")
    backends = {}
    for name, spec in raw.get("backends", {}).items():
        if isinstance(spec, list):
            spec = dict(zip(("backend_type", "config"), spec))
        backends[name] = {"backend_type": spec["backend_type"],
                          "config": _sorted_value(spec.get("config"))}
    return {"app_name": raw["app_name"], "backends": backends,
            "functions": list(raw.get("functions", [])),
            "agents": list(raw.get("agents", []))}


def _make_peer(name, encode_value, encode_record, decode):
    """Builds the peer class around one set of JSON functions.

    Generic values are written with encode_value, which sorts keys; records
    keep their field order, so they go through encode_record, which does not
    sort (their nested generic values are sorted once, when they enter the
    mesh). The functions are closed over rather than looked up on the instance
    so that each variant pays exactly what its codec costs.
    """

    def _parse(text):
        try:
            return decode(text)
        except json.JSONDecodeError as exc:
            raise ValueError(f"Serialization error: {exc}") from None

    class Peer:
        """Runtime mesh of one application, in pure Python."""

        def __init__(self, app_name, plan_json=""):
            self._plan = _parse_plan(_parse, app_name, plan_json)
            self._migration_app = self._plan["app_name"] or app_name
            self._agents = {}
            self._agents_lock = threading.Lock()
            self._state = {}
            self._state_lock = threading.Lock()
            self._migrations = {}
            self._migrations_lock = threading.Lock()
            self._topics = set()
            self._topics_lock = threading.Lock()

        @property
        def app_name(self):
            return self._plan["app_name"]

        # Agents

        def register_agent(self, agent_type, agent_id, instance=0, metadata_json=None):
            if not 0 <= instance <= _U32_MAX:
                raise OverflowError("out of range integral type conversion attempted")
            metadata = {} if metadata_json is None else _sorted_value(_parse(metadata_json))
            with self._agents_lock:
                if agent_id in self._agents:
                    raise RuntimeError(f"Agent '{agent_id}' is already registered")
                now = _now()
                entry = {"agent_id": agent_id, "agent_type": agent_type,
                         "status": "starting", "instance": instance,
                         "registered_at": now, "last_active": now,
                         "metadata": metadata}
                self._agents[agent_id] = entry
                return encode_record(entry)

        def update_agent_status(self, agent_id, status):
            if status not in _STATUS_SET:
                raise ValueError(f"Unknown status {_quote(status)}. Valid values: "
                                 "starting, running, idle, stopping, stopped, error")
            with self._agents_lock:
                entry = self._agents.get(agent_id)
                if entry is None:
                    raise KeyError(f"Agent '/{agent_id}' not found in registry")
                entry["status"] = status
                entry["last_active"] = _now()

        def deregister_agent(self, agent_id):
            with self._agents_lock:
                self._agents.pop(agent_id, None)

        def get_agent(self, agent_id):
            with self._agents_lock:
                entry = self._agents.get(agent_id)
                return None if entry is None else encode_record(entry)

        def list_agents(self, agent_type=None, status=None):
            with self._agents_lock:
                return encode_record([
                    e for e in self._agents.values()
                    if (agent_type is None or e["agent_type"] == agent_type)
                    and (status is None or e["status"] == status)])

        def route_agent_call(self, agent_type, agent_id, method, args_json="{}"):
            _parse(args_json)
            with self._agents_lock:
                entry = self._agents.get(agent_id)
                if entry is None or entry["status"] in ("stopped", "error"):
                    raise KeyError(f"Agent '{agent_type}/{agent_id}' not found in registry")
                entry["status"] = "running"
                entry["last_active"] = _now()
            return encode_value({"agent_id": agent_id, "agent_type": agent_type,
                                  "method": method, "node": _NODE, "status": "routed"})

        # Shared state

        def state_get(self, key):
            with self._state_lock:
                if key not in self._state:
                    return None
                value = self._state[key]
            return encode_value(value)

        def state_set(self, key, value_json):
            value = _parse(value_json)
            with self._state_lock:
                self._state[key] = value

        def state_delete(self, key):
            with self._state_lock:
                self._state.pop(key, None)

        def state_exists(self, key):
            with self._state_lock:
                return key in self._state

        def state_keys(self, prefix=""):
            with self._state_lock:
                return sorted(k for k in self._state if k.startswith(prefix))

        # Migrations

        def start_migration(self, variable_name, source_backend, target_backend):
            with self._migrations_lock:
                old = self._migrations.get(variable_name)
                if old is not None and old["stage"] < _DONE:
                    raise ValueError(
                        f"Migration error: Migration for '{variable_name}' already in "
                        f"progress at stage {old['stage']} ({old['stage_name']})")
                now = _now()
                record = {"variable_name": variable_name,
                          "source_backend": source_backend,
                          "target_backend": target_backend,
                          "stage": 1, "stage_name": _STAGE_NAMES[1],
                          "started_at": now, "advanced_at": now,
                          "discrepancy_count": 0, "keys_migrated": 0,
                          "app_name": self._migration_app}
                self._migrations[variable_name] = record
                return encode_record(record)

        def advance_migration(self, variable_name, discrepancy_count=0, keys_migrated=0):
            discrepancy_count = _check_u64(discrepancy_count)
            keys_migrated = _check_u64(keys_migrated)
            with self._migrations_lock:
                record = self._migrations.get(variable_name)
                if record is None:
                    raise ValueError("Migration error: No migration in progress "
                                     f"for '{variable_name}'")
                if record["stage"] == _DONE:
                    raise ValueError(f"Migration error: Migration for '{variable_name}' "
                                     "is already complete")
                stage = record["stage"] + 1
                record["stage"] = stage
                record["stage_name"] = _STAGE_NAMES[stage]
                record["advanced_at"] = _now()
                record["discrepancy_count"] = (record["discrepancy_count"] + discrepancy_count) % _U64
                record["keys_migrated"] = (record["keys_migrated"] + keys_migrated) % _U64
                return encode_record(record)

        def rollback_migration(self, variable_name):
            with self._migrations_lock:
                record = self._migrations.get(variable_name)
                if record is None:
                    raise ValueError("Migration error: No migration in progress "
                                     f"for '{variable_name}'")
                if record["stage"] == 0:
                    raise ValueError("Migration error: Already at initial stage "
                                     "\u2014 cannot roll back further")
                if record["stage"] == _DONE:
                    raise ValueError("Migration error: Cannot roll back a completed migration")
                stage = record["stage"] - 1
                record["stage"] = stage
                record["stage_name"] = _STAGE_NAMES[stage]
                record["advanced_at"] = _now()
                return encode_record(record)

        def get_migration(self, variable_name):
            with self._migrations_lock:
                record = self._migrations.get(variable_name)
                return None if record is None else encode_record(record)

        def list_migrations(self):
            with self._migrations_lock:
                return encode_record(list(self._migrations.values()))

        # Topics

        def publish(self, topic, payload_json):
            _parse(payload_json)
            with self._topics_lock:
                self._topics.add(topic)
            return 0

        # Views

        def _counts(self):
            with self._agents_lock:
                total = len(self._agents)
                by_status = dict.fromkeys(_STATUSES, 0)
                for entry in self._agents.values():
                    by_status[entry["status"]] += 1
            with self._state_lock:
                keys = len(self._state)
            with self._migrations_lock:
                active = sum(1 for r in self._migrations.values() if r["stage"] < _DONE)
            return total, by_status, keys, active

        def health_snapshot(self):
            total, by_status, keys, active = self._counts()
            with self._topics_lock:
                topics = len(self._topics)
            return encode_value({
                "agents": {"error": by_status["error"], "idle": by_status["idle"],
                           "running": by_status["running"], "total": total},
                "app": self.app_name,
                "channels": {"topics": topics},
                "migrations": {"active": active},
                "state": {"keys": keys},
                "status": "ok"})

        def plan_json(self):
            return encode_record(self._plan)

        def __repr__(self):
            total, _, keys, active = self._counts()
            return (f"VennuMesh(app={_quote(self.app_name)}, agents={total}, "
                    f"state_keys={keys}, migrations={active})")

    Peer.__name__ = Peer.__qualname__ = name
    return Peer


def _orjson_peer():
    try:
        import orjson
    except ImportError:
        return None
    dumps, sort_keys = orjson.dumps, orjson.OPT_SORT_KEYS

    def encode_value(value):
        return dumps(value, option=sort_keys).decode()

    def encode_record(value):
        return dumps(value).decode()

    return _make_peer("OrjsonPeerMesh", encode_value, encode_record, orjson.loads)


PeerMesh = _make_peer(
    "PeerMesh",
    json.JSONEncoder(sort_keys=True, separators=(",", ":"), ensure_ascii=False).encode,
    json.JSONEncoder(separators=(",", ":"), ensure_ascii=False).encode,
    json.loads)
OrjsonPeerMesh = _orjson_peer()
