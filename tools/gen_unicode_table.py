#!/usr/bin/env python3
"""Generate mesh/src/unicode_table.inc, the code points that quoted text escapes.

A code point is escaped as \\u{...} when its general category is Cc, Cf, Cs,
Co, Cn, Zs (U+0020 excepted), Zl or Zp, or when it has Grapheme_Extend. The
output is a sorted list of merged [first, last] ranges for a binary search.

Usage: tools/gen_unicode_table.py [UCD_DIR] [OUTPUT]
Defaults: /usr/share/unicode (Debian's unicode-data) and
mesh/src/unicode_table.inc next to this script's repository.
"""

import pathlib
import re
import sys

ESCAPED_CATEGORIES = {"Cc", "Cf", "Cs", "Co", "Cn", "Zs", "Zl", "Zp"}
MAX_CODE_POINT = 0x10FFFF
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


def escaped_ranges(ucd_dir):
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

    ranges = [r for part in ranges for r in split_out_space(*part)]
    ranges.sort()
    merged = []
    for first, last in ranges:
        if merged and first <= merged[-1][1] + 1:
            merged[-1] = (merged[-1][0], max(merged[-1][1], last))
        else:
            merged.append((first, last))
    return version, merged


def split_out_space(first, last):
    """The ASCII space is printable although it is a space separator."""
    if first <= 0x20 <= last:
        return [r for r in ((first, 0x1F), (0x21, last)) if r[0] <= r[1]]
    return [(first, last)]


def render(version, ranges):
    lines = [
        f"// Code point ranges escaped by quote_text, from the Unicode {version} Character",
        "// Database. Generated; regenerate with: python3 tools/gen_unicode_table.py",
    ]
    for start in range(0, len(ranges), PAIRS_PER_LINE):
        chunk = ranges[start : start + PAIRS_PER_LINE]
        lines.append(" ".join(f"{{0x{first:06x}, 0x{last:06x}}}," for first, last in chunk))
    return "\n".join(lines) + "\n"


def main(argv):
    root = pathlib.Path(__file__).resolve().parent.parent
    ucd_dir = pathlib.Path(argv[1]) if len(argv) > 1 else pathlib.Path("/usr/share/unicode")
    output = pathlib.Path(argv[2]) if len(argv) > 2 else root / "mesh" / "src" / "unicode_table.inc"
    version, ranges = escaped_ranges(ucd_dir)
    output.write_text(render(version, ranges), encoding="utf-8")
    print(f"{output}: {len(ranges)} ranges, Unicode {version}")


if __name__ == "__main__":
    main(sys.argv)
