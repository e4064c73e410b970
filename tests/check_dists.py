"""Checks what the built wheel and sdist hold: the module, its stubs and the
license where PEP 639 puts them, and the license metadata.

    python tests/check_dists.py WHEEL SDIST
"""

import sys
import tarfile
import zipfile
from email.parser import HeaderParser
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def main(wheel_path, sdist_path):
    license_text = (ROOT / "LICENSE").read_bytes()
    problems = []

    with zipfile.ZipFile(wheel_path) as wheel:
        names = wheel.namelist()
        [dist_info] = {name.split("/")[0] for name in names if name.split("/")[0].endswith(".dist-info")}
        modules = [name for name in names if "/" not in name and name.startswith("vennu_mesh.")]
        if len(modules) != 1:
            problems.append(f"wheel: expected one top-level module file, found {modules}")
        if "vennu_mesh-stubs/__init__.pyi" not in names:
            problems.append("wheel: vennu_mesh-stubs/__init__.pyi missing")
        if f"{dist_info}/licenses/LICENSE" not in names:
            problems.append(f"wheel: {dist_info}/licenses/LICENSE missing")
        elif wheel.read(f"{dist_info}/licenses/LICENSE") != license_text:
            problems.append("wheel: LICENSE differs from the repository's")
        metadata = HeaderParser().parsestr(wheel.read(f"{dist_info}/METADATA").decode())
        extra = [name for name in names if not (name in modules or name.startswith((dist_info, "vennu_mesh-stubs/")))]
        if extra:
            problems.append(f"wheel: unexpected files {extra}")
    if metadata["License-Expression"] != "MIT" or metadata.get_all("License-File") != ["LICENSE"]:
        problems.append("wheel: METADATA lacks License-Expression: MIT / License-File: LICENSE")

    with tarfile.open(sdist_path) as sdist:
        top = sdist.getnames()[0].split("/")[0]
        for required in ("LICENSE", "PKG-INFO", "pyproject.toml", "CMakeLists.txt",
                         "stubs/vennu_mesh-stubs/__init__.pyi", "mesh/src/python/module.map"):
            if f"{top}/{required}" not in sdist.getnames():
                problems.append(f"sdist: {required} missing")
        if f"{top}/LICENSE" in sdist.getnames() and sdist.extractfile(f"{top}/LICENSE").read() != license_text:
            problems.append("sdist: LICENSE differs from the repository's")

    for problem in problems:
        print(problem)
    print(f"{Path(wheel_path).name}: {len(names)} files; {Path(sdist_path).name}: checked;",
          f"{len(problems)} problem(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
