"""Running out of memory: MemoryError, nothing lost, nothing poisoned.

The sweeps need the test-hook build (MESH_TEST_HOOKS), which can fail the
Nth C++ allocation of the module, and CPython's _testcapi.set_nomemory,
which fails the interpreter's own allocations (result texts, UTF-8 caches,
exceptions). Each call is repeated with allocation 1, 2, 3, ... failing
until it succeeds; after every failure the call must have raised
MemoryError and the mesh must show exactly what it showed before.

The real out-of-memory tests run in a child process under RLIMIT_AS.
"""

import gc
import itertools
import json
import os
import re
import subprocess
import sys
import sysconfig
import textwrap

import pytest

from vennu_mesh import VennuMesh

try:
    import _testcapi
except ImportError:
    _testcapi = None

HOOKS = hasattr(VennuMesh, "_test_fail_allocation")
needs_hooks = pytest.mark.skipif(not HOOKS, reason="module built without test hooks")
needs_testcapi = pytest.mark.skipif(
    _testcapi is None or not hasattr(_testcapi, "set_nomemory"), reason="no _testcapi.set_nomemory"
)
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")


def type_references():
    # A free-threaded build counts its objects' references to their heap
    # type apart, per thread, until a collection adds them up.
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        gc.collect()
    return sys.getrefcount(VennuMesh)

pytestmark = pytest.mark.native_only

TIMESTAMP = re.compile(r"\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}(?:\.\d+)?\+00:00")

PLAN = '{"app_name":"shop","backends":{"db":{"backend_type":"sqlite","config":{"p":[1,2]}}},"agents":["A"]}'


def type_references():
    """The references to VennuMesh. A free-threaded build frees an unreachable
    mesh, and with it the mesh's reference to its type, at a collection."""
    gc.collect()
    return sys.getrefcount(VennuMesh)

def contents(mesh):
    """Everything the public API shows of a mesh, read without side effects."""
    agents = sorted(json.loads(mesh.list_agents()), key=lambda a: a["agent_id"])
    migrations = sorted(json.loads(mesh.list_migrations()), key=lambda m: m["variable_name"])
    keys = mesh.state_keys()
    return {
        "agents": agents,
        "agent records": {a["agent_id"]: mesh.get_agent(a["agent_id"]) for a in agents},
        "keys": keys,
        "values": {key: (mesh.state_exists(key), mesh.state_get(key)) for key in keys},
        "migrations": migrations,
        "migration records": {
            m["variable_name"]: mesh.get_migration(m["variable_name"]) for m in migrations
        },
        "health": mesh.health_snapshot(),
        "repr": repr(mesh),
        "plan": mesh.plan_json(),
        "app_name": mesh.app_name,
    }


def masked(value):
    return TIMESTAMP.sub("<time>", repr(value))


def answer(got):
    """An outcome with timestamps masked and listed records in one order
    (each table's order is its own seeded hash order)."""
    kind, value = got
    if isinstance(value, str) and value.startswith("[{"):
        value = sorted(json.dumps(record, sort_keys=True) for record in json.loads(value))
    return masked((kind, value))


def populated(agents=3, keys=3, migrations=2, topics=2):
    """A mesh with something in every subsystem, including a finished migration."""
    mesh = VennuMesh("shop", PLAN)
    for i in range(agents):
        mesh.register_agent("A", f"agent-{i}", i, '{"zone":"eu","i":%d}' % i)
    if agents:
        mesh.update_agent_status("agent-0", "idle")
    for i in range(keys):
        mesh.state_set(f"key/{i}", '{"n":%d,"list":[1,2.5,"é"]}' % i)
    for i in range(migrations):
        mesh.start_migration(f"var.{i}", "sqlite", "redis")
    if migrations:
        for _ in range(5):
            mesh.advance_migration("var.0", 1, 10)
    for i in range(topics):
        mesh.publish(f"topic-{i}", "[1]")
    return mesh


