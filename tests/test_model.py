"""Whole call sequences against the reference model in mesh_model.py.

Hypothesis drives a mesh and the model side by side: constructor variants,
every method, and hostile arguments (wrong types, str subclasses, non-str
keyword names, unknown keywords, texts that are not JSON, odd numbers).
Results, exception classes and messages must agree; timestamps are only
checked for their form.
"""

import json
import re

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

from mesh_model import STATUSES, MeshModel, Raises
from mesh_model import parse as parse_plan
from vennu_mesh import VennuMesh

pytestmark = pytest.mark.native_only

TIMESTAMP = re.compile(r"\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}(?:\.(?:\d{3}|\d{6}|\d{9}))?\+00:00")
TIME_FIELDS = ("registered_at", "last_active", "started_at", "advanced_at")


class Text(str):
    """A str subclass: accepted wherever a str is."""


class Number(int):
    """An int subclass: accepted wherever an int is."""


class Indexable:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


characters = st.characters(blacklist_categories=("Cs", "Cc"))
names = st.one_of(
    st.sampled_from(["a", "b", "agent-1", "é", "", "a ", "A", "x/y"]),
    st.text(characters, max_size=6),
)
maybe_subclass = st.sampled_from([str, Text])
json_values = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1) | st.text(characters, max_size=5),
    lambda inner: st.lists(inner, max_size=3)
    | st.dictionaries(st.text(characters, max_size=3), inner, max_size=3),
    max_leaves=8,
)
json_texts = st.builds(
    lambda value, ascii, spaced: json.dumps(
        value, ensure_ascii=ascii, separators=(", ", ": ") if spaced else (",", ":")
    ),
    json_values, st.booleans(), st.booleans(),
)
bad_json = st.sampled_from(["", "{", "[1,", "nul", "01", '"\\x"', '{"a" 1}', "NaN", "[1]x", "'a'", "[" * 200])
maybe_json = st.one_of(json_texts, json_texts, bad_json)
statuses = st.sampled_from(STATUSES + ("Running", "bogus", ""))
plans = st.sampled_from(["", "{}", "  ", '{"app_name":"p"}', '["q",{"db":["sqlite",1]},["f"],["A"]]'])
counts = st.one_of(st.integers(0, 2**64 - 1), st.sampled_from([2**64 - 1, 0, 1]))
not_text = st.sampled_from([1, None, b"x", 1.5, ["a"], ("a",)])

# Every method with the positions of its required str parameters and valid
# arguments for the rest.
TEXT_PARAMETERS = {
    "register_agent": (("agent_type", "agent_id"), ("T", "x")),
    "update_agent_status": (("agent_id", "status"), ("x", "idle")),
    "deregister_agent": (("agent_id",), ("x",)),
    "get_agent": (("agent_id",), ("x",)),
    "route_agent_call": (("agent_type", "agent_id", "method", "args_json"), ("T", "x", "m", "{}")),
    "state_get": (("key",), ("k",)),
    "state_set": (("key", "value_json"), ("k", "1")),
    "state_delete": (("key",), ("k",)),
    "state_exists": (("key",), ("k",)),
    "start_migration": (("variable_name", "source_backend", "target_backend"), ("v", "s", "t")),
    "advance_migration": (("variable_name",), ("v",)),
    "rollback_migration": (("variable_name",), ("v",)),
    "get_migration": (("variable_name",), ("v",)),
    "publish": (("topic", "payload_json"), ("t", "1")),
}


def type_name(value):
    return type(value).__qualname__


def masked_record(record):
    record = dict(record)
    for field in TIME_FIELDS:
        if field in record and record[field] != "<time>":
            assert TIMESTAMP.fullmatch(record[field]), record[field]
            record[field] = "<time>"
    return record


def normal(value):
    """A record or a list of records, comparable with the model's."""
    if isinstance(value, dict):
        return masked_record(value)
    if isinstance(value, list) and all(isinstance(item, dict) for item in value):
        return sorted((masked_record(item) for item in value), key=lambda r: json.dumps(r, sort_keys=True))
    return value


