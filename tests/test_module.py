import copy
import gc
import inspect
import os
import pickle
import re
import subprocess
import sys
import sysconfig
import threading
import weakref

import pytest

import vennu_mesh
from vennu_mesh import VennuMesh
from conftest import raises_exact

CLASS_DOC = (
    "The runtime mesh for a Vennu application.\n\n"
    "Create one per application process (Python):\n\n"
    "```python\n"
    'mesh = VennuMesh("myapp", plan_json)\n'
    "```\n\n"
    "All methods are synchronous and GIL-aware \u2014 they release the GIL during\n"
    "any blocking work."
)

# name -> (text signature, docstring, signature of the bound method)
METHODS = {
    "register_agent": (
        "($self, agent_type, agent_id, instance=0, metadata_json=None)",
        "Register a new agent instance.\n\nArgs:\n"
        '    agent_type:    Class name, e.g. ``"Customer"``.\n'
        '    agent_id:      Unique identity key, e.g. ``"customer-123"``.\n'
        "    instance:      Replica index (0-based, default 0).\n"
        "    metadata_json: Optional JSON object with extra fields.\n\n"
        "Returns:\n    JSON string representing the created :class:`AgentEntry`.\n\n"
        "Raises:\n    RuntimeError: If the agent ID is already registered.",
        "(agent_type, agent_id, instance=0, metadata_json=None)",
    ),
    "update_agent_status": (
        "($self, agent_id, status)",
        "Update the status of a registered agent.\n\nArgs:\n"
        "    agent_id: The agent's unique ID.\n"
        '    status:   One of ``"starting"``, ``"running"``, ``"idle"``,\n'
        '              ``"stopping"``, ``"stopped"``, ``"error"``.\n\n'
        "Raises:\n    ValueError: If the status string is not recognised.\n"
        "    KeyError:   If the agent ID is not registered.",
        "(agent_id, status)",
    ),
    "deregister_agent": (
        "($self, agent_id)",
        "Deregister an agent.  No-op if the ID does not exist.",
        "(agent_id)",
    ),
    "get_agent": (
        "($self, agent_id)",
        "Look up an agent by ID.\n\nReturns:\n"
        "    JSON string for the agent, or ``None`` if not found.",
        "(agent_id)",
    ),
    "list_agents": (
        "($self, agent_type=None, status=None)",
        "List agents, optionally filtered.\n\nArgs:\n"
        "    agent_type: Filter by type name (``None`` = all types).\n"
        "    status:     Filter by status string (``None`` = all statuses).\n\n"
        "Returns:\n    JSON array string of agent records.",
        "(agent_type=None, status=None)",
    ),
    "route_agent_call": (
        '($self, agent_type, agent_id, method, args_json="{}")',
        "Route a call to an agent and return routing metadata as JSON.\n\n"
        "This method validates that the agent exists and is not stopped/errored,\n"
        'then marks it as ``"running"`` and returns a routing descriptor.  The\n'
        "actual Python method dispatch is performed by the caller using the\n"
        "returned metadata.\n\nArgs:\n"
        "    agent_type: Agent class name.\n"
        "    agent_id:   Agent identity key.\n"
        "    method:     Method name to invoke.\n"
        '    args_json:  JSON object of keyword arguments (default ``"{}"``) .\n\n'
        'Returns:\n    JSON object ``{"status": "routed", "agent_id": "\u2026", \u2026}``.\n\n'
        "Raises:\n    KeyError:   If the agent is not registered or has stopped.",
        "(agent_type, agent_id, method, args_json='{}')",
    ),
    "state_get": (
        "($self, key)",
        "Get a value from the shared state store.\n\nReturns:\n"
        "    JSON string for the value, or ``None`` if the key does not exist.",
        "(key)",
    ),
    "state_set": (
        "($self, key, value_json)",
        "Set a value in the shared state store.\n\nArgs:\n"
        "    key:        Arbitrary string key.\n"
        "    value_json: JSON-encoded value to store.",
        "(key, value_json)",
    ),
    "state_delete": (
        "($self, key)",
        "Delete a key from the state store.  No-op if the key does not exist.",
        "(key)",
    ),
    "state_exists": (
        "($self, key)",
        "Check whether a key exists in the state store.",
        "(key)",
    ),
    "state_keys": (
        '($self, prefix="")',
        "Return all keys that start with `prefix` (sorted).",
        "(prefix='')",
    ),
    "start_migration": (
        "($self, variable_name, source_backend, target_backend)",
        "Start a zero-downtime migration for a storage variable.\n\nArgs:\n"
        '    variable_name:  Fully-qualified storage name, e.g. ``"counter.Counts"``.\n'
        '    source_backend: Current backend name, e.g. ``"sqlite"``.\n'
        '    target_backend: Target backend name, e.g. ``"redis"``.\n\n'
        "Returns:\n    JSON string of the initial :class:`MigrationState` (stage 1).\n\n"
        "Raises:\n    ValueError: If a non-complete migration already exists for this variable.",
        "(variable_name, source_backend, target_backend)",
    ),
    "advance_migration": (
        "($self, variable_name, discrepancy_count=0, keys_migrated=0)",
        "Advance a migration to its next stage.\n\nArgs:\n"
        "    variable_name:     Storage variable name.\n"
        "    discrepancy_count: Number of read discrepancies observed in this stage.\n"
        "    keys_migrated:     Number of keys copied during this stage.\n\n"
        "Returns:\n    JSON string of the updated :class:`MigrationState`.",
        "(variable_name, discrepancy_count=0, keys_migrated=0)",
    ),
    "rollback_migration": (
        "($self, variable_name)",
        "Roll back a migration by one stage.\n\nReturns:\n"
        "    JSON string of the updated :class:`MigrationState`.",
        "(variable_name)",
    ),
    "get_migration": (
        "($self, variable_name)",
        "Get the current migration state for a variable.\n\nReturns:\n"
        "    JSON string, or ``None`` if no migration exists for this variable.",
        "(variable_name)",
    ),
    "list_migrations": (
        "($self)",
        "List all migrations (active and completed).\n\nReturns:\n    JSON array string.",
        "()",
    ),
    "publish": (
        "($self, topic, payload_json)",
        "Publish a message to a topic.\n\nArgs:\n"
        "    topic:        Topic name string.\n"
        "    payload_json: JSON-encoded message payload.\n\n"
        "Returns:\n    Number of active receivers that received the message.",
        "(topic, payload_json)",
    ),
    "health_snapshot": (
        "($self)",
        "Return a JSON health snapshot of the entire mesh.\n\n"
        "The snapshot includes agent counts by status, state-store key count,\n"
        "active migration count, and channel topic count.",
        "()",
    ),
    "plan_json": ("($self)", "Return the solved plan as a JSON string.", "()"),
}


