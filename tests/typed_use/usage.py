"""Typed use of every method, checked with mypy --strict against the stubs."""

import json

import vennu_mesh
from vennu_mesh import VennuMesh

version: str = vennu_mesh.__version__
names: list[str] = vennu_mesh.__all__

mesh = VennuMesh("shop", plan_json='{"app_name": "shop"}')
app: str = mesh.app_name

record: str = mesh.register_agent("Customer", "c-1", instance=0, metadata_json=None)
mesh.update_agent_status("c-1", "idle")
found: str | None = mesh.get_agent("c-1")
listed: str = mesh.list_agents(agent_type="Customer", status=None)
route: str = mesh.route_agent_call("Customer", "c-1", "place_order", args_json="{}")
mesh.deregister_agent("c-1")

mesh.state_set("orders:count", "41")
value = mesh.state_get("orders:count")
count: int = 0 if value is None else int(json.loads(value))
present: bool = mesh.state_exists("orders:count")
keys: list[str] = mesh.state_keys(prefix="orders:")
mesh.state_delete("orders:count")

started: str = mesh.start_migration("inventory.Stock", "sqlite", "sqlite_new")
advanced: str = mesh.advance_migration("inventory.Stock", discrepancy_count=0, keys_migrated=3)
rolled_back: str = mesh.rollback_migration("inventory.Stock")
migration: str | None = mesh.get_migration("inventory.Stock")
migrations: str = mesh.list_migrations()

receivers: int = mesh.publish("orders.placed", '{"order": 1}')
snapshot: str = mesh.health_snapshot()
plan: str = mesh.plan_json()
summary: str = repr(mesh)