def outcome(call, mesh):
    try:
        return "ok", call(mesh)
    except MemoryError:
        raise
    except Exception as error:  # noqa: BLE001 - compared below
        return type(error), error.args


class CxxAllocations:
    """Fails the Nth allocation of the module's C++ code."""

    name = "C++"
    failed = False

    @classmethod
    def run(cls, n, call, mesh):
        VennuMesh._test_fail_allocation(n)
        try:
            return outcome(call, mesh)
        finally:
            cls.failed = VennuMesh._test_allocation_failed()

    @classmethod
    def fired(cls):
        return cls.failed


# When the interpreter cannot allocate the traceback entry of a frame that an
# exception passes through, it loses the exception and reports this instead
# (a plain dict lookup shows it too); it is the interpreter's MemoryError.
LOST_EXCEPTION = (SystemError, ("error return without exception set",))


class InterpreterAllocations:
    """Fails the Nth allocation of the interpreter (every domain)."""

    name = "interpreter"
    failed = False

    @classmethod
    def run(cls, n, call, mesh):
        cls.failed = False
        _testcapi.set_nomemory(n - 1, n)
        try:
            result = outcome(call, mesh)
        except MemoryError:
            cls.failed = True
            raise
        finally:
            _testcapi.remove_mem_hooks()
        if result == LOST_EXCEPTION:
            cls.failed = True
            raise MemoryError
        return result

    @classmethod
    def fired(cls):
        return cls.failed


def sweep(injector, setup, call, limit=400):
    """Runs `call` on a fresh `setup()` with allocation 1, 2, ... failing.

    Returns the number of failure points. A call that fails must raise
    MemoryError and leave the mesh exactly as it was, also when its answer
    is a record that exists only once its change is made; a call that
    succeeds in spite of a failed allocation must give what an undisturbed
    call gives. Timestamps are masked only when comparing with the
    undisturbed run, which happened at another time.
    """
    reference = setup()
    expected = outcome(call, reference)
    expected_after = masked(contents(reference))
    for n in range(1, limit):
        mesh = setup()
        before = contents(mesh)
        try:
            got = injector.run(n, call, mesh)
        except MemoryError:
            assert injector.fired(), f"{injector.name} allocation {n}: MemoryError without a failure"
            assert contents(mesh) == before, f"{injector.name} allocation {n} changed the mesh"
            continue
        fired = injector.fired()
        assert answer(got) == answer(expected), f"{injector.name} allocation {n}"
        assert masked(contents(mesh)) == expected_after, f"{injector.name} allocation {n}"
        if not fired:
            return n - 1
    raise AssertionError(f"still failing after {limit} allocations")


