import pytest

from vennu_mesh import VennuMesh


def _duplicate(m):
    m.register_agent("T", "customer-123")
    m.register_agent("Other", "customer-123")


def _stopped_route(m):
    m.register_agent("T", "x")
    m.update_agent_status("x", "error")
    m.route_agent_call("Customer", "x", "m")


CASES = [
    (lambda m: m.update_agent_status("ghost", "idle"), KeyError, "Agent '/ghost' not found in registry"),
    (lambda m: m.update_agent_status("{0}'\"%s", "idle"), KeyError, "Agent '/{0}'\"%s' not found in registry"),
    (lambda m: m.update_agent_status("", "idle"), KeyError, "Agent '/' not found in registry"),
    (lambda m: m.route_agent_call("Customer", "nobody", "m"), KeyError, "Agent 'Customer/nobody' not found in registry"),
    (lambda m: m.route_agent_call("", "", "m"), KeyError, "Agent '/' not found in registry"),
    (_stopped_route, KeyError, "Agent 'Customer/x' not found in registry"),
    (_duplicate, RuntimeError, "Agent 'customer-123' is already registered"),
    (lambda m: m.state_set("k", "{"), ValueError, "Serialization error: EOF while parsing an object at line 1 column 1"),
    (lambda m: m.publish("t", "x"), ValueError, "Serialization error: expected value at line 1 column 1"),
    (lambda m: m.register_agent("T", "x", 0, "1 x"), ValueError, "Serialization error: trailing characters at line 1 column 3"),
    (lambda m: m.route_agent_call("T", "x", "m", "{"), ValueError, "Serialization error: EOF while parsing an object at line 1 column 1"),
    (lambda m: VennuMesh("a", "[]"), ValueError,
     "Serialization error: invalid length 0, expected struct Plan with 4 elements at line 1 column 2"),
    (lambda m: m.advance_migration("v"), ValueError, "Migration error: No migration in progress for 'v'"),
    (lambda m: m.rollback_migration("{v}"), ValueError, "Migration error: No migration in progress for '{v}'"),
]


@pytest.mark.parametrize("call,exc,message", CASES)
def test_error_mapping(mesh, call, exc, message):
    try:
        call(mesh)
    except Exception as error:  # mesh errors are ordinary exceptions
        assert type(error) is exc
        assert error.args == (message,)
        assert str(error) == (repr(message) if exc is KeyError else message)
        assert error.__cause__ is None and error.__context__ is None
        assert not error.__suppress_context__
    else:
        pytest.fail("no exception raised")


def test_failed_calls_change_nothing(mesh):
    before = mesh.health_snapshot()
    for call, _, _ in CASES[:5] + CASES[7:]:
        with pytest.raises(Exception):
            call(mesh)
    assert mesh.health_snapshot() == before
