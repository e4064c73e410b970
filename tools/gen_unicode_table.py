#!/usr/bin/env python3
"""Generate mesh/src/base/unicode_table.inc, the code points that quoted text escapes.

A code point is escaped as \\u{...} when its general category is Cc, Cf, Cs,
Co, Cn, Zs (U+0020 excepted), Zl or Zp, or when it has Grapheme_Extend. The
output is a sorted list of merged [first, last] ranges for a binary search.

The data comes from one of two places, named in the generated file and in
what this script prints:
- the unicodedata module of the interpreter running this script (the
  default), which needs Python 3.15 or later for the grapheme cluster break
  property. Grapheme_Extend is the Extend break class without the emoji
  modifiers U+1F3FB..U+1F3FF, which that class adds to it;
- with --ucd DIR, the Unicode Character Database files in DIR, as Debian's
  unicode-data package installs them in /usr/share/unicode.

The table in the tree is Unicode 17.0.0, from Python 3.15's unicodedata:

    $(scripts/pythons 3.15) tools/gen_unicode_table.py

Usage: tools/gen_unicode_table.py [--ucd DIR] [OUTPUT]
OUTPUT defaults to mesh/src/base/unicode_table.inc next to this script's repository.
"""

import argparse
import pathlib
import platform
import re
import sys

ESCAPED_CATEGORIES = {"Cc", "Cf", "Cs", "Co", "Cn", "Zs", "Zl", "Zp"}
MAX_CODE_POINT = 0x10FFFF
EMOJI_MODIFIERS = range(0x1F3FB, 0x1F3FF + 1)
PAIRS_PER_LINE = 4


def parse_ranges(path):
    """Yields (first, last, value) from a UCD property file."""
    with open(path, encoding="utf-8") as lines:
        for line in lines:
            data = line.split("#", 1)[0].strip()
            if not data:
                continue
            fields = [field.strip() for field in data.split(";")]
            bounds = fields[0].split("..")
            first = int(bounds[0], 16)
            last = int(bounds[-1], 16)
            yield first, last, fields[1]


def file_version(path):
    with open(path, encoding="utf-8") as lines:
        match = re.search(r"-(\d+\.\d+\.\d+)\.txt", lines.readline())
    if not match:
        sys.exit(f"{path}: no version on the first line")
    return match.group(1)


def ucd_ranges(ucd_dir):
    """The escaped ranges, unmerged, and the version, from UCD files."""
    categories = ucd_dir / "extracted" / "DerivedGeneralCategory.txt"
    core_properties = ucd_dir / "DerivedCoreProperties.txt"
    version = file_version(categories)
    if file_version(core_properties) != version:
        sys.exit("DerivedGeneralCategory.txt and DerivedCoreProperties.txt differ in version")

    ranges = []
    covered = 0
    for first, last, category in parse_ranges(categories):
        covered += last - first + 1
        if category in ESCAPED_CATEGORIES:
            ranges.append((first, last))
    if covered != MAX_CODE_POINT + 1:
        sys.exit(f"{categories}: covers {covered} code points, expected every one")
    for first, last, prop in parse_ranges(core_properties):
        if prop == "Grapheme_Extend":
            ranges.append((first, last))
    return version, ranges, f"the Unicode Character Database files in {ucd_dir}"


def unicodedata_ranges():
    """The escaped ranges, one per code point, and the version, from unicodedata."""
    import unicodedata

    if not hasattr(unicodedata, "grapheme_cluster_break"):
        sys.exit(
            f"Python {platform.python_version()}'s unicodedata has no grapheme_cluster_break: "
            "run this with Python 3.15 or later, or pass --ucd DIR"
        )
    ranges = []
    for code_point in range(MAX_CODE_POINT + 1):
        character = chr(code_point)
        if unicodedata.category(character) in ESCAPED_CATEGORIES or (
            unicodedata.grapheme_cluster_break(character) == "Extend"
            and code_point not in EMOJI_MODIFIERS
        ):
            ranges.append((code_point, code_point))
    source = f"Python {platform.python_version()}'s unicodedata module"
    return unicodedata.unidata_version, ranges, source


def merge(ranges):
    ranges = [r for part in ranges for r in split_out_space(*part)]
    ranges.sort()
    merged = []
    for first, last in ranges:
        if merged and first <= merged[-1][1] + 1:
            merged[-1] = (merged[-1][0], max(merged[-1][1], last))
        else:
            merged.append((first, last))
    return merged


def split_out_space(first, last):
    """The ASCII space is printable although it is a space separator."""
    if first <= 0x20 <= last:
        return [r for r in ((first, 0x1F), (0x21, last)) if r[0] <= r[1]]
    return [(first, last)]


def render(version, source, ranges):
    lines = [
        f"// Code point ranges escaped by quote_text, from the Unicode {version} Character",
        f"// Database as {source} has it.",
        "// Generated; regenerate with: tools/gen_unicode_table.py (its docstring tells how).",
        "// clang-format off",
    ]
    for start in range(0, len(ranges), PAIRS_PER_LINE):
        chunk = ranges[start : start + PAIRS_PER_LINE]
        lines.append(" ".join(f"{{0x{first:06x}, 0x{last:06x}}}," for first, last in chunk))
    lines.append("// clang-format on")
    return "\n".join(lines) + "\n"


def main(argv):
    root = pathlib.Path(__file__).resolve().parent.parent
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ucd", type=pathlib.Path, help="read the UCD files in this folder")
    parser.add_argument(
        "output", nargs="?", type=pathlib.Path, default=root / "mesh" / "src" / "base" / "unicode_table.inc"
    )
    args = parser.parse_args(argv[1:])
    if args.ucd is not None:
        version, ranges, source = ucd_ranges(args.ucd)
    else:
        version, ranges, source = unicodedata_ranges()
    ranges = merge(ranges)
    args.output.write_text(render(version, source, ranges), encoding="utf-8")
    print(f"{args.output}: {len(ranges)} ranges, Unicode {version}, from {source}")


if __name__ == "__main__":
    main(sys.argv)
