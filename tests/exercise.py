"""Calls every method of a mesh, on success and failure paths, a few
hundred times. Run under valgrind's memcheck by scripts/test; not a pytest
module."""

from vennu_mesh import VennuMesh


def exercise(rounds):
    mesh = VennuMesh("app", '{"app_name":"app","backends":{"db":{"backend_type":"x"}}}')
    for i in range(rounds):
        key = f"k{i % 7}"
        mesh.register_agent("T", key, i, '{"b":[1,2.5],"a":"é"}' if i % 2 else None)
        for call in (
            lambda: mesh.register_agent("T", key),
            lambda: mesh.update_agent_status(key, "bogus"),
            lambda: mesh.route_agent_call("T", "ghost", "m"),
            lambda: mesh.state_set(key, "[1,"),
            lambda: mesh.publish(key, "{"),
            lambda: mesh.advance_migration("never"),
            lambda: mesh.get_agent(None),
            lambda: mesh.register_agent("T", key, -1),
            lambda: VennuMesh("a", "[]"),
        ):
            try:
                call()
            except (ValueError, KeyError, RuntimeError, TypeError, OverflowError):
                pass
        mesh.update_agent_status(key, "idle")
        mesh.route_agent_call("T", key, "m", '{"x":1}')
        mesh.list_agents("T", "running")
        mesh.get_agent(key)
        mesh.state_set(key, '{"z":1,"a":[true,null,1e300,-0]}')
        mesh.state_get(key)
        mesh.state_exists(key)
        mesh.state_keys("k")
        if i % 3 == 0:
            mesh.state_delete(key)
        name = f"v{i}"
        mesh.start_migration(name, "a", "b")
        mesh.advance_migration(name, 1, 2)
        mesh.rollback_migration(name)
        mesh.get_migration(name)
        mesh.publish(f"t{i % 3}", '["x"]')
        mesh.deregister_agent(key)
    mesh.list_migrations()
    mesh.health_snapshot()
    mesh.plan_json()
    repr(mesh)


if __name__ == "__main__":
    exercise(300)