# One representative call of every method, on the error paths too. Texts
# outside ASCII make the interpreter build UTF-8 copies of the arguments.
CALLS = {
    "register_agent": lambda m: m.register_agent("Ä", "new-é", 7, '{"b":[1,{"z":null,"a":2}],"a":"x"}'),
    "register_agent twice": lambda m: m.register_agent("A", "agent-1"),
    "register_agent bad JSON": lambda m: m.register_agent("A", "x", 0, "[1,"),
    "update_agent_status": lambda m: m.update_agent_status("agent-1", "stopping"),
    "update_agent_status missing": lambda m: m.update_agent_status("ghost", "idle"),
    "update_agent_status unknown": lambda m: m.update_agent_status("agent-1", "sleepy"),
    "deregister_agent": lambda m: m.deregister_agent("agent-2"),
    "deregister_agent missing": lambda m: m.deregister_agent("ghost"),
    "get_agent": lambda m: m.get_agent("agent-1"),
    "get_agent missing": lambda m: m.get_agent("ghost"),
    "list_agents": lambda m: m.list_agents(),
    "list_agents filtered": lambda m: m.list_agents("A", "idle"),
    "route_agent_call": lambda m: m.route_agent_call("A", "agent-1", "run", '{"x":[1,2]}'),
    "route_agent_call missing": lambda m: m.route_agent_call("A", "ghost", "run"),
    "state_get": lambda m: m.state_get("key/1"),
    "state_get missing": lambda m: m.state_get("nope"),
    "state_set new": lambda m: m.state_set("key/é", '{"b":[1,2,{"d":1,"c":2}],"a":"ü"}'),
    "state_set overwrite": lambda m: m.state_set("key/1", '[true,false,null,1e5,-3]'),
    "state_set bad JSON": lambda m: m.state_set("key/1", '{"a":'),
    "state_delete": lambda m: m.state_delete("key/0"),
    "state_delete missing": lambda m: m.state_delete("nope"),
    "state_exists": lambda m: m.state_exists("key/2"),
    "state_keys": lambda m: m.state_keys("key/"),
    "start_migration": lambda m: m.start_migration("var.é", "sqlite", "redis"),
    "start_migration restart": lambda m: m.start_migration("var.0", "redis", "sqlite"),
    "start_migration active": lambda m: m.start_migration("var.1", "a", "b"),
    "advance_migration": lambda m: m.advance_migration("var.1", 2, 2**64 - 1),
    "advance_migration done": lambda m: m.advance_migration("var.0"),
    "rollback_migration": lambda m: m.rollback_migration("var.1"),
    "rollback_migration missing": lambda m: m.rollback_migration("ghost"),
    "get_migration": lambda m: m.get_migration("var.1"),
    "list_migrations": lambda m: m.list_migrations(),
    "publish new topic": lambda m: m.publish("tópico", '{"b":1,"a":[2]}'),
    "publish": lambda m: m.publish("topic-0", "[1]"),
    "publish bad JSON": lambda m: m.publish("topic-9", "[1"),
    "health_snapshot": lambda m: m.health_snapshot(),
    "plan_json": lambda m: m.plan_json(),
    "repr": repr,
    "app_name": lambda m: m.app_name,
}

# Calls that add to a table, on tables of every size up to a few growths.
GROWING = {
    "register_agent": (lambda n: populated(agents=n), lambda m: m.register_agent("A", "grown")),
    "state_set": (lambda n: populated(keys=n), lambda m: m.state_set("grown", "1")),
    "start_migration": (lambda n: populated(migrations=n), lambda m: m.start_migration("grown", "a", "b")),
    "publish": (lambda n: populated(topics=n), lambda m: m.publish("grown", "1")),
}
TABLE_SIZES = range(0, 34)

INJECTORS = [
    pytest.param(CxxAllocations, marks=needs_hooks, id="cxx"),
    pytest.param(InterpreterAllocations, marks=needs_testcapi, id="interpreter"),
]


@pytest.mark.parametrize("injector", INJECTORS)
@pytest.mark.parametrize("name", list(CALLS))
def test_every_method_survives_each_failed_allocation(injector, name):
    sweep(injector, populated, CALLS[name])


@pytest.mark.parametrize("injector", INJECTORS)
@pytest.mark.parametrize("name", list(GROWING))
def test_growing_a_table_survives_each_failed_allocation(injector, name):
    make, call = GROWING[name]
    points = [sweep(injector, lambda: make(size), call) for size in TABLE_SIZES]
    # Growing allocates more than an ordinary insert at least once.
    if injector is CxxAllocations and name != "publish":
        assert max(points) > min(points), points


# An answer over the 1 MiB that the thread's result buffer keeps is written
# into a fresh buffer, and its str is made from it, once the change is made
# (but for routing, whose answer does not depend on its change): running out
# of memory there must take the change back. Texts outside ASCII are
# measured before their str is made; "é" takes two bytes and "€" three.
LARGE = "x" * (2 << 20)
LARGE_WIDE = "é€" * (1 << 19)


