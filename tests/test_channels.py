import pytest

from conftest import health


def topics(mesh):
    return health(mesh)["channels"]["topics"]


def test_publish_creates_topics_once(mesh):
    assert topics(mesh) == 0
    count = mesh.publish("orders", '{"id": 1}')
    assert type(count) is int and count == 0
    assert topics(mesh) == 1
    assert mesh.publish("orders", "2") == 0
    assert topics(mesh) == 1
    mesh.publish("Orders", "3")
    mesh.publish("", "4")
    mesh.publish("orders ", "5")
    assert topics(mesh) == 4


@pytest.mark.parametrize("payload", ["null", "42", '"text"', "[1, 2]", '{"b": {"a": []}}', " true ", "-0.5e3"])
def test_any_json_payload(mesh, payload):
    assert mesh.publish("t", payload) == 0
    assert topics(mesh) == 1


@pytest.mark.parametrize("payload", ["{", "", "1 2", "not json", "[" * 100_000])
def test_bad_payload_creates_no_topic(mesh, payload):
    with pytest.raises(ValueError, match="^Serialization error: .+ at line \\d+ column \\d+$"):
        mesh.publish("t", payload)
    assert topics(mesh) == 0


def test_many_publishes_never_block(mesh):
    for i in range(3000):
        assert mesh.publish("busy", str(i)) == 0
    assert topics(mesh) == 1
