"""The benchmark's plain-Python peers must return what the mesh returns, or
the benchmark compares different work."""

import sys
import threading
from pathlib import Path

import pytest

from vennu_mesh import VennuMesh

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
import peer  # noqa: E402
import run  # noqa: E402

PEERS = [pytest.param(peer.PeerMesh, id="json"),
         pytest.param(peer.OrjsonPeerMesh, id="orjson",
                      marks=pytest.mark.skipif(peer.OrjsonPeerMesh is None,
                                               reason="orjson is not installed"))]


@pytest.mark.parametrize("peer_class", PEERS)
def test_peer_returns_what_the_mesh_returns(peer_class):
    mesh_results = run.scenario(VennuMesh)
    peer_results = run.scenario(peer_class)
    assert [call for call, _, _ in peer_results] == [call for call, _, _ in mesh_results]
    for mine, theirs in zip(mesh_results, peer_results):
        assert theirs == mine


def test_comparison_ignores_timestamps_and_list_order_only():
    first = ('[{"agent_id":"a","status":"idle","last_active":"2026-01-02T03:04:05.123456+00:00"},'
             '{"agent_id":"b","status":"idle","last_active":"2026-01-02T03:04:05+00:00"}]')
    swapped = ('[{"agent_id":"b","status":"idle","last_active":"2027-05-06T07:08:09.5+00:00"},'
               '{"agent_id":"a","status":"idle","last_active":"2026-01-02T03:04:05.123456789+00:00"}]')
    assert run.comparable(first) == run.comparable(swapped)
    assert run.comparable(first) != run.comparable(first.replace('"b","status":"idle"', '"b","status":"busy"'))
    assert run.comparable('{"b":1,"a":2}') != run.comparable('{"a":2,"b":1}')


@pytest.mark.native_only
def test_agreement_check_reports_a_peer_that_differs():
    class Drifting(peer.PeerMesh):
        def get_migration(self, variable_name):
            return super().get_migration(variable_name).replace('"stage":1', '"stage":2')

    fixtures = run.Fixtures(VennuMesh)
    fixtures.classes = {"mesh": VennuMesh, "peer": Drifting}
    notes = run.check_agreement(fixtures)
    assert notes == ["mesh and peer disagree on get_migration",
                     "mesh and peer disagree on get_migration('counter.Counts',)"]


def test_scaling_runs_threads_at_once_and_reports_their_failures():
    assert run.thread_counts(2) == [1, 2, 4]
    assert run.thread_counts(6) == [1, 2, 4, 6, 12]
    callers = []

    def loop(n, record):
        for _ in range(n):
            record()

    def make():
        return loop, (lambda: callers.append(threading.get_ident()),), 1

    assert run.run_threads(3, make, 0.01, 10) > 0
    assert len(set(callers)) == 3
    with pytest.raises(ZeroDivisionError):
        run.run_threads(2, lambda: (lambda n: 1 / 0, (), 1), 0.01, 1)
