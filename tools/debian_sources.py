#!/usr/bin/env python3
"""Print apt source lines for Debian's unstable suite, one per archive this
machine already uses for its own release.

    tools/debian_sources.py CODENAME SOURCES_FILE...

SOURCES_FILE is a one-line-style `.list` file or a deb822 `.sources` file;
missing ones are passed over. Each archive that serves CODENAME is printed
once, as `deb [signed-by=KEYRING] URI unstable main`, with the keyring the
machine trusts it with. Security and update suites have no unstable twin and
are left out. scripts/pythons writes this into its private apt configuration.
"""

import os
import re
import sys


def archives(codename, paths):
    """(uri, signed_by) of each archive serving `codename`, in first-seen order."""
    seen = []

    def take(uri, suites, signed_by):
        if codename not in suites or uri in [u for u, _ in seen]:
            return
        seen.append((uri, signed_by))

    for path in paths:
        if not os.path.isfile(path):
            continue
        text = open(path, encoding="utf-8", errors="replace").read()
        if path.endswith(".sources"):
            for stanza in re.split(r"\n\s*\n", text):
                fields = {}
                for line in stanza.splitlines():
                    if line.startswith("#") or ":" not in line:
                        continue
                    key, _, value = line.partition(":")
                    fields[key.strip().lower()] = value.strip()
                if fields.get("enabled", "yes").lower() == "no":
                    continue
                if "deb" not in fields.get("types", "").split():
                    continue
                for uri in fields.get("uris", "").split():
                    take(uri, fields.get("suites", "").split(), fields.get("signed-by", ""))
        else:
            for line in text.splitlines():
                match = re.match(r"\s*deb\s+(\[[^\]]*\]\s+)?(\S+)\s+(\S+)", line)
                if match:
                    options = match.group(1) or ""
                    signed = re.search(r"signed-by=(\S+?)\]?(\s|$)", options)
                    take(match.group(2), [match.group(3)], signed.group(1) if signed else "")
    return seen


def main(argv):
    if len(argv) < 2:
        sys.exit("usage: tools/debian_sources.py CODENAME SOURCES_FILE...")
    codename, paths = argv[1], argv[2:]
    seen = archives(codename, paths)
    if not seen:
        sys.exit("no Debian archive for suite %r in the machine's apt sources" % codename)
    for uri, signed_by in seen:
        options = f"[signed-by={signed_by}] " if signed_by.startswith("/") else ""
        print(f"deb {options}{uri} unstable main")


if __name__ == "__main__":
    main(sys.argv)