def test_module_surface():
    assert vennu_mesh.__name__ == "vennu_mesh"
    assert re.fullmatch(r"\d+\.\d+\.\d+", vennu_mesh.__version__)
    assert vennu_mesh.__all__ == ["VennuMesh", "__version__"]
    assert vennu_mesh.__doc__ == "Python module `vennu_mesh`."
    assert {n for n in dir(vennu_mesh) if not n.startswith("_")} == {"VennuMesh"}


def test_import_is_silent():
    done = subprocess.run(
        [sys.executable, "-W", "error", "-c", "import vennu_mesh"],
        capture_output=True, text=True,
    )
    assert (done.returncode, done.stderr) == (0, "")


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"),
                    reason="a build with an interpreter lock always runs with it")
def test_import_keeps_the_interpreter_lock_off():
    code = "import sys, vennu_mesh; print(sys._is_gil_enabled())"
    environment = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    done = subprocess.run([sys.executable, "-W", "error", "-c", code],
                          capture_output=True, text=True, env=environment)
    assert (done.returncode, done.stdout, done.stderr) == (0, "False\n", "")


@pytest.mark.threads
def test_threads_making_the_module_from_its_spec_at_once_get_one_module():
    code = (
        "import importlib.util, threading\n"
        "spec = importlib.util.find_spec('vennu_mesh')\n"
        "barrier = threading.Barrier(8)\n"
        "made = []\n"
        "def make():\n"
        "    barrier.wait()\n"
        "    made.append(importlib.util.module_from_spec(spec))\n"
        "    made[-1].VennuMesh('m').state_set('k', '1')\n"
        "threads = [threading.Thread(target=make) for _ in range(8)]\n"
        "for thread in threads: thread.start()\n"
        "for thread in threads: thread.join()\n"
        "import vennu_mesh\n"
        "print(len(made), len({id(module) for module in made + [vennu_mesh]}))\n"
    )
    environment = dict(os.environ)
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        environment["PYTHON_GIL"] = "0"  # no lock even while the module initializes
    for _ in range(3):  # each a first initialization
        done = subprocess.run([sys.executable, "-W", "error", "-c", code],
                              capture_output=True, text=True, env=environment, timeout=60)
        assert (done.returncode, done.stdout, done.stderr) == (0, "8 1\n", "")


