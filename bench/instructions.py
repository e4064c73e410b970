"""Instructions per call of the small methods, counted by callgrind.

Counts move by a fraction of a percent between runs whatever else the
machine is doing, so they show a change of a few dozen instructions that
timings on a shared machine hide. Each workload runs twice, with N and 2N
calls after the same setup and a fixed string hash seed; the difference
divided by N is the cost of one call, loop included (the `floor` row is
that of an empty C call).

    python bench/instructions.py [NAME ...]

Needs valgrind, and vennu_mesh importable by this interpreter.
"""

import os
import re
import subprocess
import sys
import tempfile

CALLS = 20000

SETUP = """
import vennu_mesh
m = vennu_mesh.VennuMesh("bench")
for i in range(1000):
    m.state_set(f"item:{i:07d}", f'{{"active":true,"id":{i},"name":"item {i}","qty":{i % 100}}}')
SMALL = '{"active":true,"id":42,"name":"widget","price":9.5,"tags":["a","b"]}'
m.state_set("bench:small", SMALL)
m.register_agent("Customer", "agent-0007")
m.start_migration("counter.Counts", "sqlite", "sqlite_new")
m.publish("orders", '{"order":0}')
d = {"k": SMALL}
"""

WORKLOADS = {
    "floor": "d.get('k', SMALL)",
    "state_set_small": "m.state_set('bench:small', SMALL)",
    "state_get": "m.state_get('item:0000042')",
    "state_exists": "m.state_exists('item:0000042')",
    "get_agent": "m.get_agent('agent-0007')",
    "update_agent_status": "m.update_agent_status('agent-0007', 'idle')",
    "route_agent_call": ("m.route_agent_call('Customer', 'agent-0007', 'place_order', "
                         "'{\"quantity\":2,\"sku\":\"apple\"}')"),
    "get_migration": "m.get_migration('counter.Counts')",
    "publish": "m.publish('orders', '{\"order\":1,\"sku\":\"apple\"}')",
}


def collected(call, calls):
    # Locals, as in a function of the caller's, not globals of a script.
    script = SETUP + f"def run(m, d, SMALL):\n    for _ in range({calls}):\n        {call}\nrun(m, d, SMALL)\n"
    with tempfile.TemporaryDirectory() as folder:
        result = subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={os.path.join(folder, 'out')}",
             sys.executable, "-c", script],
            capture_output=True, text=True, check=True,
            env=dict(os.environ, PYTHONHASHSEED="0"))
    match = re.search(r"Collected : (\d+)", result.stderr)
    if match is None:
        raise RuntimeError(result.stderr)
    return int(match.group(1))


def main(names):
    for name in names or WORKLOADS:
        call = WORKLOADS[name]
        per_call = (collected(call, 2 * CALLS) - collected(call, CALLS)) / CALLS
        print(f"{name:22} {per_call:10,.0f}", flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])
