#!/usr/bin/env python3
"""Read a valgrind memcheck log and fail on problems that pass through the module.

    tools/memcheck_report.py LOG

Prints every report block that names vennu_mesh and is a definite leak, an
invalid access or a use of uninitialised memory, then a one-line count, and
exits 1 when there is any. The interpreter's own reports (objects it keeps
until exit, its allocator's tricks) do not name the module and are only
counted.
"""

import re
import sys


def main(argv):
    if len(argv) != 2:
        sys.exit("usage: tools/memcheck_report.py LOG")
    text = open(argv[1], encoding="utf-8", errors="replace").read()
    blocks = re.split(r"\n==\d+== \n", text)
    ours = [block for block in blocks if "vennu" in block and (
        "definitely lost" in block or "Invalid" in block or "uninitialised" in block)]
    summary = re.search(r"ERROR SUMMARY: (\d+) errors", text)
    for block in ours:
        print(block)
    print(f"memcheck: {len(ours)} problems through the module"
          f" ({summary.group(1) if summary else '?'} reports in all, the interpreter's included)")
    return 1 if ours else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
