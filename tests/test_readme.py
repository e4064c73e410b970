"""The README's quick start runs as printed."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]


@pytest.mark.native_only
def test_quick_start_prints_what_the_readme_shows():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    section = readme[readme.index("## Quick start"):]
    code = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    shown = re.search(r"```text\n(.*?)```", section, re.S).group(1)
    assert len(code.splitlines()) <= 10
    result = subprocess.run([sys.executable, "-c", code], cwd=ROOT, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout == shown


def test_version_is_the_one_pyproject_gives():
    import tomllib

    import vennu_mesh

    project = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    assert vennu_mesh.__version__ == project["version"]
    assert f'`__version__` (`"{project["version"]}"`)' in readme