def test_class_identity_and_docs():
    assert VennuMesh.__module__ == "builtins"
    assert VennuMesh.__qualname__ == "VennuMesh"
    assert VennuMesh.__name__ == "VennuMesh"
    assert VennuMesh.__mro__ == (VennuMesh, object)
    assert VennuMesh.__text_signature__ == '(app_name, plan_json="")'
    assert VennuMesh.__doc__ == CLASS_DOC
    assert str(inspect.signature(VennuMesh)) == "(app_name, plan_json='')"
    assert VennuMesh.app_name.__doc__ == "Application name."


def test_method_table_is_complete():
    public = {n for n in vars(VennuMesh) if not n.startswith("_")}
    assert public == set(METHODS) | {"app_name"}


@pytest.mark.parametrize("name", METHODS)
def test_method_signature_and_doc(mesh, name):
    text_signature, doc, bound = METHODS[name]
    method = getattr(VennuMesh, name)
    assert method.__text_signature__ == text_signature
    assert method.__doc__ == doc
    assert str(inspect.signature(getattr(mesh, name))) == bound


def test_not_subclassable():
    with pytest.raises(TypeError):
        type("Sub", (VennuMesh,), {})


def test_instances_have_no_dict_and_no_weakref(mesh):
    assert not hasattr(mesh, "__dict__")
    with pytest.raises(AttributeError):
        mesh.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(mesh)



@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED") or sys.version_info < (3, 14),
                    reason="deferred reference counting is for free-threaded 3.14 and later")
def test_free_threaded_builds_keep_threads_off_the_mesh_reference_count():
    gc.collect()
    type_references = sys.getrefcount(VennuMesh)
    mesh = VennuMesh("myapp")
    # Deferred counting: the collector tracks the mesh, whose count carries
    # the bias that stands for the references it does not count.
    assert gc.is_tracked(mesh)
    assert sys.getrefcount(mesh) > 1 << 40
    del mesh
    gc.collect()
    assert sys.getrefcount(VennuMesh) == type_references

def test_app_name_is_read_only(mesh):
    assert mesh.app_name == "myapp"
    with pytest.raises(AttributeError):
        mesh.app_name = "other"
    with pytest.raises(AttributeError):
        del mesh.app_name
    assert mesh.app_name == "myapp"


def test_identity_semantics_and_no_pickling(mesh):
    other = VennuMesh("myapp")
    assert mesh == mesh and mesh != other
    assert hash(mesh) == hash(mesh)
    for slot in ("__eq__", "__hash__", "__init__", "__iter__", "__reduce__", "__enter__"):
        assert slot not in vars(VennuMesh)
    with pytest.raises(TypeError):
        pickle.dumps(mesh)
    with pytest.raises(TypeError):
        copy.copy(mesh)


