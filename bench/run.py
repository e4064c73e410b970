"""Benchmark of vennu_mesh against plain-Python peers and a C-call floor.

Every workload is timed in one process for each contender, interleaved round by
round: the mesh (vennu_mesh.VennuMesh), the two peers (bench/peer.py, the same
API in pure Python, with the json module and with orjson) and the floor (a
trivial C-implemented call taking as many arguments). A sample runs a loop of N
operations through bound methods held in local variables, so loop overhead is
the same for every contender and nothing is subtracted. Results are the
fastest of many short rounds, after a warm-up, in ns per operation (the median
goes into the JSON results beside it). Resident memory is
measured in separate subprocesses. Then a ticker thread measures how long each
large call keeps other threads from running.

Usage: python bench/run.py [--quick] [--json PATH] [--chart PATH]
                           [--only NAME[,NAME...]]
"""

import argparse
import bisect
import gc
import importlib.util
import json
import math
import os
import platform
import random
import re
import statistics
import subprocess
import sys
import sysconfig
import threading
import time
from itertools import repeat
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from peer import OrjsonPeerMesh, PeerMesh  # noqa: E402

try:
    import orjson
except ImportError:
    orjson = None

perf_counter_ns = time.perf_counter_ns

SMALL = '{"active":true,"id":42,"name":"widget","price":9.5,"tags":["a","b"]}'
HOT_PREFIX = "hot:"
HOT_KEYS = 100
AGENTS = 1_000
MEDIUM_KEYS = 10_000
LARGE_KEYS = 1_000_000
SAMPLE_KEYS = 1_000
AGENT_ID = "agent-0007"
LARGE_WORKLOADS = {"state_keys_1m", "state_get_1m", "rss_1m"}
MIN_ROUNDS = 5
PEERS = ("peer", "orjson_peer")


# Loops. Each contender of a workload runs the same loop function; only the
# callables passed in differ.

def loop0(n, f):
    for _ in repeat(None, n):
        f()


def loop1(n, f, a):
    for _ in repeat(None, n):
        f(a)


def loop2(n, f, a, b):
    for _ in repeat(None, n):
        f(a, b)


def loop4(n, f, a, b, c, d):
    for _ in repeat(None, n):
        f(a, b, c, d)


def loop_then(n, f, a, b, g, c):
    for _ in repeat(None, n):
        f(a, b)
        g(c)


def loop_keys(n, f, keys):
    for _ in repeat(None, n):
        for key in keys:
            f(key)


def loop_migration(n, start, advance, get, name, source, target):
    for _ in repeat(None, n):
        start(name, source, target)
        advance(name)
        advance(name)
        advance(name)
        advance(name)
        advance(name)
        get(name)


def loop_codec(n, loads, dumps, text):
    for _ in repeat(None, n):
        dumps(loads(text))


def loop_orjson(n, loads, dumps, text, option):
    for _ in repeat(None, n):
        dumps(loads(text), option=option)


def loop_copy(n, data):
    for _ in repeat(None, n):
        bytearray(data)


# Data

def small_value(i):
    return f'{{"active":true,"id":{i},"name":"item {i}","qty":{i % 100}}}'


def fill_keys(mesh, count):
    state_set = mesh.state_set
    for i in range(HOT_KEYS):
        state_set(f"{HOT_PREFIX}{i:03d}", small_value(i))
    for i in range(count - HOT_KEYS):
        state_set(f"item:{i:07d}", small_value(i))


def fill_agents(mesh, count):
    for i in range(count):
        agent_type = "Inventory" if i % 10 == 0 else "Customer"
        mesh.register_agent(agent_type, f"agent-{i:04d}", i % 4, '{"tier":2,"zone":"eu"}')


def make_document(target_bytes=100_000):
    rng = random.Random(20261206)
    words = ["plain", "café", "naïve", "Straße", "日本語テキスト", "Ωmega", "emoji 😀",
             'say "hi"', "back\\slash", "tab\there", "line\nbreak", "ctl\x01", "a/b"]
    cities = ["Zürich", "København", "São Paulo", "Kraków", "Reykjavík", "Oslo"]

    def item(i):
        return {
            "id": i,
            "name": f"{rng.choice(words)} #{i}",
            "active": rng.random() < 0.5,
            "note": None if rng.random() < 0.3 else " ".join(rng.choices(words, k=4)),
            "tags": rng.choices(words, k=3),
            "counts": [rng.randint(-10**6, 10**12) for _ in range(8)],
            "ratios": [round(rng.uniform(-1000, 1000), rng.randint(1, 6)) for _ in range(6)],
            "address": {"city": rng.choice(cities), "zip": f"{rng.randint(0, 99999):05d}",
                        "geo": {"lat": round(rng.uniform(-90, 90), 6),
                                "lon": round(rng.uniform(-180, 180), 6)}},
        }

    items, size = [], 0
    while size < target_bytes:
        items.append(item(len(items)))
        size += len(json.dumps(items[-1], ensure_ascii=False).encode())
    return json.dumps({"version": 3, "source": "bench", "items": items}, ensure_ascii=False)


class Fixtures:
    """Meshes filled once per contender and shared by the workloads that need them."""

    def __init__(self, mesh_class, beside_class=None):
        self.classes = {"mesh": mesh_class, "peer": PeerMesh}
        if OrjsonPeerMesh is not None:
            self.classes["orjson_peer"] = OrjsonPeerMesh
        if beside_class is not None:
            self.classes["beside"] = beside_class
        self._cache = {}

    def get(self, name):
        if name not in self._cache:
            self._cache[name] = {who: getattr(self, "_" + name)(cls)
                                 for who, cls in self.classes.items()}
        return self._cache[name]

    def drop(self, name):
        self._cache.pop(name, None)
        gc.collect()

    @staticmethod
    def _medium(cls):
        m = cls("bench")
        fill_agents(m, AGENTS)
        fill_keys(m, MEDIUM_KEYS)
        m.state_set("bench:small", SMALL)
        m.start_migration("counter.Counts", "sqlite", "sqlite_new")
        m.publish("orders", '{"order":0}')
        return m

    @staticmethod
    def _keys_1k(cls):
        m = cls("bench")
        fill_keys(m, SAMPLE_KEYS)
        return m

    @staticmethod
    def _keys_1m(cls):
        m = cls("bench")
        fill_keys(m, LARGE_KEYS)
        return m


def key_sample(count):
    keys = [f"{HOT_PREFIX}{i:03d}" for i in range(HOT_KEYS)]
    keys += [f"item:{i:07d}" for i in range(count - HOT_KEYS)]
    return random.Random(count).sample(keys, SAMPLE_KEYS)


