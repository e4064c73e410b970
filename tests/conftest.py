import contextlib
import datetime
import json
import re

import pytest

from vennu_mesh import VennuMesh

TIMESTAMP = re.compile(
    r"\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}(?:\.(?:\d{3}|\d{6}|\d{9}))?\+00:00"
)


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
