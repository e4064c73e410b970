"""Threads, reference counts and memory: many calls on one mesh."""

import json
import os
import sys
import threading
import time

import pytest

from vennu_mesh import VennuMesh

THREADS = 8


@pytest.mark.threads
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


STATUSES = ("starting", "running", "idle", "stopping", "stopped", "error")
COUNTED = ("running", "idle", "error")  # the statuses health_snapshot counts
STAGES = ("idle", "shadow_write", "shadow_read", "dual_read", "new_primary", "cleanup", "done")
WINDOW = 6  # each thread keeps its last WINDOW keys and agents
ROUNDS = 160


def padding(writer, i):
    # Every 24th value is large enough for the call to let the interpreter lock go.
    return f"{writer}:{i}," * (10_000 if i % 24 == 0 else 1 + i % 40)


def check_value(text):
    if text is not None:
        value = json.loads(text)
        assert text == json.dumps(value, sort_keys=True, separators=(",", ":"))
        assert value["pad"] == padding(value["w"], value["i"]), "a torn or mixed value"


def check_agent(record):
    meta = record["metadata"]
    assert record["status"] in STATUSES
    if record["agent_type"] == "C":
        assert record["agent_id"] == f"c{meta['i']}"
    else:
        assert (record["agent_id"], record["agent_type"], record["instance"]) == (
            f"a{meta['owner']}:{meta['i']}", f"T{meta['owner']}", meta["i"])


def check_windows(names, prefix):
    """Each thread's own names in a listing: its last few, none missing."""
    owned = {}
    for name in names:
        if name.startswith(prefix):
            owner, index = name[len(prefix):].split(":")
            owned.setdefault(owner, []).append(int(index))
    for indices in owned.values():
        indices.sort()
        assert indices == list(range(indices[0], indices[0] + len(indices))), "a torn listing"
        assert len(indices) <= WINDOW + 1


def check_migration(record):
    assert record["stage_name"] == STAGES[record["stage"]]
    if record["variable_name"].startswith("m"):  # only advanced, one discrepancy a step
        assert record["discrepancy_count"] == record["stage"] - 1