# Workloads: each builder returns {contender: (loop, args, operations per loop step)}.

def w_state_set_small(fx):
    m = fx.get("medium")
    d = {"bench:small": SMALL}
    return {who: (loop2, (m[who].state_set, "bench:small", SMALL), 1) for who in m} | {
        "floor": (loop2, (d.get, "bench:small", SMALL), 1)}


def one_key(fixture, method, key, floor_dict):
    def build(fx):
        m = fx.get(fixture)
        return {who: (loop1, (getattr(m[who], method), key), 1) for who in m} | {
            "floor": (loop1, (floor_dict.get, key), 1)}
    return build


def w_state_keys(fixture):
    def build(fx):
        m = fx.get(fixture)
        d = {HOT_PREFIX: "x"}
        return {who: (loop1, (m[who].state_keys, HOT_PREFIX), 1) for who in m} | {
            "floor": (loop1, (d.get, HOT_PREFIX), 1)}
    return build


def w_state_get_sample(fixture, count):
    def build(fx):
        m = fx.get(fixture)
        keys = key_sample(count)
        d = dict.fromkeys(keys, SMALL)
        return {who: (loop_keys, (m[who].state_get, keys), len(keys)) for who in m} | {
            "floor": (loop_keys, (d.get, keys), len(keys))}
    return build


DOCUMENT = make_document()
DOCUMENT_BYTES = len(DOCUMENT.encode())


# Documents of about 1 MB of one kind of content each, as bench/json_bench.cpp
# makes them for the canonicalizer alone.

def text_document(size):
    """Long strings, mostly ASCII with some wider characters and an escape
    now and then, in objects whose keys are in order."""
    rng = random.Random(1)
    pieces = ["The quick brown fox jumps over the lazy dog. ", "café ", "日本 ", "😀 ",
              'say \\"hi\\" ', "Lorem ipsum dolor sit amet, consectetur. "]
    records, total = [], 0
    while total < size:
        body = "".join(rng.choice(pieces) for _ in range(40))
        records.append(f'{{"body":"{body}","title":"record"}}')
        total += len(records[-1].encode()) + 1
    return "[" + ",".join(records) + "]"


def number_document(size):
    """Integers and short decimals, without whitespace."""
    rng = random.Random(2)
    numbers, total = [], 0
    while total < size:
        value = rng.randrange(2_000_000_000) - 1_000_000_000
        numbers.append(str(value) if rng.randrange(2) == 0 else f"{value / 1e4:.{rng.randrange(6) + 1}f}")
        total += len(numbers[-1]) + 1
    return "[" + ",".join(numbers) + "]"


