import json

import pytest

from vennu_mesh import VennuMesh
from conftest import assert_timestamp, health, nanos, raises_exact

KEYS = ["variable_name", "source_backend", "target_backend", "stage", "stage_name", "started_at",
        "advanced_at", "discrepancy_count", "keys_migrated", "app_name"]
NAMES = ["idle", "shadow_write", "shadow_read", "dual_read", "new_primary", "cleanup", "done"]


def at_stage(mesh, stage, name="v"):
    mesh.start_migration(name, "sqlite", "redis")
    if stage == 0:
        mesh.rollback_migration(name)
    for _ in range(stage - 1):
        mesh.advance_migration(name)
    record = json.loads(mesh.get_migration(name))
    assert (record["stage"], record["stage_name"]) == (stage, NAMES[stage])
    return record


def test_start_record(mesh):
    text = mesh.start_migration("counter.Counts", "sqlite", "redis")
    record = json.loads(text)
    assert list(record) == KEYS
    stamp = record["started_at"]
    assert_timestamp(stamp)
    assert text == (
        '{"variable_name":"counter.Counts","source_backend":"sqlite","target_backend":"redis","stage":1,'
        f'"stage_name":"shadow_write","started_at":"{stamp}","advanced_at":"{stamp}",'
        '"discrepancy_count":0,"keys_migrated":0,"app_name":"myapp"}'
    )
    assert mesh.get_migration("counter.Counts") == text


def progress(mesh, expected_stage, call):
    before = json.loads(mesh.get_migration("v"))
    after = json.loads(call())
    assert after == json.loads(mesh.get_migration("v"))
    assert (after["stage"], after["stage_name"]) == (expected_stage, NAMES[expected_stage])
    assert after["started_at"] == before["started_at"]
    assert nanos(after["advanced_at"]) >= nanos(before["advanced_at"])
    return after


@pytest.mark.parametrize("stage", range(7))
def test_state_machine_row(mesh, stage):
    at_stage(mesh, stage)
    snapshot = mesh.get_migration("v")
    if stage < 6:
        with raises_exact(ValueError, f"Migration error: Migration for 'v' already in progress at stage {stage} ({NAMES[stage]})"):
            mesh.start_migration("v", "x", "y")
    else:
        with raises_exact(ValueError, "Migration error: Migration for 'v' is already complete"):
            mesh.advance_migration("v", 1, 1)
    if stage == 0:
        with raises_exact(ValueError, "Migration error: Already at initial stage \u2014 cannot roll back further"):
            mesh.rollback_migration("v")
    if stage == 6:
        with raises_exact(ValueError, "Migration error: Cannot roll back a completed migration"):
            mesh.rollback_migration("v")
    assert mesh.get_migration("v") == snapshot
    if stage < 6:
        if stage > 0:
            progress(mesh, stage - 1, lambda: mesh.rollback_migration("v"))
            progress(mesh, stage, lambda: mesh.advance_migration("v"))
        progress(mesh, stage + 1, lambda: mesh.advance_migration("v"))


def test_no_record(mesh):
    for call in (mesh.advance_migration, mesh.rollback_migration):
        with raises_exact(ValueError, "Migration error: No migration in progress for 'ghost'"):
            call("ghost")
    assert mesh.get_migration("ghost") is None
    assert mesh.list_migrations() == "[]"


def test_restart_after_done_replaces_the_record(mesh):
    mesh.start_migration("v", "a", "b")
    for _ in range(5):
        old = json.loads(mesh.advance_migration("v", 4, 4))
    assert (old["stage_name"], old["keys_migrated"]) == ("done", 20)
    new = json.loads(mesh.start_migration("v", "c", "d"))
    assert (new["source_backend"], new["target_backend"], new["discrepancy_count"], new["keys_migrated"]) == ("c", "d", 0, 0)
    assert nanos(new["started_at"]) >= nanos(old["started_at"])
    assert new["started_at"] == new["advanced_at"]
    assert json.loads(mesh.list_migrations()) == [new]


def test_counters_add_and_wrap(mesh):
    mesh.start_migration("v", "a", "b")
    assert json.loads(mesh.advance_migration("v"))["discrepancy_count"] == 0
    record = json.loads(mesh.advance_migration("v", keys_migrated=500))
    assert (record["discrepancy_count"], record["keys_migrated"]) == (0, 500)
    mesh.rollback_migration("v")
    record = json.loads(mesh.advance_migration("v", 3, 10))
    assert (record["discrepancy_count"], record["keys_migrated"]) == (3, 510)
    record = json.loads(mesh.rollback_migration("v"))
    assert (record["discrepancy_count"], record["keys_migrated"]) == (3, 510)
    record = json.loads(mesh.advance_migration("v", 2**64 - 1, 2**64 - 1))
    assert (record["discrepancy_count"], record["keys_migrated"]) == (2, 509)
    record = json.loads(mesh.advance_migration("v", discrepancy_count=True, keys_migrated=2**64 - 509))
    assert (record["discrepancy_count"], record["keys_migrated"]) == (3, 0)


def test_bad_count_leaves_record_and_checks_before_lookup(mesh):
    mesh.start_migration("v", "a", "b")
    before = mesh.get_migration("v")
    with pytest.raises(OverflowError):
        mesh.advance_migration("v", -1)
    with pytest.raises(OverflowError):
        mesh.advance_migration("v", 0, 2**64)
    with pytest.raises(TypeError):
        mesh.advance_migration("ghost", None)
    assert mesh.get_migration("v") == before


def test_names_match_exactly(mesh):
    for name in ("v", "V", "v "):
        mesh.start_migration(name, "a", "b")
    mesh.advance_migration("V")
    assert {r["variable_name"]: r["stage"] for r in json.loads(mesh.list_migrations())} == {"v": 1, "V": 2, "v ": 1}


def test_records_read_back_whole_on_either_side_of_the_stack_room(mesh):
    # get_migration copies a record of up to 512 bytes into the stack, a
    # longer one into a buffer.
    base = len(mesh.start_migration("", "s", "t").encode())
    for size in (511, 512, 513):
        name = "\u00e9" * ((size - base) // 2) + "v" * ((size - base) % 2)
        started = mesh.start_migration(name, "s", "t")
        assert mesh.get_migration(name) == started
        advanced = mesh.advance_migration(name, 3, 4)
        assert mesh.get_migration(name) == advanced
        assert mesh.get_migration(name) in mesh.list_migrations()


def test_list_includes_complete_records(mesh):
    at_stage(mesh, 6, "done")
    at_stage(mesh, 0, "idle")
    at_stage(mesh, 3, "mid")
    text = mesh.list_migrations()
    records = json.loads(text)
    assert all(list(r) == KEYS for r in records)
    assert sorted((r["variable_name"], r["stage_name"]) for r in records) == [
        ("done", "done"), ("idle", "idle"), ("mid", "dual_read")]
    assert text == "[" + ",".join(mesh.get_migration(r["variable_name"]) for r in records) + "]"
    assert health(mesh)["migrations"] == {"active": 2}


@pytest.mark.parametrize("args,name", [
    (("a",), "a"), (("a", "{}"), "a"), (("a", "   "), "a"), (("a", '{"app_name":"b"}'), "b"),
    (("a", '{"app_name":""}'), "a"), (("", '{"app_name":""}'), ""), (("a\u00e9", ""), "a\u00e9"),
])
def test_records_carry_the_application_name(args, name):
    record = json.loads(VennuMesh(*args).start_migration("v", "s", "t"))
    assert record["app_name"] == name