def with_large_migrations():
    mesh = populated()
    for name in ("v" + LARGE, "w" + LARGE_WIDE):
        mesh.start_migration(name, "a", "b")
        mesh.advance_migration(name, 1, 1)
    return mesh


LARGE_CALLS = {
    "register_agent": (populated, lambda m: m.register_agent("A", "big", 0, '{"blob":"%s"}' % LARGE)),
    "register_agent wide": (populated, lambda m: m.register_agent("Ä", "big-é", 0, '["%s"]' % LARGE_WIDE)),
    "route_agent_call": (populated, lambda m: m.route_agent_call("A", "agent-1", LARGE)),
    "route_agent_call wide": (populated, lambda m: m.route_agent_call("A", "agent-1", LARGE_WIDE)),
    "start_migration": (populated, lambda m: m.start_migration("v" + LARGE, "a", "b")),
    "start_migration wide": (populated, lambda m: m.start_migration("w", LARGE_WIDE, "b")),
    "start_migration restart": (populated, lambda m: m.start_migration("var.0", LARGE, "b")),
    "advance_migration": (with_large_migrations, lambda m: m.advance_migration("v" + LARGE, 2, 3)),
    "advance_migration wide": (with_large_migrations, lambda m: m.advance_migration("w" + LARGE_WIDE)),
    "rollback_migration": (with_large_migrations, lambda m: m.rollback_migration("v" + LARGE)),
    "rollback_migration wide": (with_large_migrations, lambda m: m.rollback_migration("w" + LARGE_WIDE)),
}


@pytest.mark.parametrize("injector", INJECTORS)
@pytest.mark.parametrize("name", list(LARGE_CALLS))
def test_large_answers_survive_each_failed_allocation(injector, name):
    setup, call = LARGE_CALLS[name]
    sweep(injector, setup, call)


@pytest.mark.parametrize("injector", INJECTORS)
@pytest.mark.parametrize("arguments", [("a",), ("a", PLAN), ("a", "{}"), ("a", "[1")])
def test_construction_survives_each_failed_allocation_without_leaking_the_type(injector, arguments):
    expected = outcome(lambda _: masked(contents(VennuMesh(*arguments))), None)
    references = type_references()
    for n in itertools.count(1):
        try:
            got = injector.run(n, lambda _: VennuMesh(*arguments), None)
        except MemoryError:
            assert injector.fired(), f"{injector.name} allocation {n}: MemoryError without a failure"
            assert type_references() == references, f"{injector.name} allocation {n}"
            continue
        fired = injector.fired()
        if got[0] == "ok":
            got = ("ok", masked(contents(got[1])))
        assert got == expected, f"{injector.name} allocation {n}"
        if not fired:
            break
    assert n > 1
    assert type_references() == references


@needs_hooks
def test_failed_fields_give_back_the_object_and_its_type_reference():
    references = type_references()
    for _ in range(3):
        VennuMesh._test_fail_next_construction()
        with pytest.raises(MemoryError):
            VennuMesh("a", PLAN)
    assert type_references() == references
    assert VennuMesh("a", PLAN).app_name == "shop"


@needs_hooks
def test_memory_error_is_not_a_panic():
    mesh = populated()
    VennuMesh._test_fail_allocation(1)
    try:
        with pytest.raises(MemoryError):
            try:
                mesh.state_set("k", '{"a":1}')
            except Exception:  # PanicException is not an Exception
                raise
    finally:
        assert VennuMesh._test_allocation_failed()
    mesh.state_set("k", '{"a":1}')
    assert mesh.state_get("k") == '{"a":1}'


# The child prints what it found; limits apply to it alone. Every big text is
# made before the limit is lowered, so that only the mesh's own copies run
# out.
OOM_PRELUDE = textwrap.dedent(
    """
    import json, resource
    from vennu_mesh import VennuMesh

    def address_space():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[0]) * resource.getpagesize()

    _, hard = resource.getrlimit(resource.RLIMIT_AS)

    def limit(headroom):
        resource.setrlimit(resource.RLIMIT_AS, (address_space() + headroom, hard))

    def unlimit():
        resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
    """
)