class MeshMachine(RuleBasedStateMachine):
    @initialize(app=names, plan=plans, form=st.sampled_from(["positional", "keywords", "subclass", "default"]))
    def create(self, app, plan, form):
        if form == "positional":
            self.mesh = VennuMesh(app, plan)
        elif form == "keywords":
            self.mesh = VennuMesh(plan_json=plan, app_name=app)
        elif form == "subclass":
            self.mesh = VennuMesh(Text(app), plan_json=Text(plan))
        else:
            plan = ""
            self.mesh = VennuMesh(app)
        self.model = MeshModel(app, plan)
        assert self.mesh.app_name == self.model.app_name

    def expect(self, expected, call):
        try:
            got = call()
        except Exception as error:  # noqa: BLE001 - compared with the model
            assert isinstance(expected, Raises), (error, expected)
            assert type(error) is expected.kind, (error, expected)
            if expected.message is not None:
                assert error.args == (expected.message,)
            if expected.prefix is not None:
                assert len(error.args) == 1 and error.args[0].startswith(expected.prefix), error.args
            return None
        assert not isinstance(expected, Raises), (got, expected)
        if isinstance(got, str) and got[:1] in "[{" and isinstance(expected, (dict, list)):
            got = json.loads(got)
        assert normal(got) == normal(expected), (got, expected)
        return got

    def both(self, method, *args, **kwargs):
        model_args = [str(a) if isinstance(a, str) else a for a in args]
        model_kwargs = {k: str(v) if isinstance(v, str) else v for k, v in kwargs.items()}
        expected = getattr(self.model, method)(*model_args, **model_kwargs)
        return self.expect(expected, lambda: getattr(self.mesh, method)(*args, **kwargs))

    # Agents

    @rule(kind=maybe_subclass, agent_type=names, agent_id=names, instance=st.integers(0, 2**32 - 1),
          metadata=st.one_of(st.none(), maybe_json))
    def register_agent(self, kind, agent_type, agent_id, instance, metadata):
        if metadata is None:
            self.both("register_agent", kind(agent_type), kind(agent_id), instance)
        else:
            self.both("register_agent", kind(agent_type), agent_id=kind(agent_id),
                      instance=Number(instance), metadata_json=metadata)

    @rule(agent_id=names, status=statuses)
    def update_agent_status(self, agent_id, status):
        self.both("update_agent_status", agent_id, status)

    @rule(agent_id=names)
    def deregister_agent(self, agent_id):
        self.both("deregister_agent", agent_id)

    @rule(agent_id=names)
    def get_agent(self, agent_id):
        self.both("get_agent", agent_id)

    @rule(agent_type=st.one_of(st.none(), names), status=st.one_of(st.none(), statuses))
    def list_agents(self, agent_type, status):
        self.both("list_agents", agent_type, status=status)

    @rule(agent_type=names, agent_id=names, method=names, args=st.one_of(st.none(), maybe_json))
    def route_agent_call(self, agent_type, agent_id, method, args):
        if args is None:
            self.both("route_agent_call", agent_type, agent_id, method)
        else:
            self.both("route_agent_call", agent_type, agent_id, method, args_json=args)

    # State

    @rule(kind=maybe_subclass, key=names, value=maybe_json)
    def state_set(self, kind, key, value):
        self.both("state_set", kind(key), kind(value))

    @rule(key=names)
    def state_get(self, key):
        got = self.both("state_get", key)
        if got is not None:
            assert got == self.model.state[key]

    @rule(key=names)
    def state_delete(self, key):
        self.both("state_delete", key)

    @rule(key=names)
    def state_exists(self, key):
        self.both("state_exists", key)

    @rule(prefix=st.one_of(st.none(), names))
    def state_keys(self, prefix):
        self.both("state_keys", prefix)

    # Migrations

    @rule(name=names, source=names, destination=names)
    def start_migration(self, name, source, destination):
        self.both("start_migration", name, source, destination)

    @rule(name=names, discrepancies=counts, keys=counts, form=st.sampled_from(["int", "index", "default"]))
    def advance_migration(self, name, discrepancies, keys, form):
        if form == "default":
            self.both("advance_migration", name)
        elif form == "index":
            expected = self.model.advance_migration(name, discrepancies, keys)
            self.expect(expected, lambda: self.mesh.advance_migration(
                name, Indexable(discrepancies), keys_migrated=Number(keys)))
        else:
            self.both("advance_migration", name, discrepancies, keys)

    @rule(name=names)
    def rollback_migration(self, name):
        self.both("rollback_migration", name)

    @rule(name=names)
    def get_migration(self, name):
        self.both("get_migration", name)

    @rule()
    def list_migrations(self):
        self.both("list_migrations")

    # Channels

    @rule(topic=names, payload=maybe_json)
    def publish(self, topic, payload):
        self.both("publish", topic, payload)

    # Hostile arguments: each fails before anything changes.

    @rule(method=st.sampled_from(sorted(TEXT_PARAMETERS)), data=st.data(), bad=not_text)
    def wrong_type_for_text(self, method, data, bad):
        parameters, valid = TEXT_PARAMETERS[method]
        index = data.draw(st.integers(0, len(parameters) - 1))
        args = list(valid)
        args[index] = bad
        message = f"argument '{parameters[index]}': '{type_name(bad)}' object cannot be converted to 'PyString'"
        self.expect(Raises(TypeError, message), lambda: getattr(self.mesh, method)(*args))

    @rule(method=st.sampled_from(sorted(TEXT_PARAMETERS)), data=st.data())
    def lone_surrogate(self, method, data):
        parameters, valid = TEXT_PARAMETERS[method]
        args = list(valid)
        args[data.draw(st.integers(0, len(parameters) - 1))] = "a\udc80"
        self.expect(Raises(UnicodeEncodeError), lambda: getattr(self.mesh, method)(*args))

    @rule(method=st.sampled_from(sorted(TEXT_PARAMETERS)), key=st.sampled_from([1, 2.5, ("x",), None, b"k"]))
    def non_str_keyword_name(self, method, key):
        _, valid = TEXT_PARAMETERS[method]
        self.expect(Raises(TypeError, "keywords must be strings"),
                    lambda: getattr(self.mesh, method)(*valid, **{key: "v"}))

    @rule(method=st.sampled_from(sorted(TEXT_PARAMETERS)), keyword=st.sampled_from(["bogus", "Key", "é"]),
          kind=maybe_subclass)
    def unknown_keyword(self, method, keyword, kind):
        _, valid = TEXT_PARAMETERS[method]
        message = f"VennuMesh.{method}() got an unexpected keyword argument '{keyword}'"
        self.expect(Raises(TypeError, message),
                    lambda: getattr(self.mesh, method)(*valid, **{kind(keyword): "v"}))

    @rule(value=st.sampled_from([-1, 2**32, -(2**70), 2**70, 1.5, "3", None, Indexable(-1)]))
    def odd_instance(self, value):
        if isinstance(value, int) and not 0 <= value < 2**32:
            expected = Raises(OverflowError, "out of range integral type conversion attempted"
                              if abs(value) < 2**63 else None)
        elif isinstance(value, Indexable):
            expected = Raises(OverflowError, "out of range integral type conversion attempted")
        else:
            expected = Raises(TypeError, f"argument 'instance': '{type_name(value)}' object "
                              "cannot be interpreted as an integer")
        self.expect(expected, lambda: self.mesh.register_agent("T", "odd", value))

    @rule(value=st.sampled_from([-1, 2**64, -(2**70), 1.5, "3", None, True]), which=st.integers(1, 2))
    def odd_count(self, value, which):
        args = ["v", 0, 0]
        args[which] = value
        if value is True:
            expected = self.model.advance_migration(*args)
        elif isinstance(value, int):
            expected = Raises(OverflowError)
        else:
            name = ("discrepancy_count", "keys_migrated")[which - 1]
            expected = Raises(TypeError, f"argument '{name}': '{type_name(value)}' object "
                              "cannot be interpreted as an integer")
        self.expect(expected, lambda: self.mesh.advance_migration(*args))

    @rule(key=st.sampled_from([1, 2.5, ("x",)]), plan=plans)
    def constructor_with_non_str_keyword(self, key, plan):
        self.expect(Raises(TypeError, "keywords must be strings"),
                    lambda: VennuMesh(app_name="a", **{"plan_json": plan, key: "v"}))

    @rule(app=st.one_of(names, not_text), plan=st.one_of(plans, bad_json, st.sampled_from([None, 5, b"{}"])))
    def constructor_refusals(self, app, plan):
        if not isinstance(app, str):
            expected = Raises(TypeError, f"argument 'app_name': '{type_name(app)}' object "
                              "cannot be converted to 'PyString'")
        elif not isinstance(plan, str):
            expected = Raises(TypeError, f"argument 'plan_json': '{type_name(plan)}' object "
                              "cannot be converted to 'PyString'")
        elif plan.strip() in ("", "{}") or not isinstance(parse_plan(plan), Raises):
            expected = MeshModel(app, plan).app_name
        else:
            expected = Raises(ValueError, prefix="Serialization error: ")
        self.expect(expected, lambda: VennuMesh(app, plan).app_name)

    # Views, compared after every step

    @invariant()
    def views_agree(self):
        if not hasattr(self, "mesh"):
            return
        assert json.loads(self.mesh.health_snapshot()) == self.model.health_snapshot()
        assert self.mesh.state_keys() == self.model.state_keys()
        snapshot = self.model.health_snapshot()
        counts = (f"agents={snapshot['agents']['total']}, state_keys={snapshot['state']['keys']}, "
                  f"migrations={snapshot['migrations']['active']})")
        assert repr(self.mesh).startswith("VennuMesh(app=") and repr(self.mesh).endswith(counts)


MeshMachine.TestCase.settings = settings(
    max_examples=150, stateful_step_count=40, deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
test_mesh_against_model = MeshMachine.TestCase
