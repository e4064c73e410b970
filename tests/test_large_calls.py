"""Large calls let other Python threads run, and give the same results as
small ones: every text is read, written and turned into a str the same way
whichever side of the size threshold it falls."""

import json
import os
import subprocess
import sys
import sysconfig
import textwrap
import threading
import time

import pytest

from vennu_mesh import VennuMesh

# Well above the sizes from which the mesh lets go of the interpreter lock.
LARGE = 4 << 20
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def large_document(size=LARGE):
    # Keys out of order and non-ASCII text, so the call has real work to do.
    item = {"z": "é€😀" * 4, "a": list(range(10)), "m": {"y": 1.5, "b": None}}
    count = size // len(json.dumps(item))
    return json.dumps([item] * count)


class Ticker:
    """A thread that counts while it holds the interpreter lock. With the
    switch interval made very long, it can only count while the main
    thread lets go of the lock of its own accord."""

    def __init__(self):
        self.count = 0
        self.stop = False
        self.started = threading.Event()
        self.thread = threading.Thread(target=self.run)

    def run(self):
        self.started.set()
        while not self.stop:
            self.count += 1
            time.sleep(0.0001)

    def __enter__(self):
        self.interval = sys.getswitchinterval()
        self.thread.start()
        self.started.wait()
        sys.setswitchinterval(30.0)
        # A wait for the lock that began under the old interval would still
        # ask for it back within milliseconds: let every such wait end first.
        time.sleep(0.05)
        return self

    def __exit__(self, *exc):
        sys.setswitchinterval(self.interval)
        self.stop = True
        self.thread.join()


def progress_during(call, attempts=5, before_each=None):
    with Ticker() as ticker:
        for _ in range(attempts):
            if before_each is not None:
                before_each()
            before = ticker.count
            call()
            if ticker.count > before:
                return True
    return False


@pytest.fixture(scope="module")
def document():
    return large_document()


@pytest.mark.native_only
def test_other_threads_run_during_large_calls(document):
    mesh = VennuMesh("app")
    mesh.state_set("doc", document)
    mesh.register_agent("T", "a1")
    calls = {
        "state_set": lambda: mesh.state_set("doc", document),
        "state_get": lambda: mesh.state_get("doc"),
        "publish": lambda: mesh.publish("topic", document),
        "route_agent_call": lambda: mesh.route_agent_call("T", "a1", "m", document),
        "register_agent": lambda: (
            mesh.register_agent("T", "big", 0, document),
            mesh.deregister_agent("big"),
        ),
    }
    stalled = [name for name, call in calls.items() if not progress_during(call)]
    assert stalled == []


@pytest.mark.skipif(FREE_THREADED, reason="a free-threaded build has no interpreter lock to keep: "
                    "every call runs beside the other threads")
def test_small_calls_keep_the_interpreter_lock():
    mesh = VennuMesh("app")
    mesh.state_set("k", '{"b":1,"a":2}')
    mesh.register_agent("T", "a1")
    mesh.start_migration("v", "a", "b")
    # An 80 KB record, not ASCII, so that its str is measured.
    mesh.register_agent("T", "wide", 0, json.dumps({"t": "é" * 40_000}, ensure_ascii=False))
    calls = [lambda: mesh.state_get("k"), lambda: mesh.state_keys(""), mesh.list_agents,
             mesh.list_migrations, lambda: mesh.get_agent("wide")]
    for call in calls:
        assert not progress_during(lambda: [call() for _ in range(200)], 1)


@pytest.mark.threads
@pytest.mark.skipif(not hasattr(VennuMesh, "_test_sections_serialized"),
                    reason="module built without test hooks")
def test_released_calls_count_themselves_out():
    # Sections may skip their subsystems' locks only while no thread has
    # let the interpreter lock go, and never on a free-threaded build.
    serialized = VennuMesh._test_sections_serialized
    mesh = VennuMesh("app")
    value = json.dumps("x" * LARGE)
    released = False
    stop = []

    def large_calls():
        while not stop:
            mesh.state_set("k", value)
            mesh.state_get("k")

    assert serialized() is not FREE_THREADED
    caller = threading.Thread(target=large_calls)
    caller.start()
    try:
        deadline = time.monotonic() + 10
        while not released and time.monotonic() < deadline:
            released = not serialized()
    finally:
        stop.append(1)
        caller.join()
    assert released
    assert serialized() is not FREE_THREADED


