import contextlib
import datetime
import json
import os
import re
from pathlib import Path

import pytest

from vennu_mesh import VennuMesh

TIMESTAMP = re.compile(
    r"\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}(?:\.(?:\d{3}|\d{6}|\d{9}))?\+00:00"
)


# The public test corpora live outside the repository (they keep their own
# licenses); VENNU_MESH_TEST_DATA points at them, by default ../shared/data
# beside the clone.
TEST_DATA = Path(os.environ.get("VENNU_MESH_TEST_DATA")
                 or Path(__file__).resolve().parents[2] / "shared" / "data")


def under_ci():
    return os.environ.get("CI", "") not in ("", "0", "false")


def corpus_folder(*parts):
    """The corpus folder TEST_DATA/parts, or None when it is absent."""
    folder = TEST_DATA.joinpath(*parts)
    return folder if folder.is_dir() else None


def missing_corpus(*parts):
    """Skips the calling test for an absent corpus; under CI, fails it instead."""
    message = (f"test corpus folder {TEST_DATA.joinpath(*parts)} not found "
               "(set VENNU_MESH_TEST_DATA to the folder holding JSONTestSuite/)")
    if under_ci():
        pytest.fail(message + " and CI is set", pytrace=False)
    pytest.skip(message)


@pytest.fixture
def mesh():
    return VennuMesh("myapp")


def health(mesh):
    return json.loads(mesh.health_snapshot())


@contextlib.contextmanager
def raises_exact(exc, message):
    """Expects exactly `exc` (not a subclass) carrying `message` as its only argument."""
    with pytest.raises(exc) as info:
        yield info
    assert type(info.value) is exc
    assert info.value.args == (message,)


def assert_timestamp(text):
    assert TIMESTAMP.fullmatch(text), text
    fraction = text[20:-6]
    # The shortest of the three widths is always chosen.
    assert not fraction.endswith("000"), text


def nanos(text):
    """Nanoseconds since the epoch of a timestamp text."""
    seconds = datetime.datetime.fromisoformat(text[:19] + "+00:00").timestamp()
    return int(seconds) * 10**9 + int(text[20:-6].ljust(9, "0"))
