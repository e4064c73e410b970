"""Benchmark of vennu_mesh against a plain-Python peer and a C-call floor.

Every workload is timed in one process for each contender, interleaved round by
round: the mesh (vennu_mesh.VennuMesh), the peer (bench/peer.py, the same API in
pure Python) and the floor (a trivial C-implemented call taking as many
arguments). A sample runs a loop of N operations through bound methods held in
local variables, so loop overhead is the same for every contender and nothing
is subtracted. Results are the median over the rounds, after a warm-up, in ns
per operation. Resident memory is measured in separate subprocesses.

Usage: python bench/run.py [--quick] [--json PATH] [--only NAME[,NAME...]]
"""

import argparse
import gc
import json
import math
import os
import platform
import random
import statistics
import subprocess
import sys
import time
from itertools import repeat
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from peer import PeerMesh  # noqa: E402

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

    def __init__(self, mesh_class):
        self.classes = {"mesh": mesh_class, "peer": PeerMesh}
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
WORKLOAD_NAMES = [name for name, _, _ in WORKLOADS] + ["rss_1m"]


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
    n = 1
    while True:
        elapsed = max(timed(loop, args, n), 1)
        if elapsed * 4 >= target_ns:
            return max(1, int(n * target_ns / elapsed))
        n = n * 10 if elapsed * 100 < target_ns else max(n + 1, int(n * target_ns / elapsed))


def measure(contenders, rounds, target_ns):
    counts = {who: calibrate(loop, args, target_ns) for who, (loop, args, _) in contenders.items()}
    for who, (loop, args, _) in contenders.items():
        timed(loop, args, counts[who])
    samples = {who: [] for who in contenders}
    for _ in range(rounds):
        for who, (loop, args, ops) in contenders.items():
            n = counts[who]
            samples[who].append(timed(loop, args, n) / (n * ops))
    return {who: statistics.median(values) for who, values in samples.items()}


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


# Reporting

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


def check_agreement(fx):
    notes = []
    m = fx.get("medium")
    mesh, peer = m["mesh"], m["peer"]
    for label, call in [("state_get(small)", lambda x: x.state_get("bench:small")),
                        ("state_keys(hot:)", lambda x: x.state_keys(HOT_PREFIX)),
                        ("health_snapshot", lambda x: x.health_snapshot()),
                        ("get_agent minus timestamps", lambda x: {
                            k: v for k, v in json.loads(x.get_agent(AGENT_ID)).items()
                            if k not in ("registered_at", "last_active", "status")})]:
        if call(mesh) != call(peer):
            notes.append(f"mesh and peer disagree on {label}")
    for who in ("mesh", "peer"):
        m[who].state_set("bench:doc", DOCUMENT)
    if m["mesh"].state_get("bench:doc") != m["peer"].state_get("bench:doc"):
        notes.append("mesh and peer write the 100 KB document differently")
    return notes


def evaluate(results, rss):
    checks = []

    def mesh_ns(name):
        return results.get(name, {}).get("mesh")

    def add(label, value, limit, higher_is_better, detail):
        if value is None:
            checks.append(("SKIP", label, "not measured"))
        else:
            ok = value >= limit if higher_is_better else value <= limit
            checks.append(("PASS" if ok else "FAIL", label, detail))

    for name in ("state_get_hit", "state_exists", "get_agent", "update_agent_status",
                 "publish", "get_migration"):
        r = ratio(mesh_ns(name), results.get(name, {}).get("floor"))
        add(f"{name} <= 2.5x floor", r, 2.5, False, f"{fmt_ratio(r)}x")
    for name in ("route_agent_call", "state_set_small"):
        r = ratio(mesh_ns(name), results.get(name, {}).get("floor"))
        add(f"{name} <= 4x floor", r, 4, False, f"{fmt_ratio(r)}x")

    speedups = [r["peer"] / r["mesh"] for r in results.values()]
    gm = math.exp(statistics.fmean(math.log(s) for s in speedups)) if speedups else None
    add("geometric mean of peer/mesh >= 15", gm, 15, True,
        f"{fmt_ratio(gm)} over {len(speedups)} workloads")

    doc = results.get("doc_100k", {})
    if "orjson" in doc:
        r = ratio(doc["orjson"], doc["mesh"])
        add("100 KB round trip >= orjson", r, 1, True,
            f"mesh {mb_per_s(doc['mesh']):.0f} MB/s, orjson {mb_per_s(doc['orjson']):.0f} MB/s")
    elif doc:
        checks.append(("SKIP", "100 KB round trip >= orjson", "orjson not installed"))
    else:
        add("100 KB round trip >= orjson", None, 1, True, "")
    r = ratio(doc.get("json"), doc.get("mesh"))
    add("100 KB round trip >= 5x json module", r, 5, True, f"{fmt_ratio(r)}x")

    r = ratio(mesh_ns("state_get_1m"), mesh_ns("state_get_1k"))
    add("state_get at 1M <= 2x at 1k", r, 2, False, f"{fmt_ratio(r)}x")
    keys = results.get("state_keys_1m", {})
    r = ratio(keys.get("peer"), keys.get("mesh"))
    add("state_keys prefix over 1M >= 50x faster than peer", r, 50, True, f"{fmt_ratio(r)}x")
    r = ratio(rss["mesh"], rss["peer"]) if rss else None
    add("RSS for 1M keys <= half the peer's", r, 0.5, False, f"{fmt_ratio(r)} of the peer's")
    return checks


