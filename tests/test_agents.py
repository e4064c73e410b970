import json
import sys
import time

import pytest

from vennu_mesh import VennuMesh
from conftest import assert_timestamp, nanos, raises_exact

RECORD_KEYS = ["agent_id", "agent_type", "status", "instance", "registered_at", "last_active", "metadata"]
STATUSES = ["starting", "running", "idle", "stopping", "stopped", "error"]
VALID = ". Valid values: starting, running, idle, stopping, stopped, error"


def agent(mesh, agent_id):
    return json.loads(mesh.get_agent(agent_id))


def test_register_returns_the_stored_record(mesh):
    text = mesh.register_agent("Customer", "customer-123")
    record = json.loads(text)
    assert list(record) == RECORD_KEYS
    stamp = record["registered_at"]
    assert_timestamp(stamp)
    assert text == (
        '{"agent_id":"customer-123","agent_type":"Customer","status":"starting","instance":0,'
        f'"registered_at":"{stamp}","last_active":"{stamp}","metadata":{{}}}}'
    )
    assert mesh.get_agent("customer-123") == text


def test_timestamps_are_utc_and_current(mesh):
    before = time.time_ns()
    stamps = [json.loads(mesh.register_agent("T", str(i)))["registered_at"] for i in range(30)]
    after = time.time_ns()
    for stamp in stamps:
        assert_timestamp(stamp)
    assert before - 10**6 <= nanos(stamps[0]) <= nanos(stamps[-1]) <= after + 10**6


@pytest.mark.skipif(sys.platform == "darwin", reason="the real-time clock of macOS counts microseconds")
def test_timestamps_keep_nanoseconds(mesh):
    # The clock has nanoseconds (100 ns on Windows): some stamps of a few dozen show them.
    stamps = [json.loads(mesh.register_agent("T", str(i)))["registered_at"] for i in range(40)]
    assert any(len(stamp[20:-6]) == 9 for stamp in stamps), stamps


@pytest.mark.parametrize("metadata,written", [
    (None, "{}"), ("null", "null"), ("[1,2]", "[1,2]"), (' {"b": 1, "a": [2.50]} ', '{"a":[2.5],"b":1}'),
    ('"s"', '"s"'), ("3", "3"), ("-0", "-0.0"), ("true", "true"), ("{}", "{}"),
])
def test_metadata_kinds(mesh, metadata, written):
    text = mesh.register_agent("T", "x", 3, metadata)
    assert text.endswith(f',"metadata":{written}}}')
    assert json.loads(text)["instance"] == 3
    assert mesh.get_agent("x") == text


@pytest.mark.parametrize("char", ["a", "\u00e9", "\U0001f600"])
def test_records_read_back_whole_on_either_side_of_the_stack_room(mesh, char):
    # get_agent copies a record of up to 512 bytes into the stack, a longer
    # one into a buffer.
    base = len(mesh.register_agent("T", "probe", 0, '""').encode())
    for size in (511, 512, 513):
        padding = (size - base) // len(char.encode())
        text = mesh.register_agent("T", f"a{size}", 0, json.dumps(char * padding, ensure_ascii=False))
        assert mesh.get_agent(f"a{size}") == text
        mesh.update_agent_status(f"a{size}", "stopping")
        assert mesh.get_agent(f"a{size}") in mesh.list_agents(None, "stopping")


def test_bad_metadata_registers_nothing(mesh):
    with pytest.raises(ValueError, match="^Serialization error: "):
        mesh.register_agent("T", "x", metadata_json="{")
    assert mesh.get_agent("x") is None and mesh.list_agents() == "[]"


def test_duplicate_id_keeps_the_first_entry(mesh):
    first = mesh.register_agent("Customer", "customer-123", 1, '{"a":1}')
    mesh.update_agent_status("customer-123", "idle")
    kept = mesh.get_agent("customer-123")
    for agent_type in ("Customer", "Other"):
        with raises_exact(RuntimeError, "Agent 'customer-123' is already registered"):
            mesh.register_agent(agent_type, "customer-123", 2, "[]")
    assert mesh.get_agent("customer-123") == kept
    assert json.loads(kept)["registered_at"] == json.loads(first)["registered_at"]