@pytest.mark.native_only
def test_a_waiting_writer_lets_other_threads_run():
    mesh = VennuMesh("app")
    for i in range(300_000):
        mesh.state_set(f"k{i}", "1")
    stop = []
    walker = threading.Thread(target=lambda: [mesh.state_keys("") for _ in iter(stop.copy, [1])])
    walker.start()
    try:
        # Each set of a new key that finds the store walked waits with the
        # lock let go (one that overwrites a value in place may not wait at
        # all). The walker needs the interpreter lock between walks, which
        # the main thread holds for the switch interval unless it sleeps: the
        # sleep, outside the counted call, lets the walker begin a walk.
        new_keys = (f"w{n}" for n in range(50))
        assert progress_during(lambda: mesh.state_set(next(new_keys), "1"), attempts=50,
                               before_each=lambda: time.sleep(0.02))
    finally:
        stop.append(1)
        walker.join()


@pytest.mark.threads
@pytest.mark.native_only
def test_small_writes_during_a_released_walk_wait_for_it():
    # Small calls skip the store's lock only while no thread has let the
    # interpreter lock go; a walk that has must see each write whole.
    mesh = VennuMesh("app")
    for i in range(30_000):
        mesh.state_set(f"k{i:06d}", "1")
    walks = []
    stop = []

    def walk():
        while not stop:
            walks.append(mesh.state_keys(""))

    walker = threading.Thread(target=walk)
    walker.start()
    try:
        deadline = time.monotonic() + 2
        while time.monotonic() < deadline and len(walks) < 10:
            for i in range(200):
                mesh.state_set(f"w{i}", "1")
            for i in range(200):
                mesh.state_delete(f"w{i}")
    finally:
        stop.append(1)
        walker.join()
    assert walks
    for keys in walks:
        assert keys == sorted(keys) and len(set(keys)) == len(keys)
        assert sum(key.startswith("k") for key in keys) == 30_000


# A mesh of each kind of table with calls that hold its lock while they let
# the interpreter lock go; the prelude of the fork and exit scripts below.
BUSY_MESH = """
    import json, os, signal, sys, threading, time, warnings
    from vennu_mesh import VennuMesh
    warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads
    case, rows = sys.argv[1], int(sys.argv[2])
    mesh = VennuMesh("app")
    grown = [mesh]
    big = json.dumps(["é" * 100] * 6000, ensure_ascii=False)  # 1.2 MB
    large = json.dumps(["é" * 100] * 200, ensure_ascii=False)  # 40 KB
    for i in range(rows if case in ("state_keys", "wait") else 0):
        mesh.state_set(f"k{i}", "1")
    for i in range(rows if case == "list_agents" else 1):
        mesh.register_agent("T", f"a{i}")
    for i in range(rows if case == "list_migrations" else 0):
        mesh.start_migration(f"v{i}", "a", "b")
    mesh.state_set("big", big)
    def grow():  # large sets, the store's table growing under them
        grown[0] = VennuMesh("g")
        for i in range(100):
            grown[0].state_set(f"g{i}", large)
    calls = {
        "none": lambda: sum(range(100_000)),
        "state_keys": lambda: mesh.state_keys(""), "wait": lambda: mesh.state_keys(""),
        "list_agents": mesh.list_agents, "list_migrations": mesh.list_migrations,
        "state_set": grow, "state_get": lambda: mesh.state_get("big"),
        "publish": lambda: mesh.publish("t", big),
        "register_agent": lambda: (mesh.register_agent("T", "b", 0, big),
                                   mesh.deregister_agent("b")),
        "route_agent_call": lambda: mesh.route_agent_call("T", "a0", "m", big),
    }
    running = threading.Event()
    def loop(call):
        while not stop:
            call()
            running.set()
    stop = False
    threading.Thread(target=loop, args=(calls[case],), daemon=True).start()
    if case == "wait":  # a small writer waiting for the walked store
        threading.Thread(target=loop, args=(lambda: mesh.state_set("w", "1"),), daemon=True).start()
    running.wait()
"""

