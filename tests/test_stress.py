"""Threads, reference counts and memory: many calls on one mesh."""

import json
import os
import sys
import threading

import pytest

from vennu_mesh import VennuMesh

THREADS = 8


@pytest.mark.native_only
def test_python_threads_share_one_mesh():
    mesh = VennuMesh("app")
    rounds = 2_000
    errors = []

    def worker(n):
        try:
            for i in range(rounds):
                key = f"t{n}:{i}"
                mesh.state_set(key, json.dumps({"n": n, "i": i}))
                assert json.loads(mesh.state_get(key)) == {"i": i, "n": n}
                if i % 2:
                    mesh.state_delete(key)
                agent = f"a{n}:{i % 50}"
                if i < 50:
                    mesh.register_agent("T", agent)
                mesh.route_agent_call("T", agent, "m")
                mesh.publish(f"topic{i % 10}", "{}")
            mesh.start_migration(f"v{n}", "a", "b")
            for _ in range(3):
                mesh.advance_migration(f"v{n}", 1, 2)
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors
    assert len(mesh.state_keys()) == THREADS * rounds // 2
    snapshot = json.loads(mesh.health_snapshot())
    assert snapshot["agents"] == {"error": 0, "idle": 0, "running": THREADS * 50, "total": THREADS * 50}
    assert snapshot["channels"] == {"topics": 10}
    assert snapshot["migrations"] == {"active": THREADS}
    for n in range(THREADS):
        record = json.loads(mesh.get_migration(f"v{n}"))
        assert (record["stage"], record["discrepancy_count"], record["keys_migrated"]) == (4, 3, 6)


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


def every_call(mesh, key, value, bad):
    """One round over every method, success and failure paths alike."""
    mesh.register_agent("T", key, 1, value)
    for call, args in (
        (mesh.register_agent, ("T", key)),
        (mesh.update_agent_status, (key, bad)),
        (mesh.route_agent_call, ("T", "ghost", "m")),
        (mesh.state_set, (key, bad)),
        (mesh.publish, (key, bad)),
        (mesh.advance_migration, (bad,)),
        (mesh.rollback_migration, (bad,)),
        (mesh.get_agent, (1,)),
        (mesh.state_keys, (None,)),
        (mesh.register_agent, ("T", key, -1)),
    ):
        try:
            call(*args)
        except (ValueError, KeyError, RuntimeError, TypeError, OverflowError):
            pass
        else:
            raise AssertionError(f"{call.__name__}{args} did not fail")
    mesh.update_agent_status(key, "idle")
    mesh.get_agent(key)
    mesh.list_agents("T", "idle")
    mesh.route_agent_call("T", key, "m", value)
    mesh.state_set(key, value)
    mesh.state_get(key)
    mesh.state_exists(key)
    mesh.state_keys(key)
    mesh.state_delete(key)
    mesh.start_migration(key, key, key)
    mesh.advance_migration(key, 1, 1)
    mesh.rollback_migration(key)
    for _ in range(5):
        mesh.advance_migration(key)  # done, so the next round may start it again
    mesh.get_migration(key)
    mesh.publish(key, value)
    mesh.deregister_agent(key)
    mesh.list_migrations()
    mesh.health_snapshot()
    mesh.plan_json()
    repr(mesh)
    _ = mesh.app_name


@pytest.mark.native_only
def test_no_growth_and_no_reference_leaks():
    mesh = VennuMesh("app", '{"app_name":"app","backends":{"db":{"backend_type":"x","config":[1]}}}')
    key = "agent-" + "é" * 3
    value = '{"a":[1,2.5,"x"],"b":null}'
    bad = "not json"
    arguments = (key, value, bad)
    before_counts = [sys.getrefcount(obj) for obj in arguments]
    rounds = 25_000  # about 40 calls a round: a million calls
    for i in range(rounds // 10):
        every_call(mesh, key, value, bad)
    baseline = rss_bytes()
    for i in range(rounds):
        every_call(mesh, key if i % 2 else key + "x", value, bad)
    growth = rss_bytes() - baseline
    assert [sys.getrefcount(obj) for obj in arguments] == before_counts
    # Migration records are never dropped, so two names stay; everything
    # else was removed again. Allow for allocator noise only.
    if "asan" not in os.environ.get("LD_PRELOAD", ""):
        # AddressSanitizer keeps freed memory in quarantine, so only a plain
        # build says anything about growth.
        assert growth < 4 * 1024 * 1024, f"resident memory grew by {growth} bytes"


@pytest.mark.parametrize("count", [1, 10_000])
def test_many_meshes_are_independent(count):
    meshes = [VennuMesh(f"m{i}") for i in range(count)]
    meshes[0].state_set("k", "1")
    assert all(not m.state_exists("k") for m in meshes[1:])
    del meshes
