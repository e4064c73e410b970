import json

import pytest

from vennu_mesh import VennuMesh

FRESH = ('{"agents":{"error":0,"idle":0,"running":0,"total":0},"app":"myapp","channels":{"topics":0},'
         '"migrations":{"active":0},"state":{"keys":0},"status":"ok"}')


def test_fresh_snapshot_and_repr(mesh):
    assert mesh.health_snapshot() == FRESH
    assert repr(mesh) == 'VennuMesh(app="myapp", agents=0, state_keys=0, migrations=0)'


def test_counts(mesh):
    for n, status in enumerate(("starting", "running", "idle", "stopping", "stopped", "error", "idle")):
        agent_id = f"agent-{n}"
        mesh.register_agent("T", agent_id)
        if status != "starting":
            mesh.update_agent_status(agent_id, status)
    for key in ("a", "b", "c"):
        mesh.state_set(key, "1")
    mesh.state_delete("c")
    mesh.start_migration("active", "a", "b")
    mesh.start_migration("idle", "a", "b")
    mesh.rollback_migration("idle")
    mesh.start_migration("done", "a", "b")
    for _ in range(5):
        mesh.advance_migration("done")
    mesh.publish("t1", "1")
    mesh.publish("t2", "1")
    assert mesh.health_snapshot() == (
        '{"agents":{"error":1,"idle":2,"running":1,"total":7},"app":"myapp","channels":{"topics":2},'
        '"migrations":{"active":2},"state":{"keys":2},"status":"ok"}'
    )
    assert repr(mesh) == 'VennuMesh(app="myapp", agents=7, state_keys=2, migrations=2)'


def test_stopped_agent_counts_only_in_total(mesh):
    mesh.register_agent("T", "x")
    mesh.update_agent_status("x", "stopped")
    assert json.loads(mesh.health_snapshot())["agents"] == {"error": 0, "idle": 0, "running": 0, "total": 1}
    mesh.deregister_agent("x")
    assert mesh.health_snapshot() == FRESH


@pytest.mark.parametrize("name,quoted", [
    ('a"b\nc', '"a\\"b\\nc"'), ("", '""'), ("it's \u00e9", '"it\'s \u00e9"'), ("\x1b[0m", '"\\u{1b}[0m"'),
    ("a\\b\t\r\x00", '"a\\\\b\\t\\r\\0"'), ("e\u0301\u00a0", '"e\\u{301}\\u{a0}"'),
])
def test_names_in_repr_and_snapshot(name, quoted):
    mesh = VennuMesh(name)
    assert repr(mesh) == f"VennuMesh(app={quoted}, agents=0, state_keys=0, migrations=0)"
    assert mesh.health_snapshot() == FRESH.replace('"myapp"', json.dumps(name, ensure_ascii=False))


def test_name_comes_from_the_plan():
    mesh = VennuMesh("arg", '{"app_name":"planned"}')
    assert json.loads(mesh.health_snapshot())["app"] == "planned"
    assert repr(mesh).startswith('VennuMesh(app="planned",')
    assert repr(VennuMesh("arg", "{}")).startswith('VennuMesh(app="",')