def print_report(results, rss, checks, notes):
    header = f"{'workload':<21}{'mesh ns':>12}{'peer ns':>12}{'floor ns':>11}{'mesh/floor':>12}{'peer/mesh':>11}"
    print(header)
    print("-" * len(header))
    for name, r in results.items():
        print(f"{name:<21}{fmt_ns(r['mesh']):>12}{fmt_ns(r['peer']):>12}{fmt_ns(r['floor']):>11}"
              f"{fmt_ratio(ratio(r['mesh'], r['floor'])):>12}{fmt_ratio(ratio(r['peer'], r['mesh'])):>11}")
    doc = results.get("doc_100k")
    if doc:
        parts = [f"{who} {mb_per_s(doc[who]):,.0f}" for who in ("mesh", "peer", "orjson", "json")
                 if who in doc]
        print(f"\n100 KB document round trip ({DOCUMENT_BYTES:,} bytes), MB/s: " + ", ".join(parts))
        if "orjson" not in doc:
            print("  (orjson is not installed: its column is skipped)")
    if rss:
        print(f"RSS growth for {LARGE_KEYS:,} small objects: mesh {rss['mesh'] / 2**20:,.1f} MiB, "
              f"peer {rss['peer'] / 2**20:,.1f} MiB")
    for note in notes:
        print(f"note: {note}")
    print()
    for status, label, detail in checks:
        print(f"{status}  {label}: {detail}")


def parse_args(argv):
    parser = argparse.ArgumentParser(description="Benchmark vennu_mesh against a pure-Python peer.")
    parser.add_argument("--quick", action="store_true",
                        help="fewer rounds; skip the 1,000,000-key workloads")
    parser.add_argument("--json", metavar="PATH", help="write the results to PATH as JSON")
    parser.add_argument("--only", metavar="NAME", action="append",
                        help="run only these workloads (repeatable or comma-separated): "
                             + ", ".join(WORKLOAD_NAMES))
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


def main(argv=None):
    args = parse_args(argv)
    mesh_class, mesh_label = load_mesh_class(args.self_test)
    if args.rss_child:
        rss_child(args.rss_child, mesh_class)
        return 0

    rounds, target_ns = (5, 10_000_000) if args.quick else (11, 20_000_000)
    selected = [w for w in WORKLOADS if (args.only is None or w[0] in args.only)
                and not (args.quick and w[0] in LARGE_WORKLOADS)]
    print(f"Python {platform.python_version()} on {platform.machine()}, {os.cpu_count()} CPUs; "
          f"mesh: {mesh_label}; orjson: {orjson.__version__ if orjson else 'not installed'}")
    print(f"{rounds} rounds of ~{target_ns / 1e6:.0f} ms per contender, median ns per operation\n")

    fx = Fixtures(mesh_class)
    notes = check_agreement(fx) if selected else []
    results = {}
    for name, description, build in selected:
        if name == "state_keys_1m":
            fx.drop("medium")
            fx.drop("keys_1k")
        print(f"  {name}: {description}", file=sys.stderr, flush=True)
        results[name] = measure(build(fx), rounds, target_ns)
    fx = None
    gc.collect()

    rss = None
    if not args.quick and (args.only is None or "rss_1m" in args.only):
        print("  rss_1m: RSS growth in subprocesses", file=sys.stderr, flush=True)
        rss = measure_rss(args.self_test)

    checks = evaluate(results, rss)
    print_report(results, rss, checks, notes)
    if args.json:
        report = {
            "python": platform.python_version(), "mesh": mesh_label, "quick": args.quick,
            "rounds": rounds, "document_bytes": DOCUMENT_BYTES,
            "workloads": {name: {f"{who}_ns": ns for who, ns in r.items()}
                          for name, r in results.items()},
            "rss_growth_bytes": rss, "notes": notes,
            "checks": [{"status": s, "check": label, "detail": d} for s, label, d in checks],
        }
        Path(args.json).write_text(json.dumps(report, indent=2) + "\n", encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