def test_deregister_and_register_again(mesh):
    assert mesh.deregister_agent("ghost") is None
    assert mesh.get_agent("ghost") is None
    mesh.register_agent("T", "x")
    mesh.update_agent_status("x", "error")
    assert mesh.deregister_agent("x") is None
    assert mesh.get_agent("x") is None
    mesh.register_agent("U", "x")
    assert agent(mesh, "x")["status"] == "starting" and agent(mesh, "x")["agent_type"] == "U"


@pytest.mark.parametrize("status", STATUSES)
def test_update_status(mesh, status):
    created = json.loads(mesh.register_agent("T", "x", 7, '{"m":1}'))
    assert mesh.update_agent_status("x", status) is None
    updated = agent(mesh, "x")
    assert updated["status"] == status
    assert_timestamp(updated["last_active"])
    assert nanos(updated["last_active"]) >= nanos(created["last_active"])
    for unchanged in ("agent_id", "agent_type", "instance", "registered_at", "metadata"):
        assert updated[unchanged] == created[unchanged]


def test_update_status_of_unknown_agent(mesh):
    with raises_exact(KeyError, "Agent '/ghost' not found in registry"):
        mesh.update_agent_status("ghost", "idle")


@pytest.mark.parametrize("status,quoted", [
    ("Running", '"Running"'), ("bogus", '"bogus"'), ("", '""'), (" idle", '" idle"'), ("a b", '"a b"'),
    ("\t", '"\\t"'), ("\r\n", '"\\r\\n"'), ('"', '"\\""'), ("\\", '"\\\\"'), ("\x00", '"\\0"'),
    ("\u00a0", '"\\u{a0}"'), ("e\u0301", '"e\\u{301}"'), ("\u0301", '"\\u{301}"'), ("\u00e9", '"\u00e9"'),
    ("it's", '"it\'s"'), ("\x1b", '"\\u{1b}"'), ("\x7f", '"\\u{7f}"'), ("\u0085", '"\\u{85}"'),
    ("\u00ad", '"\\u{ad}"'), ("\u200b", '"\\u{200b}"'), ("\u2028", '"\\u{2028}"'), ("\u3000", '"\\u{3000}"'),
    ("\ue000", '"\\u{e000}"'), ("\u0378", '"\\u{378}"'), ("\ufeff", '"\\u{feff}"'),
    ("\u65e5\u672c", '"\u65e5\u672c"'), ("\U0001F600", '"\U0001F600"'), ("/{}", '"/{}"'),
    ("\U0001FAE9", '"\U0001FAE9"'), ("\u0cc0", '"\\u{cc0}"'),
])
def test_unknown_status_message(mesh, status, quoted):
    mesh.register_agent("T", "x")
    for agent_id in ("x", "ghost"):
        with raises_exact(ValueError, "Unknown status " + quoted + VALID):
            mesh.update_agent_status(agent_id, status)
    assert agent(mesh, "x")["status"] == "starting"


def _ids(text):
    return sorted(record["agent_id"] for record in json.loads(text))


def test_list_filters(mesh):
    mesh.register_agent("A", "a1")
    mesh.register_agent("A", "a2")
    mesh.register_agent("B", "b1")
    mesh.register_agent("", "e1")
    mesh.update_agent_status("a2", "idle")
    mesh.update_agent_status("b1", "idle")
    assert _ids(mesh.list_agents()) == ["a1", "a2", "b1", "e1"]
    assert mesh.list_agents(None, None) == mesh.list_agents()
    assert _ids(mesh.list_agents("A")) == ["a1", "a2"]
    assert _ids(mesh.list_agents("")) == ["e1"]
    assert _ids(mesh.list_agents(status="idle")) == ["a2", "b1"]
    assert _ids(mesh.list_agents(agent_type="A", status="idle")) == ["a2"]
    assert _ids(mesh.list_agents(status="starting")) == ["a1", "e1"]
    for empty in (mesh.list_agents("a"), mesh.list_agents(status="Running"), mesh.list_agents(status="bogus"),
                  mesh.list_agents("B", "starting"), VennuMesh("n").list_agents()):
        assert empty == "[]"


