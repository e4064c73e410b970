"""Internal faults and poisoned subsystems, forced through the fault hooks.

The hooks exist only in test builds of the module (MESH_TEST_HOOKS); against
an ordinary build these tests are skipped.
"""

import subprocess
import sys

import pytest

from vennu_mesh import VennuMesh

pytestmark = [
    pytest.mark.skipif(not hasattr(VennuMesh, "_test_throw"), reason="module built without test hooks"),
    pytest.mark.native_only,
]


def panic_type():
    try:
        VennuMesh._test_throw()
    except BaseException as caught:  # noqa: BLE001 - the point is what it is
        return type(caught)
    raise AssertionError("no exception")


def test_escaping_exception_becomes_panic_not_exception():
    panic = panic_type()
    assert panic.__name__ == "PanicException"
    assert issubclass(panic, BaseException) and not issubclass(panic, Exception)
    with pytest.raises(panic, match="^injected fault$"):
        try:
            VennuMesh._test_throw()
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught as Exception")
    assert panic is panic_type(), "created once"
    assert not hasattr(__import__("vennu_mesh"), "PanicException")
    # The interpreter and a mesh carry on.
    assert VennuMesh("after").app_name == "after"


def test_clock_before_1970_poisons_the_registry_only():
    mesh = VennuMesh("app")
    mesh.register_agent("T", "kept")
    mesh.state_set("k", "1")
    with VennuMeshClock():
        with pytest.raises(panic_type(), match="^system time before Unix epoch$"):
            mesh.register_agent("T", "new")
    for call in (
        lambda: mesh.get_agent("kept"),
        lambda: mesh.list_agents(),
        lambda: mesh.register_agent("T", "other"),
        lambda: mesh.deregister_agent("kept"),
        lambda: mesh.update_agent_status("kept", "idle"),
        lambda: mesh.route_agent_call("T", "kept", "m"),
    ):
        with pytest.raises(RuntimeError) as raised:
            call()
        assert raised.value.args == ("State error: registry lock poisoned",)
    assert '"agents":{"error":0,"idle":0,"running":0,"total":0}' in mesh.health_snapshot()
    assert repr(mesh) == 'VennuMesh(app="app", agents=0, state_keys=1, migrations=0)'
    assert mesh.state_get("k") == "1"
    assert mesh.start_migration("v", "a", "b")


def test_status_update_under_bad_clock_poisons_too():
    mesh = VennuMesh("app")
    mesh.register_agent("T", "a")
    with VennuMeshClock():
        with pytest.raises(panic_type()):
            mesh.update_agent_status("a", "idle")
    with pytest.raises(RuntimeError, match="registry lock poisoned"):
        mesh.get_agent("a")


@pytest.mark.parametrize(
    "change",
    [
        lambda m: m.start_migration("new", "a", "b"),
        lambda m: m.advance_migration("v"),
        lambda m: m.rollback_migration("v"),
    ],
    ids=["start", "advance", "rollback"],
)
def test_clock_before_1970_poisons_the_migrations(change):
    mesh = VennuMesh("app")
    mesh.start_migration("v", "a", "b")
    with VennuMeshClock():
        with pytest.raises(panic_type()):
            change(mesh)
    for call in (
        lambda: mesh.get_migration("v"),
        lambda: mesh.list_migrations(),
        lambda: mesh.start_migration("w", "a", "b"),
        lambda: mesh.advance_migration("v"),
        lambda: mesh.rollback_migration("v"),
    ):
        with pytest.raises(ValueError) as raised:
            call()
        assert raised.value.args == ("Migration error: lock poisoned",)
    assert '"migrations":{"active":0}' in mesh.health_snapshot()
    mesh.register_agent("T", "still-works")


def test_publish_under_bad_clock_panics_without_poisoning():
    # The topic is made under the channel lock; the timestamp is taken after
    # the lock is released, so the map stays usable.
    mesh = VennuMesh("app")
    with VennuMeshClock():
        with pytest.raises(panic_type()):
            mesh.publish("t", "1")
    assert mesh.publish("t", "2") == 0
    assert '"channels":{"topics":1}' in mesh.health_snapshot()


class VennuMeshClock:
    """Sends every mesh's clock before 1970 for the length of a with block."""

    def __enter__(self):
        VennuMesh._test_set_clock_before_epoch(True)

    def __exit__(self, *exc):
        VennuMesh._test_set_clock_before_epoch(False)


def test_fault_inside_the_state_lock_poisons_the_store_only():
    mesh = VennuMesh("app")
    mesh.state_set("k", "1")
    VennuMesh._test_arm_fault("state")
    with pytest.raises(panic_type(), match="^injected fault$"):
        mesh.state_set("k", "2")
    for call in (
        lambda: mesh.state_get("k"),
        lambda: mesh.state_set("k", "3"),
        lambda: mesh.state_delete("k"),
        lambda: mesh.state_exists("k"),
        lambda: mesh.state_keys(),
    ):
        with pytest.raises(RuntimeError) as raised:
            call()
        assert raised.value.args == ("State error: state lock poisoned",)
    assert '"state":{"keys":0}' in mesh.health_snapshot()
    assert repr(mesh) == 'VennuMesh(app="app", agents=0, state_keys=0, migrations=0)'
    assert mesh.publish("t", "1") == 0


def test_fault_inside_the_channel_lock_poisons_the_channels_only():
    mesh = VennuMesh("app")
    mesh.publish("t", "1")
    VennuMesh._test_arm_fault("channel")
    with pytest.raises(panic_type()):
        mesh.publish("t", "2")
    with pytest.raises(RuntimeError) as raised:
        mesh.publish("u", "3")
    assert raised.value.args == ("Channel error: channel lock poisoned",)
    assert '"channels":{"topics":0}' in mesh.health_snapshot()
    mesh.state_set("k", "1")
    assert mesh.state_get("k") == "1"


def test_panic_exception_exists_before_any_fault():
    # Made at import, so that reporting a fault never has to allocate a type
    # at that moment; a fresh process has had no fault yet.
    code = (
        "import vennu_mesh\n"
        "print([c.__module__ + '.' + c.__name__ for c in BaseException.__subclasses__()\n"
        "       if c.__name__ == 'PanicException'])\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "['vennu_mesh.PanicException']"


def test_out_of_memory_is_memory_error_and_other_faults_stay_panics():
    mesh = VennuMesh("app")
    mesh.state_set("k", "1")
    VennuMesh._test_fail_allocation(1)
    try:
        with pytest.raises(MemoryError):
            repr(mesh)
    finally:
        assert VennuMesh._test_allocation_failed()
    with pytest.raises(panic_type(), match="^injected fault$"):
        VennuMesh._test_throw()
    assert repr(mesh) == 'VennuMesh(app="app", agents=0, state_keys=1, migrations=0)'