ARGUMENT_MATCHING = [
    (lambda m: m.register_agent("T"),
     "VennuMesh.register_agent() missing 1 required positional argument: 'agent_id'"),
    (lambda m: m.register_agent(),
     "VennuMesh.register_agent() missing 2 required positional arguments: 'agent_type' and 'agent_id'"),
    (lambda m: m.register_agent("T", "x", 0, None, 5),
     "VennuMesh.register_agent() takes from 2 to 4 positional arguments but 5 were given"),
    (lambda m: m.register_agent(1),
     "VennuMesh.register_agent() missing 1 required positional argument: 'agent_id'"),
    (lambda m: m.update_agent_status("a", "b", "c"),
     "VennuMesh.update_agent_status() takes 2 positional arguments but 3 were given"),
    (lambda m: m.deregister_agent("a", "b"),
     "VennuMesh.deregister_agent() takes 1 positional arguments but 2 were given"),
    (lambda m: m.state_keys("a", "b"),
     "VennuMesh.state_keys() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda m: m.get_agent("x", p=1),
     "VennuMesh.get_agent() got an unexpected keyword argument 'p'"),
    (lambda m: m.get_agent("x", agent_id="y"),
     "VennuMesh.get_agent() got multiple values for argument 'agent_id'"),
    (lambda m: m.route_agent_call("T", "x"),
     "VennuMesh.route_agent_call() missing 1 required positional argument: 'method'"),
    (lambda m: m.start_migration("v", "s"),
     "VennuMesh.start_migration() missing 1 required positional argument: 'target_backend'"),
    (lambda m: m.advance_migration(keys_migrated=1),
     "VennuMesh.advance_migration() missing 1 required positional argument: 'variable_name'"),
    (lambda m: m.state_set(value_json="1"),
     "VennuMesh.state_set() missing 1 required positional argument: 'key'"),
    (lambda m: m.publish(topic="t"),
     "VennuMesh.publish() missing 1 required positional argument: 'payload_json'"),
    (lambda m: VennuMesh(),
     "VennuMesh.__new__() missing 1 required positional argument: 'app_name'"),
    (lambda m: VennuMesh("a", "", "x"),
     "VennuMesh.__new__() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda m: VennuMesh("a", plan=""),
     "VennuMesh.__new__() got an unexpected keyword argument 'plan'"),
    (lambda m: VennuMesh("a", app_name="b"),
     "VennuMesh.__new__() got multiple values for argument 'app_name'"),
    (lambda m: m.route_agent_call(),
     "VennuMesh.route_agent_call() missing 3 required positional arguments: "
     "'agent_type', 'agent_id', and 'method'"),
    (lambda m: m.start_migration(target_backend="t"),
     "VennuMesh.start_migration() missing 2 required positional arguments: "
     "'variable_name' and 'source_backend'"),
    (lambda m: m.start_migration(),
     "VennuMesh.start_migration() missing 3 required positional arguments: "
     "'variable_name', 'source_backend', and 'target_backend'"),
]


@pytest.mark.parametrize("call,message", ARGUMENT_MATCHING)
def test_argument_matching(mesh, call, message):
    with raises_exact(TypeError, message):
        call(mesh)


def test_no_argument_methods_refuse_arguments(mesh):
    for name in ("list_migrations", "health_snapshot", "plan_json"):
        with pytest.raises(TypeError):
            getattr(mesh, name)(1)


class _Box:
    class Inner:
        pass


def not_str(p, type_name):
    return f"argument '{p}': '{type_name}' object cannot be converted to 'PyString'"


STR_CONVERSION = [
    (lambda m: m.get_agent(1), not_str("agent_id", "int")),
    (lambda m: m.state_keys(None), not_str("prefix", "NoneType")),
    (lambda m: m.state_set("k", b"1"), not_str("value_json", "bytes")),
    (lambda m: m.state_get(_Box.Inner()), not_str("key", "_Box.Inner")),
    (lambda m: m.register_agent(1, 2), not_str("agent_type", "int")),
    (lambda m: m.register_agent("T", "x", 0, 5), not_str("metadata_json", "int")),
    (lambda m: m.update_agent_status(1, "bogus"), not_str("agent_id", "int")),
    (lambda m: m.list_agents(1), not_str("agent_type", "int")),
    (lambda m: m.list_agents(None, 2), not_str("status", "int")),
    (lambda m: m.route_agent_call("T", "x", "m", None), not_str("args_json", "NoneType")),
    (lambda m: m.advance_migration(1, -1), not_str("variable_name", "int")),
    (lambda m: m.publish("t", 1.5), not_str("payload_json", "float")),
    (lambda m: VennuMesh(1), not_str("app_name", "int")),
    (lambda m: VennuMesh("a", None), not_str("plan_json", "NoneType")),
]