@pytest.mark.threads
@pytest.mark.native_only
def test_every_method_from_several_threads_at_once():
    mesh = VennuMesh("app")
    plan = mesh.plan_json()
    errors, wins, advances = [], [], []
    for i in range(0, ROUNDS, 10):
        mesh.start_migration(f"m{i}", "a", "b")

    def worker(t):
        topics = 0
        try:
            for i in range(ROUNDS):
                shared = f"s{i % 4}"
                mesh.state_set(shared, json.dumps({"w": t, "i": i, "pad": padding(t, i)}))
                check_value(mesh.state_get(f"s{(i + t) % 4}"))
                if i % 7 == 0:
                    mesh.state_delete(shared)
                mesh.state_set(f"p{t}:{i}", str(i))
                if i >= WINDOW:
                    mesh.state_delete(f"p{t}:{i - WINDOW}")
                    assert not mesh.state_exists(f"p{t}:{i - WINDOW}")
                assert mesh.state_exists(f"p{t}:{i}") and mesh.state_get(f"p{t}:{i}") == str(i)
                keys = mesh.state_keys("p")
                assert keys == sorted(set(keys))
                check_windows(keys, "p")

                own = f"a{t}:{i}"
                meta = json.dumps({"owner": t, "i": i})
                check_agent(json.loads(mesh.register_agent(f"T{t}", own, i, meta)))
                # Agents stay in the statuses health counts, but for a moment after
                # registering: a view torn between the counts shows more than the total.
                mesh.update_agent_status(own, COUNTED[i % 3])
                if i >= WINDOW:
                    mesh.deregister_agent(f"a{t}:{i - WINDOW}")
                try:
                    mesh.route_agent_call(f"T{t}", own, "m", meta)
                    assert i % 3 != 2
                except KeyError:
                    assert i % 3 == 2
                if i > 0:
                    mesh.update_agent_status(f"a{t}:{i - 1}", COUNTED[i % 2 + 1])
                other = mesh.get_agent(f"a{(t + 1) % THREADS}:{i}")
                if other is not None:
                    check_agent(json.loads(other))
                agents = json.loads(mesh.list_agents())
                for record in agents:
                    check_agent(record)
                check_windows([record["agent_id"] for record in agents], "a")
                status = STATUSES[(i + t) % 6]
                assert {r["status"] for r in json.loads(mesh.list_agents(None, status))} <= {status}

                if i % 5 == 0:  # every thread registers it, one succeeds
                    try:
                        mesh.register_agent("C", f"c{i}", 0, meta)
                        wins.append(f"c{i}")
                        mesh.update_agent_status(f"c{i}", "idle")
                    except RuntimeError:
                        pass
                if i % 10 == 0:  # every thread starts n, one succeeds; five advances of m succeed
                    try:
                        check_migration(json.loads(mesh.start_migration(f"n{i}", "a", "b")))
                        wins.append(f"n{i}")
                    except ValueError:
                        pass
                    for _ in range(2):
                        try:
                            check_migration(json.loads(mesh.advance_migration(f"m{i}", 1, t + 1)))
                            advances.append((f"m{i}", t + 1))
                        except ValueError:
                            pass
                    stages = [json.loads(mesh.start_migration(f"v{t}:{i}", "a", "b"))["stage"]]
                    for call in (mesh.advance_migration, mesh.rollback_migration, mesh.advance_migration):
                        stages.append(json.loads(call(f"v{t}:{i}"))["stage"])
                    assert stages == [1, 2, 1, 2]
                for record in json.loads(mesh.list_migrations()):
                    check_migration(record)
                record = mesh.get_migration(f"m{i - i % 10}")
                if record is not None:
                    check_migration(json.loads(record))

                assert mesh.publish(f"topic{i % 16}", meta) == 0
                health = json.loads(mesh.health_snapshot())
                counts = health["agents"]
                assert counts["error"] + counts["idle"] + counts["running"] <= counts["total"]
                assert counts["total"] <= THREADS * (WINDOW + 1) + ROUNDS // 5
                assert health["state"]["keys"] <= 4 + THREADS * (WINDOW + 1)
                assert topics <= health["channels"]["topics"] <= 16
                topics = health["channels"]["topics"]
                assert (health["app"], health["status"]) == ("app", "ok")
                assert repr(mesh).startswith('VennuMesh(app="app", agents=')
                assert mesh.plan_json() == plan and mesh.app_name == "app"
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    expected = [f"c{i}" for i in range(0, ROUNDS, 5)] + [f"n{i}" for i in range(0, ROUNDS, 10)]
    assert sorted(wins) == sorted(expected), "a registration or a start lost or made twice"
    assert len({name for name, _ in advances}) == ROUNDS // 10
    for name in {name for name, _ in advances}:
        steps = [keys for n, keys in advances if n == name]
        record = json.loads(mesh.get_migration(name))
        assert (len(steps), record["stage"], record["discrepancy_count"], record["keys_migrated"]) == (
            5, 6, 5, sum(steps))
    health = json.loads(mesh.health_snapshot())
    assert health["agents"]["total"] == len(json.loads(mesh.list_agents())) == THREADS * WINDOW + ROUNDS // 5
    assert sum(health["agents"][status] for status in COUNTED) == health["agents"]["total"]
    assert health["state"]["keys"] == len(mesh.state_keys())
    assert health["channels"]["topics"] == 16


@pytest.mark.threads
@pytest.mark.native_only
def test_health_counts_agree_while_statuses_change():
    mesh = VennuMesh("app")
    flippers = THREADS // 2
    for n in range(flippers):
        mesh.register_agent("T", f"a{n}")
        mesh.update_agent_status(f"a{n}", "idle")
    stop = []

    def flip(n):
        while not stop:
            for status in COUNTED:
                mesh.update_agent_status(f"a{n}", status)

    threads = [threading.Thread(target=flip, args=(n,)) for n in range(flippers)]
    for thread in threads:
        thread.start()
    torn = []
    try:
        deadline = time.monotonic() + 0.5
        while time.monotonic() < deadline:
            counts = json.loads(mesh.health_snapshot())["agents"]
            if sum(counts[status] for status in COUNTED) != counts["total"]:
                torn.append(counts)
    finally:
        stop.append(1)
        for thread in threads:
            thread.join()
    assert torn == []


@pytest.mark.threads
def test_one_key_overwritten_in_place_while_read():
    """Values of one size replace each other in place, where threads run at
    once while readers copy: each is one letter repeated, so a read that
    mixes two writes shows."""
    mesh = VennuMesh("app")
    texts = [json.dumps({"v": chr(ord("a") + n) * 40}, separators=(",", ":")) for n in range(26)]
    mesh.state_set("hot", texts[0])
    written = threading.Event()
    mixed = []

    def write(n):
        for i in range(3000):
            mesh.state_set("hot", texts[(i * 7 + n) % 26])

    def read():
        while not written.is_set():
            text = mesh.state_get("hot")
            if text not in texts:
                mixed.append(text)

    writers = [threading.Thread(target=write, args=(n,)) for n in range(THREADS // 2)]
    readers = [threading.Thread(target=read) for _ in range(THREADS // 2)]
    for thread in readers + writers:
        thread.start()
    for thread in writers:
        thread.join()
    written.set()
    for thread in readers:
        thread.join()
    assert mixed == []


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