def test_list_is_a_compact_array_of_records(mesh):
    for i in range(3):
        mesh.register_agent("T", f"id{i}", i, '{"k": [1, 2]}')
    text = mesh.list_agents()
    order = [record["agent_id"] for record in json.loads(text)]
    assert text == "[" + ",".join(mesh.get_agent(i) for i in order) + "]"


def test_routing_descriptor(mesh):
    mesh.register_agent("Customer", "customer-123")
    text = mesh.route_agent_call("Customer", "customer-123", "place_order")
    descriptor = json.loads(text)
    node = descriptor["node"]
    assert isinstance(node, str) and node
    assert text == (
        '{"agent_id":"customer-123","agent_type":"Customer","method":"place_order","node":'
        + json.dumps(node, ensure_ascii=False) + ',"status":"routed"}'
    )
    other = VennuMesh("b")
    other.register_agent("T", "y")
    assert json.loads(other.route_agent_call("T", "y", "m"))["node"] == node
    assert agent(mesh, "customer-123")["status"] == "running"


def test_routing_uses_the_caller_type_and_any_args(mesh):
    mesh.register_agent("Customer", "c")
    for args in ("5", "[]", "null", '"x"', ' {"a": 1} '):
        descriptor = json.loads(mesh.route_agent_call("Other", "c", "no_such_method", args))
        assert (descriptor["agent_type"], descriptor["method"]) == ("Other", "no_such_method")
    assert agent(mesh, "c")["agent_type"] == "Customer"
    # Names that need escapes, beyond ASCII, and long enough to be written
    # outside the stack.
    node = json.loads(mesh.route_agent_call("T", "c", "m"))["node"]
    for name in ('q"\\/\x01\x1f\n\t\x7f', "caf\u00e9 \U0001f600", "\x00" * 90, "m" * 600):
        mesh.register_agent("T", name)
        text = mesh.route_agent_call(name, name, name)
        dumped = json.dumps(name, ensure_ascii=False)
        assert text == (f'{{"agent_id":{dumped},"agent_type":{dumped},"method":{dumped},'
                        f'"node":{json.dumps(node)},"status":"routed"}}')


@pytest.mark.parametrize("status", ["starting", "running", "idle", "stopping"])
def test_routing_marks_agent_running(mesh, status):
    created = json.loads(mesh.register_agent("T", "x"))
    if status != "starting":
        mesh.update_agent_status("x", status)
    mesh.route_agent_call("T", "x", "m")
    routed = agent(mesh, "x")
    assert routed["status"] == "running"
    assert_timestamp(routed["last_active"])
    assert routed["registered_at"] == created["registered_at"]
    assert nanos(routed["last_active"]) >= nanos(created["last_active"])


@pytest.mark.parametrize("status", ["stopped", "error"])
def test_routing_refuses_stopped_and_failed_agents(mesh, status):
    mesh.register_agent("Customer", "customer-123")
    mesh.update_agent_status("customer-123", status)
    before = mesh.get_agent("customer-123")
    with raises_exact(KeyError, "Agent 'T/customer-123' not found in registry"):
        mesh.route_agent_call("T", "customer-123", "m")
    assert mesh.get_agent("customer-123") == before


def test_routing_checks_args_before_the_registry(mesh):
    mesh.register_agent("T", "x")
    mesh.update_agent_status("x", "idle")
    before = mesh.get_agent("x")
    for agent_id in ("x", "nobody"):
        with pytest.raises(ValueError, match="^Serialization error: .+ at line 1 column \\d+$"):
            mesh.route_agent_call("T", agent_id, "m", "not json")
    assert mesh.get_agent("x") == before
    with raises_exact(KeyError, "Agent 'Customer/nobody' not found in registry"):
        mesh.route_agent_call("Customer", "nobody", "m")