@pytest.mark.parametrize("call,message", STR_CONVERSION)
def test_str_conversion(mesh, call, message):
    with raises_exact(TypeError, message):
        call(mesh)
    assert mesh.health_snapshot() == VennuMesh("myapp").health_snapshot()


def test_str_subclass_is_accepted_and_lone_surrogate_refused(mesh):
    class Key(str):
        pass

    mesh.state_set(Key("k"), Key("1"))
    assert mesh.state_get("k") == "1"

    # Keys are found by their text whatever hash a subclass defines, and in
    # every string width.
    class OddHash(str):
        def __hash__(self):
            return 7

    mesh.state_set(OddHash("k"), "2")
    for text in ("é", "Āb", "😀x"):
        mesh.state_set(OddHash(text), "3")
        assert mesh.state_get("".join(list(text))) == "3"
        mesh.state_delete(text[0] + text[1:])
        assert not mesh.state_exists(OddHash(text))
    assert mesh.state_get("k") == "2"
    with pytest.raises(UnicodeEncodeError):
        mesh.state_set("\ud800", "1")
    with pytest.raises(UnicodeEncodeError):
        mesh.state_set("k2", '"\ud800"')
    assert mesh.state_keys() == ["k"]


class _Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


OUT_OF_RANGE = "out of range integral type conversion attempted"


@pytest.mark.parametrize("value,expected", [
    (0, 0), (4294967295, 4294967295), (True, 1), (_Index(7), 7),
    (2**31, 2**31), (_Index(2**32 - 1), 2**32 - 1),  # beyond a 32-bit C long
])
def test_u32_accepts(mesh, value, expected):
    record = mesh.register_agent("T", "x", value)
    assert f'"instance":{expected},' in record


@pytest.mark.parametrize("value,exc,message", [
    (-1, OverflowError, OUT_OF_RANGE),
    (4294967296, OverflowError, OUT_OF_RANGE),
    (_Index(-5), OverflowError, OUT_OF_RANGE),
    (2**70, OverflowError, None),
    (2**63 - 1, OverflowError, OUT_OF_RANGE),
    (-2**63, OverflowError, OUT_OF_RANGE),
    (2**63, OverflowError, "Python int too large to convert to C long"),
    (-2**63 - 1, OverflowError, "Python int too large to convert to C long"),
    (None, TypeError, "argument 'instance': 'NoneType' object cannot be interpreted as an integer"),
    ("1", TypeError, "argument 'instance': 'str' object cannot be interpreted as an integer"),
    (1.0, TypeError, "argument 'instance': 'float' object cannot be interpreted as an integer"),
])
def test_u32_refuses(mesh, value, exc, message):
    # Beyond the C long range the interpreter's own message comes through.
    with raises_exact(exc, message) if message else pytest.raises(exc):
        mesh.register_agent("T", "x", instance=value)
    assert mesh.get_agent("x") is None


def _native_overflow(value):
    try:
        value.to_bytes(8, "little", signed=False)
    except OverflowError as error:
        return str(error)


@pytest.mark.parametrize("param", ["discrepancy_count", "keys_migrated"])
@pytest.mark.parametrize("value,exc,message", [
    (-1, OverflowError, _native_overflow(-1)),
    (2**64, OverflowError, _native_overflow(2**64)),
    (None, TypeError, "argument '{p}': 'NoneType' object cannot be interpreted as an integer"),
    ("3", TypeError, "argument '{p}': 'str' object cannot be interpreted as an integer"),
    (1.0, TypeError, "argument '{p}': 'float' object cannot be interpreted as an integer"),
])
def test_u64_refuses(mesh, param, value, exc, message):
    before = mesh.start_migration("v", "a", "b")
    with raises_exact(exc, message.format(p=param)):
        mesh.advance_migration("v", **{param: value})
    assert mesh.get_migration("v") == before


def test_bad_self_is_refused(mesh):
    with pytest.raises(TypeError):
        VennuMesh.get_agent(object(), "x")
    with pytest.raises(TypeError):
        VennuMesh.__repr__(object())
    with pytest.raises(TypeError):
        VennuMesh.app_name.__get__(object())


