"""Large calls let other Python threads run, and give the same results as
small ones: every text is read, written and turned into a str the same way
whichever side of the size threshold it falls."""

import json
import sys
import threading
import time

import pytest

from vennu_mesh import VennuMesh

# Well above the sizes from which the mesh lets go of the interpreter lock.
LARGE = 4 << 20


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
        return self

    def __exit__(self, *exc):
        sys.setswitchinterval(self.interval)
        self.stop = True
        self.thread.join()


def progress_during(call, attempts=5):
    with Ticker() as ticker:
        for _ in range(attempts):
            before = ticker.count
            call()
            if ticker.count > before:
                return True
    return False


@pytest.fixture(scope="module")
def document():
    return large_document()


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


def test_small_calls_keep_the_interpreter_lock():
    mesh = VennuMesh("app")
    mesh.state_set("k", '{"b":1,"a":2}')
    assert not progress_during(lambda: [mesh.state_get("k") for _ in range(1000)], 1)


@pytest.mark.parametrize(
    "size", [0, 1, 1000, 32767, 32768, 32769, (1 << 20) - 1, 1 << 20, (1 << 20) + 1]
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
