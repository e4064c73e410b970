#!/usr/bin/env python3
"""Point an unpacked interpreter's stored build configuration at its prefix.

    PYTHON tools/fix_sysconfig.py PREFIX

Debian's interpreters record their build in _sysconfigdata_*.py with paths
under /usr. In an interpreter unpacked under PREFIX (scripts/pythons), each
such path that exists under PREFIX is rewritten to it, so that sysconfig
(and the build tools that ask it for headers and libraries) find the
unpacked files; paths that exist only on the build machine, such as tool
paths like /usr/bin/install, stay as they are. Run it with the unpacked
interpreter itself, whose own sysconfig module reads the file back.
"""

import glob
import os
import pprint
import sys


def main(argv):
    if len(argv) != 2:
        sys.exit("usage: PYTHON tools/fix_sysconfig.py PREFIX")
    prefix = argv[1]
    for path in glob.glob(os.path.join(prefix, "usr/lib/python3*/_sysconfigdata_*.py")):
        scope = {}
        exec(open(path, encoding="utf-8").read(), scope)
        data = scope["build_time_vars"]
        for key, value in data.items():
            if (isinstance(value, str) and value.startswith("/usr") and " " not in value
                    and os.path.exists(prefix + value)):
                data[key] = prefix + value
        with open(path, "w", encoding="utf-8") as out:
            out.write("build_time_vars = ")
            pprint.pprint(data, stream=out)
        for cached in glob.glob(os.path.join(os.path.dirname(path), "__pycache__",
                                             "_sysconfigdata_*")):
            os.remove(cached)


if __name__ == "__main__":
    main(sys.argv)