@pytest.mark.threads
def test_meshes_share_nothing_and_work_from_other_threads(mesh):
    other = VennuMesh("myapp")
    errors = []

    def work(n):
        try:
            for i in range(50):
                mesh.state_set(f"{n}:{i}", str(i))
        except BaseException as error:  # surfaced by the assertion below
            errors.append(error)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert len(mesh.state_keys()) == 200
    assert other.state_keys() == []


def test_second_interpreter_gets_import_error(capfd):
    testcapi = pytest.importorskip("_testcapi")
    code = (
        "try:\n"
        "    import vennu_mesh\n"
        "    print('imported')\n"
        "except ImportError as error:\n"
        "    print('ImportError:', error)\n"
    )
    assert testcapi.run_in_subinterp(code) == 0
    assert capfd.readouterr().out.startswith("ImportError: ")
    assert vennu_mesh.VennuMesh("still").app_name == "still"


class Name(str):
    pass


# A dictionary of keywords can hold keys of any kind; the interpreter's own
# answer to a non-str one is this TypeError, before any name is looked at.
@pytest.mark.parametrize("call", [
    lambda: VennuMesh("a", **{2.5: "v"}),
    lambda: VennuMesh("a", **{1: "v"}),
    lambda: VennuMesh(**{"app_name": "a", ("x",): "v"}),
    lambda: VennuMesh(**{"bogus": "a", b"app_name": "v"}),
    lambda: VennuMesh("a", **{None: "v", "plan_json": ""}),
    lambda: VennuMesh.__new__(VennuMesh, "a", **{2: "v"}),
], ids=["float", "int", "tuple", "bytes-after-unknown", "none-first", "dunder-new"])
def test_non_str_keyword_names_are_refused(call):
    with raises_exact(TypeError, "keywords must be strings"):
        call()


def test_non_str_keyword_names_in_methods(mesh):
    for call in (
        lambda: mesh.get_agent("x", **{1: "v"}),
        lambda: mesh.state_keys(**{2.5: "v"}),
        lambda: mesh.publish("t", "1", **{("x",): 1}),
    ):
        with raises_exact(TypeError, "keywords must be strings"):
            call()


def test_str_subclass_keyword_names_match(mesh):
    assert VennuMesh(**{Name("app_name"): "a"}).app_name == "a"
    assert VennuMesh("a", **{Name("plan_json"): '["p"]'}).app_name == "p"
    with raises_exact(TypeError, "VennuMesh.__new__() got an unexpected keyword argument 'plan'"):
        VennuMesh("a", **{Name("plan"): ""})
    mesh.state_set(**{Name("key"): "k", Name("value_json"): "1"})
    assert mesh.state_get(**{Name("key"): "k"}) == "1"
    with raises_exact(TypeError, "VennuMesh.state_get() got an unexpected keyword argument 'kee'"):
        mesh.state_get(**{Name("kee"): "k"})


@pytest.mark.native_only
def test_sub_interpreter_importing_first_does_not_lock_out_the_main_one():
    # A fresh process, so that the sub-interpreter is the first to import.
    code = (
        "import _testcapi\n"
        "status = _testcapi.run_in_subinterp(\n"
        "    'try:\\n'\n"
        "    '    import vennu_mesh\\n'\n"
        "    '    print(\"sub: imported\")\\n'\n"
        "    'except ImportError as error:\\n'\n"
        "    '    print(\"sub: ImportError:\", error)\\n')\n"
        "assert status == 0, status\n"
        "import vennu_mesh\n"
        "print('main:', vennu_mesh.VennuMesh('m').app_name)\n"
        "status = _testcapi.run_in_subinterp('import vennu_mesh')\n"
        "print('second sub:', status)\n"
        "print('main again:', vennu_mesh.VennuMesh('n').app_name)\n"
    )
    pytest.importorskip("_testcapi")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    # A free-threaded interpreter refuses the module in a sub-interpreter
    # itself, before the module's own check runs.
    refusal = (
        "module vennu_mesh does not support loading in subinterpreters"
        if sysconfig.get_config_var("Py_GIL_DISABLED")
        else "vennu_mesh can be imported only once per process, in the main interpreter"
    )
    assert lines == ["sub: ImportError: " + refusal, "main: m", "second sub: -1", "main again: n"]