FORK_CHILDREN = """
    def child():
        for m in {id(m): m for m in (mesh, grown[0])}.values():
            keys = m.state_keys("")
            assert all(m.state_get(k) is not None for k in keys)
            health = json.loads(m.health_snapshot())
            assert health["state"]["keys"] == len(keys)
            assert len(json.loads(m.list_agents())) == health["agents"]["total"]
            assert len(json.loads(m.list_migrations())) == health["migrations"]["active"]
            m.state_set("c", "1"), m.register_agent("C", "c"), m.start_migration("c", "a", "b")
            assert m.publish("c", "1") == 0 and m.state_get("c") == "1"
            assert m.get_agent("c") and m.get_migration("c")
    failed = []
    for n in range(int(sys.argv[3])):
        time.sleep(n % 7 / 300)
        if (pid := os.fork()) == 0:
            try:
                child()
                os._exit(0)
            except BaseException:
                os._exit(1)
        deadline = time.monotonic() + 20
        while not (done := os.waitpid(pid, os.WNOHANG))[0] and time.monotonic() < deadline:
            time.sleep(0.01)
        if not done[0]:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
        failed += [] if done[0] and done[1] == 0 else [done]
    stop = True
    print("failed children:", failed)
"""


def run_script(ending, *argv):
    code = textwrap.dedent(BUSY_MESH) + textwrap.dedent(ending)
    done = subprocess.run([sys.executable, "-c", code, *argv], capture_output=True, text=True,
                          timeout=600)
    return done.returncode, done.stdout, done.stderr


# A child forked while another thread is inside a call that holds a lock
# with the interpreter lock let go finds every mesh whole and unlocked.
@pytest.mark.native_only
@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork on this platform")
@pytest.mark.skipif(
    "asan" in os.environ.get("LD_PRELOAD", ""),
    reason="the sanitizer's allocator keeps no lock across fork: a child forked while "
    "another thread allocates can wait inside it forever",
)
@pytest.mark.parametrize("case", ["state_keys", "list_agents", "list_migrations", "state_set"])
def test_children_forked_during_large_calls_work(case):
    # Large tables, so that a lock is held for most of the time.
    assert run_script(FORK_CHILDREN, case, "100000", "12") == (0, "failed children: []\n", "")


# A daemon thread inside a large call (or waiting for a lock a large call
# holds) when the program ends: the program exits as it would without it.
@pytest.mark.native_only
@pytest.mark.parametrize("case", ["state_get", "state_set", "publish", "state_keys",
                                  "list_agents", "list_migrations", "register_agent",
                                  "route_agent_call", "wait"])
def test_exit_with_a_daemon_thread_inside_a_large_call(case):
    # Tables just large enough, so that the thread often takes the lock back.
    pure_python = run_script('print("done")\n', "none", "0")
    for _ in range(2):
        assert run_script('print("done")\n', case, "5000") == pure_python


@pytest.mark.parametrize(
    "size", [0, 1, 253, 254, 255, 1000, 32767, 32768, 32769, (1 << 20) - 1, 1 << 20, (1 << 20) + 1]
)
@pytest.mark.parametrize("char", ["a", "é", "€", "😀"])
def test_values_read_back_the_same_on_either_side_of_the_threshold(size, char):
    mesh = VennuMesh("app")
    # A JSON string literal of exactly size bytes of text, ending in char.
    text = "x" * max(0, size - len(char.encode())) + char
    literal = json.dumps(text, ensure_ascii=False)
    mesh.state_set("k", literal)
    got = mesh.state_get("k")
    assert got == literal
    assert json.loads(got) == text


def test_large_document_round_trip_is_exact(document):
    mesh = VennuMesh("app")
    mesh.state_set("doc", document)
    expected = json.dumps(json.loads(document), sort_keys=True, separators=(",", ":"),
                          ensure_ascii=False)
    assert mesh.state_get("doc") == expected
    with pytest.raises(ValueError, match="EOF while parsing a list"):
        mesh.state_set("doc", document[:-1])
    assert mesh.state_get("doc") == expected


def test_large_results_of_lists_and_keys():
    mesh = VennuMesh("app")
    for i in range(5000):
        mesh.register_agent("T", f"agent-é-{i:05}")
        mesh.state_set(f"k€{i:05}", str(i))
    agents = json.loads(mesh.list_agents())
    assert sorted(a["agent_id"] for a in agents) == sorted(f"agent-é-{i:05}" for i in range(5000))
    assert mesh.state_keys("k€") == [f"k€{i:05}" for i in range(5000)]