def nested_document(size):
    """Objects nested 100 deep, keys in descending order at every level."""
    one = '{"z":1,"y":"text","b":[1,2],"a":' * 100 + "null" + "}" * 100
    return "[" + ",".join([one] * (size // (len(one) + 1) + 1)) + "]"


CONTENT_KINDS = (("text-heavy", text_document), ("number-heavy", number_document),
                 ("nested 100 deep, keys unsorted", nested_document))


def measure_by_content(mesh_class, rounds, target_ns, budget_ns):
    """MB/s of a round trip through the mesh (state_set, then state_get) and
    through orjson (loads, then dumps with sorted keys) of each kind of
    document, beside a copy of its bytes: the speed of memory here."""
    mesh = mesh_class("bench")
    rows = {}
    for name, make in CONTENT_KINDS:
        text = make(1_000_000)
        size = len(text.encode())
        contenders = {"mesh": (loop_then, (mesh.state_set, "doc", text, mesh.state_get, "doc"), 1),
                      "copy": (loop_copy, (text.encode(),), 1)}
        if orjson is not None:
            contenders["orjson"] = (loop_orjson, (orjson.loads, orjson.dumps, text, orjson.OPT_SORT_KEYS), 1)
        fastest, _ = measure(contenders, rounds, target_ns, budget_ns)
        rows[name] = {"bytes": size} | {f"{who}_mb_per_s": size / ns * 1e3 for who, ns in fastest.items()}
    return rows


def w_document(fx):
    m = fx.get("medium")
    d = {"bench:doc": DOCUMENT}
    out = {who: (loop_then, (m[who].state_set, "bench:doc", DOCUMENT, m[who].state_get, "bench:doc"), 1)
           for who in m}
    out["floor"] = (loop_then, (d.get, "bench:doc", DOCUMENT, d.get, "bench:doc"), 1)
    if orjson is not None:
        out["orjson"] = (loop_orjson, (orjson.loads, orjson.dumps, DOCUMENT, orjson.OPT_SORT_KEYS), 1)
    encode = json.JSONEncoder(sort_keys=True, separators=(",", ":"), ensure_ascii=False).encode
    out["json"] = (loop_codec, (json.loads, encode, DOCUMENT), 1)
    return out


def w_register_deregister(fx):
    m = fx.get("medium")
    d = {"bench-agent": "x"}
    return {who: (loop_then, (m[who].register_agent, "Customer", "bench-agent",
                              m[who].deregister_agent, "bench-agent"), 1) for who in m} | {
        "floor": (loop_then, (d.get, "bench-agent", None, d.get, "bench-agent"), 1)}


def w_update_agent_status(fx):
    m = fx.get("medium")
    d = {AGENT_ID: "idle"}
    return {who: (loop2, (m[who].update_agent_status, AGENT_ID, "idle"), 1) for who in m} | {
        "floor": (loop2, (d.get, AGENT_ID, "idle"), 1)}


def w_route_agent_call(fx):
    m = fx.get("medium")
    args = ("Customer", AGENT_ID, "place_order", '{"quantity":2,"sku":"apple"}')
    # str.replace(self, old, new, count) stands in for a four-argument C call.
    return {who: (loop4, (m[who].route_agent_call, *args), 1) for who in m} | {
        "floor": (loop4, (str.replace, "Customer", AGENT_ID, "place_order", -1), 1)}


def w_migration_cycle(fx):
    m = fx.get("medium")
    d = {"bench.Cycle": "x"}
    names = ("bench.Cycle", "sqlite", "sqlite_new")
    return {who: (loop_migration, (m[who].start_migration, m[who].advance_migration,
                                   m[who].get_migration, *names), 1) for who in m} | {
        "floor": (loop_migration, (str.replace, d.get, d.get, *names), 1)}


def w_publish(fx):
    m = fx.get("medium")
    payload = '{"order":1,"sku":"apple"}'
    d = {"orders": payload}
    return {who: (loop2, (m[who].publish, "orders", payload), 1) for who in m} | {
        "floor": (loop2, (d.get, "orders", payload), 1)}


def w_health_snapshot(fx):
    m = fx.get("medium")
    return {who: (loop0, (m[who].health_snapshot,), 1) for who in m} | {
        "floor": (loop0, ("bench".isascii,), 1)}


WORKLOADS = [
    ("state_set_small", "state_set of a small object", w_state_set_small),
    ("state_get_hit", "state_get of a small object", one_key("medium", "state_get", "bench:small",
                                                             {"bench:small": SMALL})),
    ("state_get_miss", "state_get of an absent key", one_key("medium", "state_get", "bench:absent",
                                                             {"bench:small": SMALL})),
    ("state_exists", "state_exists of a present key", one_key("medium", "state_exists", "bench:small",
                                                              {"bench:small": SMALL})),
    ("state_keys_10k", "state_keys, 100 of 10,000 keys match", w_state_keys("medium")),
    ("doc_100k", "state_set + state_get of a ~100 KB document", w_document),
    ("register_deregister", "register_agent + deregister_agent", w_register_deregister),
    ("get_agent", "get_agent", one_key("medium", "get_agent", AGENT_ID, {AGENT_ID: "x"})),
    ("update_agent_status", "update_agent_status", w_update_agent_status),
    ("route_agent_call", "route_agent_call", w_route_agent_call),
    ("list_agents_1k", "list_agents by type, 100 of 1,000 agents", one_key(
        "medium", "list_agents", "Inventory", {"Inventory": "x"})),
    ("migration_cycle", "start + 5 advance + get_migration", w_migration_cycle),
    ("get_migration", "get_migration", one_key("medium", "get_migration", "counter.Counts",
                                               {"counter.Counts": "x"})),
    ("publish", "publish to an existing topic", w_publish),
    ("health_snapshot", "health_snapshot, 1,000 agents, 10,000 keys", w_health_snapshot),
    ("state_get_1k", "state_get of random keys, 1,000 keys", w_state_get_sample("keys_1k", SAMPLE_KEYS)),
    ("state_keys_1m", "state_keys, 100 of 1,000,000 keys match", w_state_keys("keys_1m")),
    ("state_get_1m", "state_get of random keys, 1,000,000 keys", w_state_get_sample("keys_1m", LARGE_KEYS)),
]
WORKLOAD_NAMES = [name for name, _, _ in WORKLOADS] + ["by_content", "rss_1m", "stalls", "scaling"]


# Timing

def timed(loop, args, n):
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        start = perf_counter_ns()
        loop(n, *args)
        return perf_counter_ns() - start
    finally:
        if gc_was_enabled:
            gc.enable()


def calibrate(loop, args, target_ns):
    """The loop count for a sample of about target_ns, and that sample's expected time."""
    n = 1
    while True:
        elapsed = max(timed(loop, args, n), 1)
        if elapsed * 4 >= target_ns:
            count = max(1, int(n * target_ns / elapsed))
            return count, elapsed * count / n
        n = n * 10 if elapsed * 100 < target_ns else max(n + 1, int(n * target_ns / elapsed))


def measure(contenders, rounds, target_ns, budget_ns):
    """The fastest and the median sample per contender, in ns per operation.

    Samples are short and many, interleaved round by round, and the fastest
    one is the figure: on a machine shared with other work most samples are
    stretched by time the process spent off the processor, and only the
    fastest approach what the code itself costs. A contender whose sample is
    long (one slow operation) runs fewer rounds, within budget_ns.
    """
    counts, limits = {}, {}
    for who, (loop, args, _) in contenders.items():
        counts[who], sample_ns = calibrate(loop, args, target_ns)
        limits[who] = max(MIN_ROUNDS, min(rounds, int(budget_ns // sample_ns)))
        timed(loop, args, counts[who])
    samples = {who: [] for who in contenders}
    for index in range(rounds):
        for who, (loop, args, ops) in contenders.items():
            if index < limits[who]:
                n = counts[who]
                samples[who].append(timed(loop, args, n) / (n * ops))
    return ({who: min(values) for who, values in samples.items()},
            {who: statistics.median(values) for who, values in samples.items()})


# Memory

def rss_bytes():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("VmRSS not found in /proc/self/status")


def rss_child(which, mesh_class):
    cls = PeerMesh if which == "peer" else mesh_class
    gc.collect()
    before = rss_bytes()
    mesh = cls("bench")
    fill_keys(mesh, LARGE_KEYS)
    gc.collect()
    print(json.dumps({"rss_growth": rss_bytes() - before, "keys": len(mesh.state_keys(HOT_PREFIX))}))


def measure_rss(self_test):
    growth = {}
    for which in ("mesh", "peer"):
        cmd = [sys.executable, str(Path(__file__).resolve()), "--rss-child", which]
        if self_test:
            cmd.append("--self-test")
        out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
        growth[which] = json.loads(out.splitlines()[-1])["rss_growth"]
    return growth


# Stalls: how long one large call keeps every other Python thread waiting.

TICK_S = 0.001
SETTLE_S = 0.02
IDLE_S = 0.2
BIG_STRING_BYTES = 200_000_000
OBJECTS_BYTES = 110_000_000
PAYLOAD_BYTES = 200_000_000


class Ticker:
    """A thread that sleeps 1 ms at a time and keeps the time of every wakeup.

    A call that holds the interpreter lock shows up as a gap between two
    wakeups as long as the call, whatever the ticker would have done.
    """

    def __init__(self):
        self.wakeups = []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="ticker", daemon=True)

    def _run(self):
        append, now, sleep, stopped = self.wakeups.append, perf_counter_ns, time.sleep, self._stop.is_set
        while not stopped():
            append(now())
            sleep(TICK_S)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc_info):
        self._stop.set()
        self._thread.join()

    def run(self, call):
        """Runs call() on this thread; returns its result, its duration, the
        processor time this thread spent in it and the longest gap between
        the ticker's wakeups that overlaps it (ns)."""
        time.sleep(SETTLE_S)
        start, start_cpu = perf_counter_ns(), time.thread_time_ns()
        result = call()
        end_cpu, end = time.thread_time_ns(), perf_counter_ns()
        while self.wakeups[-1] <= end and self._thread.is_alive():
            time.sleep(TICK_S)
        wakeups = self.wakeups
        first = max(bisect.bisect_left(wakeups, start) - 1, 0)
        last = bisect.bisect_right(wakeups, end)
        window = wakeups[first:last + 1]
        return result, end - start, end_cpu - start_cpu, max(b - a for a, b in zip(window, window[1:]))


def spin_python(seconds):
    end = perf_counter_ns() + int(seconds * 1e9)
    while perf_counter_ns() < end:
        pass


def big_string_json(size):
    words = "lorem ipsum dolor sit amet, consectetur adipiscing elit "
    return '"' + (words * (size // len(words) + 1))[:size - 2] + '"'


def objects_json(size):
    """A JSON array of small objects of about size bytes, keys in the order a
    Python dict would give them rather than sorted."""
    block = ",".join(f'{{"name":"item {i}","id":{i},"qty":{i % 100},"price":{i % 997}.25,'
                     f'"active":{"true" if i % 2 else "false"},"tags":["a","b"]}}'
                     for i in range(10_000))
    return "[" + ",".join(repeat(block, max(1, size // (len(block) + 1)))) + "]"


def measure_stalls(mesh_class, repeats):
    """Longest ticker gap per large call: the median over the repeats and the worst."""
    mesh = mesh_class("bench")
    mesh.register_agent("Customer", AGENT_ID)
    stalls, notes = {}, []

    with Ticker() as ticker:
        def stall(name, description, size, call, before=None):
            print(f"  stalls: {name}", file=sys.stderr, flush=True)
            gaps, durations, cpu_times, result = [], [], [], None
            for _ in range(repeats):
                if before is not None:
                    before()
                result = None
                result, took, cpu, gap = ticker.run(call)
                gaps.append(gap)
                durations.append(took)
                cpu_times.append(cpu)
            stalls[name] = {"description": description, "bytes": size, "repeats": repeats,
                            "call_ns": statistics.median(durations),
                            "call_cpu_ns": statistics.median(cpu_times),
                            "gap_ns": statistics.median(gaps), "worst_gap_ns": max(gaps)}
            return result

        stall("idle", "no call: the main thread sleeps 200 ms", 0, lambda: time.sleep(IDLE_S))
        stall("python_loop", "no call: the main thread runs Python code for 200 ms", 0,
              lambda: spin_python(IDLE_S))

        text = big_string_json(BIG_STRING_BYTES)
        stall("state_set_string", "state_set of a 200 MB string", len(text),
              lambda: mesh.state_set("big:string", text), lambda: mesh.state_delete("big:string"))
        got = stall("state_get_string", "state_get of it", len(text),
                    lambda: mesh.state_get("big:string"))
        if got != text:
            notes.append("state_get of the 200 MB string differs from what was stored")
        got = text = None
        mesh.state_delete("big:string")

        text = objects_json(OBJECTS_BYTES)
        stall("state_set_objects", "state_set of 110 MB of small objects", len(text),
              lambda: mesh.state_set("big:objects", text), lambda: mesh.state_delete("big:objects"))
        got = stall("state_get_objects", "state_get of them", len(text),
                    lambda: mesh.state_get("big:objects"))
        if got is None or len(got) != len(text):
            notes.append("state_get of the 110 MB of small objects has the wrong length")
        got = None
        mesh.state_delete("big:objects")
        args = '{"rows":' + text + "}"
        text = None
        stall("route_agent_call", "route_agent_call with 110 MB of args_json", len(args),
              lambda: mesh.route_agent_call("Customer", AGENT_ID, "import_rows", args))
        args = None

        payload = objects_json(PAYLOAD_BYTES)
        stall("publish", "publish of a 200 MB payload", len(payload),
              lambda: mesh.publish("bulk", payload))
        payload = None
    gc.collect()
    return stalls, notes


# Scaling: calls per second of several threads calling at once.

SCALING_SECONDS = 0.2
SCALING_CHUNK_NS = 1_000_000
SCALING_MODES = ("own", "global")
SHARED = None  # the contender that the "global" loops reach through this name


def loop_mix(n, get, put, key, value):
    """Nine state_get and one state_set of the same key: a 90/10 mix."""
    for _ in repeat(None, n):
        get(key)
        get(key)
        get(key)
        get(key)
        get(key)
        get(key)
        get(key)
        get(key)
        get(key)
        put(key, value)


def global_state_get(n):
    for _ in repeat(None, n):
        SHARED.state_get("bench:small")


def global_state_exists(n):
    for _ in repeat(None, n):
        SHARED.state_exists("bench:small")


def global_get_agent(n):
    for _ in repeat(None, n):
        SHARED.get_agent("agent-0007")


def global_mix(n):
    for _ in repeat(None, n):
        SHARED.state_get("bench:small")
        SHARED.state_get("bench:small")
        SHARED.state_get("bench:small")
        SHARED.state_get("bench:small")
        SHARED.state_get("bench:small")
        SHARED.state_get("bench:small")
        SHARED.state_get("bench:small")
        SHARED.state_get("bench:small")
        SHARED.state_get("bench:small")
        SHARED.state_set("bench:small", SMALL)


def global_mix_keys(n):
    key = f"bench:small:{threading.get_ident()}"
    for _ in repeat(None, n):
        SHARED.state_get(key)
        SHARED.state_get(key)
        SHARED.state_get(key)
        SHARED.state_get(key)
        SHARED.state_get(key)
        SHARED.state_get(key)
        SHARED.state_get(key)
        SHARED.state_get(key)
        SHARED.state_get(key)
        SHARED.state_set(key, SMALL)


def own_key_mix(m):
    """The 90/10 mix on a key of the calling thread's own."""
    key = f"bench:small:{threading.get_ident()}"
    m.state_set(key, SMALL)
    return loop_mix, (m.state_get, m.state_set, key, own(SMALL))


def global_publish(n):
    for _ in repeat(None, n):
        SHARED.publish("orders", '{"order":1,"sku":"apple"}')


def own(text):
    """A copy of text that no other thread holds."""
    return "".join(list(text))


def share_nothing():
    """The floor of the scaling runs: dict.get on a dict of the thread's own,
    which shares nothing with other threads, so that its ratio shows how far
    the machine lets threads scale at all while the others run."""
    key = own(AGENT_ID)
    return loop1, ({key: SMALL}.get, key), 1


# name, description, the loop of a thread that holds its own bound method
# and arguments (made in that thread), the loop through the global name, and
# the calls one loop step makes.
SCALING = [
    ("state_get", "state_get of a small object",
     lambda m: (loop1, (m.state_get, own("bench:small"))), global_state_get, 1),
    ("state_exists", "state_exists of a present key",
     lambda m: (loop1, (m.state_exists, own("bench:small"))), global_state_exists, 1),
    ("get_agent", "get_agent among 1,000 agents",
     lambda m: (loop1, (m.get_agent, own(AGENT_ID))), global_get_agent, 1),
    ("mix_90_10", "nine state_get, then one state_set of the same small object",
     lambda m: (loop_mix, (m.state_get, m.state_set, own("bench:small"), own(SMALL))), global_mix, 10),
    ("mix_90_10_keys", "the same mix, each thread on a key of its own",
     own_key_mix, global_mix_keys, 10),
    ("publish", "publish of a small payload to an existing topic",
     lambda m: (loop2, (m.publish, own("orders"), own('{"order":1,"sku":"apple"}'))), global_publish, 1),
]


def thread_counts(cpus):
    """1, every core, twice as many threads, and the powers of two between."""
    counts = {1, cpus, 2 * cpus}
    counts |= {1 << k for k in range(cpus.bit_length()) if 1 << k <= cpus}
    return sorted(counts)


def run_threads(threads, make, seconds, chunk):
    """Calls per second of threads all running their loop at once: each
    thread counts the calls it finished by the deadline and its own elapsed
    time, so a late start is not counted as idle time."""
    barrier = threading.Barrier(threads + 1)
    rates = [0.0] * threads
    failures = []

    def worker(index):
        try:
            loop, args, calls = make()
            barrier.wait()
            start = perf_counter_ns()
            deadline = start + int(seconds * 1e9)
            done = 0
            while True:
                loop(chunk, *args)
                done += chunk
                now = perf_counter_ns()
                if now >= deadline:
                    break
            rates[index] = done * calls * 1e9 / (now - start)
        except BaseException as exc:  # noqa: BLE001 (reported after the join)
            failures.append(exc)
            barrier.abort()

    workers = [threading.Thread(target=worker, args=(i,)) for i in range(threads)]
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for thread in workers:
            thread.start()
        try:
            barrier.wait()
        except threading.BrokenBarrierError:
            pass
        for thread in workers:
            thread.join()
    finally:
        if gc_was_enabled:
            gc.enable()
    if failures:
        raise failures[0]
    return sum(rates)


def measure_scaling(fx, rounds, seconds):
    """Median calls per second per workload, sharing mode, contender and
    thread count, the runs of each workload interleaved round by round."""
    global SHARED
    meshes = fx.get("medium")
    cpus = os.cpu_count() or 1
    counts = thread_counts(cpus)
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else None
    results, floor = {}, {}
    for name, _, own_loop, global_loop, calls in SCALING:
        print(f"  scaling: {name}", file=sys.stderr, flush=True)
        makers = {}
        for mode in SCALING_MODES:
            for who, m in meshes.items():
                if mode == "own":
                    makers[mode, who] = lambda m=m: (*own_loop(m), calls)
                else:
                    makers[mode, who] = lambda m=m: (global_loop, (), calls)
        makers["own", "floor"] = share_nothing
        chunks = {}
        for (mode, who), make in makers.items():
            SHARED = meshes.get(who)
            loop, args, _ = make()
            n, _ = calibrate(loop, args, SCALING_CHUNK_NS)
            chunks[mode, who] = n
        samples = {key: {t: [] for t in counts} for key in makers}
        for _ in range(rounds):
            for (mode, who), make in makers.items():
                SHARED = meshes.get(who)
                for threads in counts:
                    samples[mode, who][threads].append(
                        run_threads(threads, make, seconds, chunks[mode, who]))
        SHARED = None
        results[name] = {mode: {who: {str(t): statistics.median(samples[mode, who][t]) for t in counts}
                                for who in meshes}
                         for mode in SCALING_MODES}
        floor[name] = {str(t): statistics.median(samples["own", "floor"][t]) for t in counts}
    return {"cpus": cpus, "threads": counts, "rounds": rounds, "seconds": seconds,
            "load_average": [load, os.getloadavg()[0] if load is not None else None],
            "workloads": results, "floor": floor}


def print_scaling(scaling):
    cpus = scaling["cpus"]
    one, every = "1", str(cpus)
    print(f"\nScaling: calls per second (millions) with 1 thread and with {cpus} threads "
          f"(median of {scaling['rounds']} runs of {scaling['seconds']:g} s); own: each thread "
          "holds its own bound method and arguments; global: threads reach the mesh through a "
          "global name; floor x: dict.get on a dict of each thread's own, interleaved with the "
          "workload's runs, which shares nothing")
    low, high = scaling["load_average"]
    if low is not None:
        print(f"  load average over the last minute: {low:.2f} before, {high:.2f} after")
    contenders = list(next(iter(next(iter(scaling["workloads"].values())).values())))
    head = f"  {'workload':<14}{'sharing':<9}"
    for who in contenders:
        label = who.replace("_", " ")
        head += f"{label + ' 1':>12}{f'{label} {cpus}':>13}{'x':>6}"
    head += "".join(f"{f'mesh/{who} at {cpus}':>18}" for who in contenders if who != "mesh")
    head += f"{'floor x':>9}"
    print(head)
    for name, modes in scaling["workloads"].items():
        for mode, by_who in modes.items():
            line = f"  {name:<14}{mode:<9}"
            for who in contenders:
                rates = by_who[who]
                line += (f"{rates[one] / 1e6:>12.2f}{rates[every] / 1e6:>13.2f}"
                         f"{fmt_ratio(ratio(rates[every], rates[one])):>6}")
            line += "".join(f"{fmt_ratio(ratio(by_who['mesh'][every], by_who[who][every])):>18}"
                            for who in contenders if who != "mesh")
            rates = scaling["floor"][name]
            line += f"{fmt_ratio(ratio(rates[every], rates[one])) if mode == 'own' else '':>9}"
            print(line)


# Reporting

TIMESTAMP = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(?:\.\d+)?(?:Z|[+-]\d\d:\d\d)")
RECORD_LIST = re.compile(r'\[\{"(?:agent_id|variable_name)":')
RECORD_START = re.compile(r',(?=\{"(?:agent_id|variable_name)":)')


def fmt_ns(value):
    if value is None:
        return "-"
    return f"{value:.1f}" if value < 1000 else f"{value:,.0f}"


def ratio(a, b):
    return a / b if a is not None and b else None


def fmt_ratio(value):
    return "-" if value is None else f"{value:.2f}"


def mb_per_s(ns):
    return DOCUMENT_BYTES / ns * 1e3


def geometric_mean(values):
    values = list(values)
    return math.exp(statistics.fmean(math.log(v) for v in values)) if values else None


def speedups(results, who):
    """peer / mesh per workload for one peer."""
    return {name: r[who] / r["mesh"] for name, r in results.items() if r.get(who) and r.get("mesh")}


def without_timestamps(text):
    return TIMESTAMP.sub("<time>", text) if isinstance(text, str) else text


def comparable(text):
    """The text with timestamps masked; a list of records becomes the sorted
    list of its records, since the mesh lists in its table's order."""
    text = without_timestamps(text)
    if isinstance(text, str) and RECORD_LIST.match(text):
        return sorted(RECORD_START.split(text[1:-1]))
    return text


def scenario(cls):
    """Every benchmarked method on a fresh mesh, with the workloads' data; the
    results with timestamps masked."""
    m = cls("bench")
    calls = [
        ("register_agent", ("Customer", AGENT_ID, 3, '{"zone":"eu","tier":2,"tags":["a","é"]}')),
        ("register_agent", ("Inventory", "agent-0010", 0, None)),
        ("get_agent", (AGENT_ID,)),
        ("update_agent_status", (AGENT_ID, "idle")),
        ("route_agent_call", ("Customer", AGENT_ID, "place_order", '{"quantity":2,"sku":"apple"}')),
        ("list_agents", ()),
        ("list_agents", ("Inventory",)),
        ("list_agents", (None, "running")),
        ("state_set", ("bench:small", SMALL)),
        ("state_set", ("bench:doc", DOCUMENT)),
        ("state_set", ("bench:text", '{"z":"tab\\there \\u0001 \\u2028 😀 \\"q\\"","a":[true,false,null]}')),
        ("state_get", ("bench:small",)),
        ("state_get", ("bench:doc",)),
        ("state_get", ("bench:text",)),
        ("state_get", ("bench:absent",)),
        ("state_exists", ("bench:small",)),
        ("state_keys", ("bench:",)),
        ("start_migration", ("counter.Counts", "sqlite", "sqlite_new")),
        ("advance_migration", ("counter.Counts", 2, 40)),
        ("rollback_migration", ("counter.Counts",)),
        ("get_migration", ("counter.Counts",)),
        ("list_migrations", ()),
        ("publish", ("orders", '{"order":1,"sku":"apple"}')),
        ("health_snapshot", ()),
        ("deregister_agent", ("agent-0010",)),
        ("health_snapshot", ()),
    ]
    out = [(name, args, comparable(getattr(m, name)(*args))) for name, args in calls]
    out.append(("repr", (), repr(m)))
    return out


def check_agreement(fx):
    """Notes for every result on which a peer and the mesh differ, timestamps aside."""
    notes = []
    m = fx.get("medium")
    mesh_results = scenario(fx.classes["mesh"])
    fixture_calls = [("state_get(small)", lambda x: x.state_get("bench:small")),
                     ("state_keys(hot:)", lambda x: x.state_keys(HOT_PREFIX)),
                     ("health_snapshot", lambda x: x.health_snapshot()),
                     ("get_agent", lambda x: x.get_agent(AGENT_ID)),
                     ("list_agents of 1,000 agents", lambda x: x.list_agents()),
                     ("get_migration", lambda x: x.get_migration("counter.Counts"))]
    for who in m:
        if who == "mesh":
            continue
        for label, call in fixture_calls:
            if comparable(call(m["mesh"])) != comparable(call(m[who])):
                notes.append(f"mesh and {who} disagree on {label}")
        for mine, theirs in zip(mesh_results, scenario(fx.classes[who])):
            if mine != theirs:
                notes.append(f"mesh and {who} disagree on {mine[0]}{mine[1]!r:.60}")
    return notes


# The most each workload may cost in empty C calls with as many arguments.
FLOOR_TARGETS = {"state_exists": 2, "state_get_miss": 2, "state_get_hit": 2.5, "get_agent": 3,
                 "get_migration": 3, "update_agent_status": 3, "publish": 3,
                 "route_agent_call": 5, "state_set_small": 5}


# On a free-threaded build, the aggregate calls per second with a thread per
# core, as a share of one thread's times the cores: reads write no shared
# line, so they scale with the cores.
SCALING_TARGETS = {"state_get": 0.95, "state_exists": 0.95, "get_agent": 0.95, "mix_90_10": 0.75,
                   "mix_90_10_keys": 0.75}
SCALING_OVER_PEERS = 3


def gil_enabled():
    check = getattr(sys, "_is_gil_enabled", None)
    return True if check is None else check()


def evaluate(results, rss, stalls, scaling=None):
    checks = []

    def mesh_ns(name):
        return results.get(name, {}).get("mesh")

    def add(label, value, limit, higher_is_better, detail):
        if value is None:
            checks.append(("SKIP", label, "not measured"))
        else:
            ok = value >= limit if higher_is_better else value <= limit
            checks.append(("PASS" if ok else "FAIL", label, detail))

    for name, limit in FLOOR_TARGETS.items():
        r = ratio(mesh_ns(name), results.get(name, {}).get("floor"))
        add(f"{name} <= {limit:g}x floor", r, limit, False, f"{fmt_ratio(r)}x")

    for who, label, target in (("peer", "plain peer", 40), ("orjson_peer", "orjson peer", 20)):
        ups = speedups(results, who)
        if who == "orjson_peer" and OrjsonPeerMesh is None:
            checks.append(("SKIP", f"geometric mean of {label}/mesh >= {target}", "orjson not installed"))
            checks.append(("SKIP", f"every workload >= 3x the {label}", "orjson not installed"))
            continue
        gm = geometric_mean(ups.values())
        add(f"geometric mean of {label}/mesh >= {target}", gm, target, True,
            f"{fmt_ratio(gm)} over {len(ups)} workloads")
        low = min(ups, key=ups.get) if ups else None
        add(f"every workload >= 3x the {label}", ups[low] if low else None, 3, True,
            f"lowest {low} {fmt_ratio(ups[low])}x" if low else "")

    doc = results.get("doc_100k", {})
    if "orjson" in doc:
        r = ratio(doc["orjson"], doc["mesh"])
        add("100 KB round trip >= 3x orjson", r, 3, True,
            f"{fmt_ratio(r)}x (mesh {mb_per_s(doc['mesh']):.0f} MB/s, orjson {mb_per_s(doc['orjson']):.0f} MB/s)")
    elif doc:
        checks.append(("SKIP", "100 KB round trip >= 3x orjson", "orjson not installed"))
    else:
        add("100 KB round trip >= 3x orjson", None, 3, True, "")
    r = ratio(doc.get("json"), doc.get("mesh"))
    add("100 KB round trip >= 5x json module", r, 5, True, f"{fmt_ratio(r)}x")

    calls = {name: s for name, s in (stalls or {}).items() if s["bytes"]}
    for name, s in calls.items():
        add(f"stall during {name} <= 20 ms", s["gap_ns"] / 1e6, 20, False,
            f"{s['gap_ns'] / 1e6:.1f} ms (worst {s['worst_gap_ns'] / 1e6:.1f} ms)")
    if not calls:
        add("stalls during large calls <= 20 ms", None, 20, False, "")

    r = ratio(mesh_ns("state_get_1m"), mesh_ns("state_get_1k"))
    add("state_get at 1M <= 2x at 1k", r, 2, False, f"{fmt_ratio(r)}x")
    keys = results.get("state_keys_1m", {})
    r = ratio(keys.get("peer"), keys.get("mesh"))
    add("state_keys prefix over 1M >= 50x faster than peer", r, 50, True, f"{fmt_ratio(r)}x")
    r = ratio(rss["mesh"], rss["peer"]) if rss else None
    add("RSS for 1M keys <= half the peer's", r, 0.5, False, f"{fmt_ratio(r)} of the peer's")

    if scaling is not None:
        cpus = scaling["cpus"]
        one, every = "1", str(cpus)
        for name, share in SCALING_TARGETS.items():
            label = f"{name} with {cpus} threads >= {share * cpus:.2f}x one thread"
            if gil_enabled() or cpus < 2:
                checks.append(("SKIP", label, "the interpreter lock serializes the threads"
                               if cpus > 1 else "one processor"))
                continue
            modes = scaling["workloads"].get(name, {})
            floor = scaling["floor"][name]
            for mode, by_who in modes.items():
                r = ratio(by_who["mesh"][every], by_who["mesh"][one])
                add(f"{label} ({mode})", r, share * cpus, True,
                    f"{fmt_ratio(r)}x (sharing nothing: {fmt_ratio(ratio(floor[every], floor[one]))}x)")
        for name, modes in scaling["workloads"].items():
            for mode, by_who in modes.items():
                for who in by_who:
                    if who == "mesh":
                        continue
                    r = ratio(by_who["mesh"][every], by_who[who][every])
                    add(f"{name} ({mode}) with {cpus} threads >= {SCALING_OVER_PEERS}x the "
                        f"{who.replace('_', ' ')}", r, SCALING_OVER_PEERS, True, f"{fmt_ratio(r)}x")
    return checks


def print_report(results, by_content, rss, stalls, checks, notes, scaling=None):
    header = (f"{'workload':<21}{'mesh ns':>11}{'peer ns':>12}{'orjson peer ns':>16}{'floor ns':>10}"
              f"{'mesh/floor':>12}{'peer/mesh':>11}{'orjson peer/mesh':>18}")
    print(header)
    print("-" * len(header))
    for name, r in results.items():
        print(f"{name:<21}{fmt_ns(r['mesh']):>11}{fmt_ns(r['peer']):>12}{fmt_ns(r.get('orjson_peer')):>16}"
              f"{fmt_ns(r['floor']):>10}{fmt_ratio(ratio(r['mesh'], r['floor'])):>12}"
              f"{fmt_ratio(ratio(r['peer'], r['mesh'])):>11}"
              f"{fmt_ratio(ratio(r.get('orjson_peer'), r['mesh'])):>18}")
    for who, label in (("peer", "plain peer"), ("orjson_peer", "orjson peer"), ("beside", "beside")):
        ups = speedups(results, who)
        if ups:
            low = min(ups, key=ups.get)
            print(f"\n{label}/mesh: geometric mean {geometric_mean(ups.values()):.2f} over {len(ups)} "
                  f"workloads, lowest {low} {ups[low]:.2f}", end="")
    print()
    beside = speedups(results, "beside")
    if beside:
        print("beside/mesh by workload: " + ", ".join(f"{name} {r:.2f}" for name, r in beside.items()))
    doc = results.get("doc_100k")
    if doc:
        parts = [f"{who.replace('_', ' ')} {mb_per_s(doc[who]):,.0f}"
                 for who in ("mesh", "peer", "orjson_peer", "orjson", "json") if who in doc]
        print(f"\n100 KB document round trip ({DOCUMENT_BYTES:,} bytes), MB/s: " + ", ".join(parts))
        against = [f"{ratio(doc[who], doc['mesh']):.2f}x {who}" for who in ("orjson", "json") if who in doc]
        print("  mesh is " + ", ".join(against) + " (orjson: loads + dumps(OPT_SORT_KEYS))")
        if "orjson" not in doc:
            print("  (orjson is not installed: its column is skipped)")
    if by_content:
        print("\nRound trip of 1 MB documents by content, MB/s (copy: bytearray of the text's bytes):")
        print(f"  {'document':<32}{'mesh':>8}{'orjson':>9}{'mesh/orjson':>13}{'copy':>9}")
        for name, row in by_content.items():
            mesh, theirs = row["mesh_mb_per_s"], row.get("orjson_mb_per_s")
            shown = "-" if theirs is None else f"{theirs:,.0f}"
            print(f"  {name:<32}{mesh:>8,.0f}{shown:>9}{fmt_ratio(ratio(mesh, theirs)):>13}"
                  f"{row['copy_mb_per_s']:>9,.0f}")
    if stalls:
        print(f"\nLongest gap between the wakeups of a 1 ms ticker thread during one call "
              f"(median of {next(iter(stalls.values()))['repeats']}; worst):")
        print(f"  {'call':<19}{'MB':>6}{'call ms':>10}{'cpu ms':>9}{'gap ms':>9}{'worst ms':>10}")
        for name, s in stalls.items():
            size = f"{s['bytes'] / 1e6:.0f}" if s["bytes"] else "-"
            print(f"  {name:<19}{size:>6}{s['call_ns'] / 1e6:>10.1f}{s['call_cpu_ns'] / 1e6:>9.1f}"
                  f"{s['gap_ns'] / 1e6:>9.1f}"
                  f"{s['worst_gap_ns'] / 1e6:>10.1f}  {s['description']}")
    if scaling:
        print_scaling(scaling)
    if rss:
        print(f"\nRSS growth for {LARGE_KEYS:,} small objects: mesh {rss['mesh'] / 2**20:,.1f} MiB, "
              f"peer {rss['peer'] / 2**20:,.1f} MiB")
    for note in notes:
        print(f"note: {note}")
    print()
    for status, label, detail in checks:
        print(f"{status}  {label}: {detail}")
    counts = {status: sum(s == status for s, _, _ in checks) for status in ("PASS", "FAIL", "SKIP")}
    print(f"\ntargets: {counts['PASS']} met, {counts['FAIL']} not met, {counts['SKIP']} not measured")


def build_report(args, rounds, mesh_label, results, medians, by_content, rss, stalls, notes, checks,
                 scaling=None):
    workloads = {}
    for name, r in results.items():
        entry = {f"{who}_ns": ns for who, ns in r.items()}
        entry |= {f"{who}_median_ns": ns for who, ns in medians[name].items()}
        entry["mesh_per_floor"] = ratio(r["mesh"], r["floor"])
        for who in (*PEERS, "beside"):
            if who in r:
                entry[f"{who}_per_mesh"] = ratio(r[who], r["mesh"])
        workloads[name] = entry
    return {
        "python": platform.python_version(), "machine": platform.machine(),
        "free_threaded": bool(sysconfig.get_config_var("Py_GIL_DISABLED")), "gil_enabled": gil_enabled(),
        "cpus": os.cpu_count(), "mesh": mesh_label,
        "orjson": orjson.__version__ if orjson else None,
        "date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
        "quick": args.quick, "rounds": rounds, "document_bytes": DOCUMENT_BYTES,
        "workloads": workloads, "floor_targets": FLOOR_TARGETS,
        "geometric_means": {who: geometric_mean(speedups(results, who).values()) for who in (*PEERS, "beside")},
        "document_mb_per_s": {who: mb_per_s(ns) for who, ns in results.get("doc_100k", {}).items()},
        "round_trip_by_content": by_content,
        "stalls": stalls, "rss_growth_bytes": rss, "scaling": scaling, "notes": notes,
        "checks": [{"status": s, "check": label, "detail": d} for s, label, d in checks],
    }


def parse_args(argv):
    parser = argparse.ArgumentParser(description="Benchmark vennu_mesh against pure-Python peers.")
    parser.add_argument("--quick", action="store_true",
                        help="fewer rounds and one stall sample; skip the 1,000,000-key workloads")
    parser.add_argument("--json", metavar="PATH", help="write the results to PATH as JSON")
    parser.add_argument("--chart", metavar="PATH", help="draw the ratios into PATH (PNG, needs matplotlib)")
    parser.add_argument("--only", metavar="NAME", action="append",
                        help="run only these workloads (repeatable or comma-separated): "
                             + ", ".join(WORKLOAD_NAMES))
    parser.add_argument("--beside", metavar="MODULE_FILE",
                        help="also time another build of vennu_mesh (its extension module file) as the "
                             "contender 'beside': beside/mesh above 1 means this interpreter's mesh is faster")
    parser.add_argument("--self-test", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--rss-child", choices=("mesh", "peer"), help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.only:
        args.only = {name for item in args.only for name in item.split(",") if name}
        unknown = args.only - set(WORKLOAD_NAMES)
        if unknown:
            parser.error(f"unknown workload(s): {', '.join(sorted(unknown))}")
    return args


def load_mesh_class(self_test):
    if self_test:
        return PeerMesh, "PeerMesh (self-test)"
    try:
        import vennu_mesh
    except ImportError as exc:
        sys.exit(f"run.py: vennu_mesh is not importable ({exc}).\n"
                 "Build and install it into this interpreter first, for example with scripts/bench.")
    return vennu_mesh.VennuMesh, f"vennu_mesh {vennu_mesh.__version__}"


def load_beside_class(path):
    """VennuMesh from another build's module file. The module keeps all its
    state in its own file's copy, so two builds load side by side."""
    spec = importlib.util.spec_from_file_location("vennu_mesh", path)
    if spec is None:
        sys.exit(f"run.py: {path} is not an extension module file")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.VennuMesh


def main(argv=None):
    args = parse_args(argv)
    mesh_class, mesh_label = load_mesh_class(args.self_test)
    beside_class = load_beside_class(args.beside) if args.beside else None
    if args.rss_child:
        rss_child(args.rss_child, mesh_class)
        return 0

    rounds, target_ns, budget_ns = (31, 2_000_000, 300_000_000) if args.quick else (101, 2_000_000, 1_000_000_000)
    selected = [w for w in WORKLOADS if (args.only is None or w[0] in args.only)
                and not (args.quick and w[0] in LARGE_WORKLOADS)]
    print(f"Python {platform.python_version()} on {platform.machine()}, {os.cpu_count()} CPUs; "
          f"mesh: {mesh_label}; orjson: {orjson.__version__ if orjson else 'not installed'}"
          + ("; free-threaded, interpreter lock " + ("on" if gil_enabled() else "off")
             if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))
    print(f"up to {rounds} rounds of ~{target_ns / 1e6:.0f} ms per contender, "
          f"fastest round in ns per operation\n")

    fx = Fixtures(mesh_class, beside_class)
    if args.beside:
        print(f"beside: {args.beside}\n")
    notes = check_agreement(fx) if selected else []
    results, medians = {}, {}
    for name, description, build in selected:
        if name == "state_keys_1m":
            fx.drop("medium")
            fx.drop("keys_1k")
        print(f"  {name}: {description}", file=sys.stderr, flush=True)
        results[name], medians[name] = measure(build(fx), rounds, target_ns, budget_ns)
    fx = None
    gc.collect()

    by_content = None
    if args.only is None or "by_content" in args.only:
        print("  by_content: round trips of 1 MB documents by kind", file=sys.stderr, flush=True)
        by_content = measure_by_content(mesh_class, rounds, target_ns, budget_ns)

    rss = None
    if not args.quick and (args.only is None or "rss_1m" in args.only):
        print("  rss_1m: RSS growth in subprocesses", file=sys.stderr, flush=True)
        rss = measure_rss(args.self_test)

    stalls = None
    if args.only is None or "stalls" in args.only:
        stalls, stall_notes = measure_stalls(mesh_class, 1 if args.quick else 3)
        notes += stall_notes

    scaling = None
    if args.only is None or "scaling" in args.only:
        scaling = measure_scaling(Fixtures(mesh_class), *((3, 0.1) if args.quick else (5, SCALING_SECONDS)))
        gc.collect()

    checks = evaluate(results, rss, stalls, scaling)
    print_report(results, by_content, rss, stalls, checks, notes, scaling)
    report = build_report(args, rounds, mesh_label, results, medians, by_content, rss, stalls, notes,
                          checks, scaling)
    if args.json:
        Path(args.json).parent.mkdir(parents=True, exist_ok=True)
        Path(args.json).write_text(json.dumps(report, indent=2) + "\n", encoding="utf-8")
    if args.chart:
        try:
            import chart
        except ImportError as exc:
            print(f"\nno chart: {exc}", file=sys.stderr)
        else:
            chart.draw([report], args.chart)
            print(f"\nchart: {args.chart}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
