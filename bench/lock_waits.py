"""Figures for the module's behaviour around calls that let the interpreter
lock go: children forked during them, daemon threads inside them at exit,
and threads that wait for a subsystem a released call holds.

    python bench/lock_waits.py [--forks N] [--exits N] [--seconds S]

Run it with the interpreter whose vennu_mesh is to be measured (the scripts
of tests/test_large_calls.py, with pytest importable). It prints:

- forks: for each kind of lock-holding large call, how many of N children
  forked while another thread is inside it fail their reads and writes or
  hang (a child gets 3 s);
- exits: for each kind of large call, how many of N programs whose daemon
  thread is inside it at exit end otherwise than the same program without
  it (exit status, output);
- waits: while one thread walks 300,000 keys with state_keys, the longest
  pause of a pure-Python thread without and with a second thread setting a
  small key in a loop, and how much processor time that writer's calls
  used while they waited for the walk.
"""

import argparse
import os
import statistics
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import test_large_calls as scripts  # noqa: E402
from vennu_mesh import VennuMesh  # noqa: E402

FORK_CASES = ["state_keys", "list_agents", "list_migrations", "state_set"]
EXIT_CASES = ["state_get", "state_set", "publish", "state_keys", "list_agents",
              "list_migrations", "register_agent", "route_agent_call", "wait"]


def failed_forks(case, forks):
    ending = scripts.FORK_CHILDREN.replace("time.monotonic() + 20", "time.monotonic() + 3")
    ending = ending.replace('print("failed children:", failed)', "print(len(failed), flush=True)")
    status, out, err = scripts.run_script(ending, case, "100000", str(forks))
    if not out.strip().isdigit():
        return f"no count (status {status}: {err.strip()[-200:]})"
    # The parent itself may then fail to exit: its daemon thread is inside a call.
    return int(out), status


def abnormal_exits(case, runs):
    expected = scripts.run_script('print("done")\n', "none", "0")
    return sum(scripts.run_script('print("done")\n', case, "5000") != expected for _ in range(runs))


def longest_pause(seconds, with_writer):
    mesh = VennuMesh("app")
    for i in range(300_000):
        mesh.state_set(f"k{i}", "1")
    stop = threading.Event()
    writer_figures = {}

    def walk():
        while not stop.is_set():
            mesh.state_keys("")

    def write():
        # Calls over a millisecond waited for the walk: their processor time
        # is that of the waiting.
        waits, waited, waited_cpu = 0, 0.0, 0.0
        clock, cpu_clock = time.perf_counter, time.thread_time
        while not stop.is_set():
            start, start_cpu = clock(), cpu_clock()
            mesh.state_set("w", "1")
            took = clock() - start
            if took > 1e-3:
                waits, waited, waited_cpu = waits + 1, waited + took, waited_cpu + cpu_clock() - start_cpu
        writer_figures.update(waits=waits, waited=waited, waited_cpu=waited_cpu)

    threads = [threading.Thread(target=walk)]
    if with_writer:
        threads.append(threading.Thread(target=write))
    for thread in threads:
        thread.start()
    time.sleep(0.2)
    longest, last, end = 0.0, time.perf_counter(), time.perf_counter() + seconds
    while (now := time.perf_counter()) < end:
        longest = max(longest, now - last)
        last = now
        sum(range(50))
    stop.set()
    for thread in threads:
        thread.join()
    return longest, writer_figures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--forks", type=int, default=50, help="children per case (default 50)")
    parser.add_argument("--exits", type=int, default=20, help="programs per case (default 20)")
    parser.add_argument("--seconds", type=float, default=3.0, help="per pause measurement")
    parser.add_argument("--repeats", type=int, default=3, help="pause measurements (median)")
    args = parser.parse_args()
    print(f"Python {sys.version.split()[0]}, {VennuMesh.__module__} from "
          f"{sys.modules['vennu_mesh'].__file__}")
    if hasattr(os, "fork") and args.forks:
        for case in FORK_CASES:
            failed = failed_forks(case, args.forks)
            if isinstance(failed, str):
                print(f"forks during {case}: {failed}", flush=True)
                continue
            count, status = failed
            print(f"forks during {case}: {count} of {args.forks} children failed or hung"
                  + (f"; the parent then ended with status {status}" if status else ""), flush=True)
    if args.exits:
        for case in EXIT_CASES:
            print(f"exit with a daemon thread in {case}: {abnormal_exits(case, args.exits)} of "
                  f"{args.exits} runs ended abnormally", flush=True)
    for with_writer in (False, True):
        runs = [longest_pause(args.seconds, with_writer) for _ in range(args.repeats)]
        pause = statistics.median(run[0] for run in runs) * 1e3
        label = "walker and a waiting writer" if with_writer else "walker alone"
        line = f"longest pause of a pure-Python thread, {label}: {pause:.1f} ms (median of {args.repeats})"
        if with_writer:
            figures = max((run[1] for run in runs), key=lambda f: f["waited"])
            line += (f"; the writer's {figures['waits']} calls that waited over 1 ms took "
                     f"{figures['waited'] * 1e3:.0f} ms in all and "
                     f"{figures['waited_cpu'] * 1e3:.1f} ms of processor time (the run that waited longest)")
        print(line, flush=True)


if __name__ == "__main__":
    main()