needs_rlimit = pytest.mark.skipif(
    SANITIZED or not sys.platform.startswith("linux"),
    reason="RLIMIT_AS on Linux, without a sanitizer's shadow memory",
)


def run_child(code):
    done = subprocess.run(
        [sys.executable, "-c", OOM_PRELUDE + textwrap.dedent(code)],
        capture_output=True, text=True, timeout=300,
    )
    assert done.returncode == 0, done.stderr[-3000:]
    return done.stdout


@needs_rlimit
def test_filling_the_store_until_memory_runs_out_keeps_every_key():
    out = run_child(
        """
        mesh = VennuMesh("full")
        value = '{"v":1}'
        stored = 0
        limit(48 << 20)
        try:
            while True:
                key = "key-%d" % stored
                mesh.state_set(key, value)
                stored += 1
        except MemoryError:
            pass
        unlimit()
        missing = [i for i in range(stored) if mesh.state_get("key-%d" % i) != value]
        print(stored, len(missing), mesh.state_exists("key-%d" % stored),
              json.loads(mesh.health_snapshot())["state"]["keys"], len(mesh.state_keys()))
        mesh.state_set("after", "2")
        print(mesh.state_get("after"))
        """
    )
    first, second = out.splitlines()
    stored, missing, extra, counted, listed = first.split()
    assert int(stored) > 10_000
    assert missing == "0" and extra == "False"
    assert int(counted) == int(listed) == int(stored)
    assert second == "2"


@needs_rlimit
def test_too_large_arguments_raise_memory_error_and_change_nothing():
    out = run_child(
        """
        mesh = VennuMesh("app")
        for i in range(50):
            mesh.register_agent("T", "a%d" % i, i, '{"i":%d}' % i)
            mesh.state_set("k%d" % i, "[%d]" % i)
            mesh.publish("t%d" % i, "1")
        mesh.start_migration("m", "s", "t")
        mesh.advance_migration("m", 1, 2)

        def contents():
            return (mesh.list_agents(), [(k, mesh.state_get(k)) for k in mesh.state_keys()],
                    mesh.list_migrations(), mesh.health_snapshot(), repr(mesh))

        size = 256 << 20
        huge = "x" * size
        huge_json = '"' + huge + '"'
        calls = {
            "agent id": lambda: mesh.register_agent("T", huge),
            "agent type": lambda: mesh.register_agent(huge, "new"),
            "metadata": lambda: mesh.register_agent("T", "new", 0, huge_json),
            "migration name": lambda: mesh.start_migration(huge, "s", "t"),
            "migration backend": lambda: mesh.start_migration("n", huge, "t"),
            "route method": lambda: mesh.route_agent_call("T", "a1", huge),
            "state key": lambda: mesh.state_set(huge, "1"),
            "state value": lambda: mesh.state_set("k1", huge_json),
            "topic": lambda: mesh.publish(huge, "1"),
            "payload": lambda: mesh.publish("t1", huge_json),
        }
        before = contents()
        for name, call in calls.items():
            limit(size // 2)
            try:
                call()
                outcome = "succeeded"
            except MemoryError:
                outcome = "MemoryError"
            except BaseException as error:
                outcome = type(error).__name__ + ": " + str(error)[:100]
            unlimit()
            print(name, "|", outcome, "|", contents() == before)
        """
    )
    lines = [line.split(" | ") for line in out.splitlines()]
    assert len(lines) == 10, out
    for name, outcome, unchanged in lines:
        # publish checks the payload where it is and keeps no copy of it, so
        # a payload the caller could make is published to its existing topic.
        expected = "succeeded" if name == "payload" else "MemoryError"
        assert (outcome, unchanged) == (expected, "True"), name
