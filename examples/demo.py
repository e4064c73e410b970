"""A small shop running on the vennu_mesh runtime.

Run it from the repository root with ``python examples/demo.py``. It shows:

* a mesh built from a plan file (examples/plan.json), and the plan read back;
* agents of two types, Customer and Inventory, registered with the mesh; every
  call to an agent goes through route_agent_call, and the shop dispatches the
  method itself from the routing descriptor;
* shared state kept in the mesh: stock levels and order counters;
* events published to topics;
* a zero-downtime migration of the storage variable "inventory.Stock" from one
  SQLite database to another, walked through every stage with one rollback:
  the shop copies and compares the rows itself and reports what it saw;
* the health snapshot and the one-line summary of the mesh.
"""

import json
import sqlite3
import tempfile
from pathlib import Path
from typing import Any

import vennu_mesh

PLAN_PATH = Path(__file__).with_name("plan.json")
STOCK = "inventory.Stock"


class Shop:
    """Holds the Python agent objects and dispatches the calls the mesh routes."""

    def __init__(self, mesh: vennu_mesh.VennuMesh) -> None:
        self.mesh = mesh
        self.agents: dict[str, Agent] = {}
        self.events: dict[str, int] = {}

    def spawn(self, cls: type["Agent"], agent_id: str, instance: int = 0, **metadata: str) -> None:
        self.agents[agent_id] = cls(self, agent_id)
        record = json.loads(self.mesh.register_agent(
            cls.__name__, agent_id, instance, json.dumps(metadata)))
        self.mesh.update_agent_status(agent_id, "idle")
        print(f"  {record['agent_type']:<9} {agent_id:<15} instance={record['instance']} "
              f"metadata={json.dumps(record['metadata'])}")

    def call(self, agent_type: str, agent_id: str, method: str, **kwargs: Any) -> Any:
        route = json.loads(self.mesh.route_agent_call(
            agent_type, agent_id, method, json.dumps(kwargs)))
        target = self.agents[route["agent_id"]]
        try:
            return getattr(target, route["method"])(**kwargs)
        finally:
            self.mesh.update_agent_status(agent_id, "idle")

    def publish(self, topic: str, **payload: Any) -> None:
        self.mesh.publish(topic, json.dumps(payload))
        self.events[topic] = self.events.get(topic, 0) + 1


class Agent:
    def __init__(self, shop: Shop, agent_id: str) -> None:
        self.shop = shop
        self.agent_id = agent_id


class Inventory(Agent):
    def _key(self, sku: str) -> str:
        return f"stock:{self.agent_id}:{sku}"

    def level(self, sku: str) -> int:
        text = self.shop.mesh.state_get(self._key(sku))
        return 0 if text is None else int(json.loads(text)["quantity"])

    def _set_level(self, sku: str, quantity: int) -> None:
        self.shop.mesh.state_set(self._key(sku), json.dumps({"sku": sku, "quantity": quantity}))

    def restock(self, sku: str, quantity: int) -> int:
        level = self.level(sku) + quantity
        self._set_level(sku, level)
        self.shop.publish("inventory.restocked", warehouse=self.agent_id, sku=sku, quantity=level)
        return level

    def reserve(self, sku: str, quantity: int) -> bool:
        level = self.level(sku)
        if level < quantity:
            self.shop.publish("inventory.shortage", warehouse=self.agent_id, sku=sku,
                              wanted=quantity, available=level)
            return False
        self._set_level(sku, level - quantity)
        return True


class Customer(Agent):
    def place_order(self, warehouse: str, sku: str, quantity: int) -> int | None:
        if not self.shop.call("Inventory", warehouse, "reserve", sku=sku, quantity=quantity):
            return None
        mesh = self.shop.mesh
        number = int(json.loads(mesh.state_get("orders:count") or "0")) + 1
        mesh.state_set("orders:count", str(number))
        history = json.loads(mesh.state_get(f"orders:{self.agent_id}") or "[]")
        history.append({"order": number, "sku": sku, "quantity": quantity})
        mesh.state_set(f"orders:{self.agent_id}", json.dumps(history))
        self.shop.publish("orders.placed", order=number, customer=self.agent_id, sku=sku)
        return number

    def order_history(self) -> list[dict[str, Any]]:
        history: list[dict[str, Any]] = json.loads(self.shop.mesh.state_get(f"orders:{self.agent_id}") or "[]")
        return history


class StockDatabases:
    """The rows of inventory.Stock in the old and the new SQLite database."""

    def __init__(self, directory: str) -> None:
        self.old = sqlite3.connect(Path(directory) / "stock.db")
        self.new = sqlite3.connect(Path(directory) / "stock_new.db")
        for db in (self.old, self.new):
            db.execute("CREATE TABLE stock (key TEXT PRIMARY KEY, quantity INTEGER NOT NULL)")

    @staticmethod
    def put(db: sqlite3.Connection, key: str, quantity: int) -> None:
        db.execute("INSERT INTO stock VALUES (?, ?) ON CONFLICT(key) "
                   "DO UPDATE SET quantity = excluded.quantity", (key, quantity))

    @staticmethod
    def rows(db: sqlite3.Connection) -> dict[str, int]:
        return dict(db.execute("SELECT key, quantity FROM stock"))

    def write_both(self, key: str, quantity: int) -> None:
        self.put(self.old, key, quantity)
        self.put(self.new, key, quantity)

    def missing_from_new(self) -> list[str]:
        new = self.rows(self.new)
        return [key for key in self.rows(self.old) if key not in new]

    def disagreeing(self) -> list[str]:
        """Keys whose dual reads disagree: missing from the new database or different there."""
        old, new = self.rows(self.old), self.rows(self.new)
        return [key for key in old if new.get(key) != old[key]]

    def copy_to_new(self, keys: list[str]) -> int:
        old = self.rows(self.old)
        for done, key in enumerate(keys, 1):
            self.put(self.new, key, old[key])
            print(f"      copying {done}/{len(keys)}: {key} = {old[key]}")
        return len(keys)

    def close(self) -> None:
        self.old.close()
        self.new.close()


def show_stage(shop: Shop, note: str, record_json: str) -> None:
    record = json.loads(record_json)
    print(f"  {note:<50} -> {record['stage']} {record['stage_name']:<12} "
          f"discrepancies={record['discrepancy_count']} keys_migrated={record['keys_migrated']}")
    shop.publish("migrations", variable=record["variable_name"], stage=record["stage_name"])


def migrate_stock(shop: Shop, directory: str) -> None:
    """Walks the migration through every stage.

    The counts reported to the mesh add up in its record: keys_migrated counts
    every row copied, discrepancy_count only the rows on which a read of the
    two databases disagreed.
    """
    mesh, dbs = shop.mesh, StockDatabases(directory)
    for key in mesh.state_keys("stock:"):
        dbs.put(dbs.old, key, json.loads(mesh.state_get(key) or "null")["quantity"])

    show_stage(shop, "started", mesh.start_migration(STOCK, "sqlite", "sqlite_new"))
    dbs.write_both("stock:inventory-west:pear", 12)
    print("    backfilling the new database:")
    copied = dbs.copy_to_new(dbs.missing_from_new())
    # A writer that still only knows the old database slips one change in.
    dbs.put(dbs.old, "stock:inventory-east:apple", 9)
    show_stage(shop, f"wrote to both, backfilled {copied} rows",
               mesh.advance_migration(STOCK, keys_migrated=copied))

    differing = dbs.disagreeing()
    print(f"    shadow reads disagree on {len(differing)} row(s), repairing:")
    repaired = dbs.copy_to_new(differing)
    show_stage(shop, f"shadow reads, {len(differing)} disagreed, repaired",
               mesh.advance_migration(STOCK, discrepancy_count=len(differing), keys_migrated=repaired))

    differing = dbs.disagreeing()
    show_stage(shop, f"dual reads, {len(differing)} disagreed",
               mesh.advance_migration(STOCK, discrepancy_count=len(differing)))

    dbs.put(dbs.old, "stock:inventory-west:plum", 4)
    show_stage(shop, "a late row is only in the old database: roll back",
               mesh.rollback_migration(STOCK))
    differing = dbs.disagreeing()
    print(f"    dual reads disagree on {len(differing)} row(s), copying:")
    copied = dbs.copy_to_new(differing)
    show_stage(shop, f"dual reads, {len(differing)} disagreed, copied",
               mesh.advance_migration(STOCK, discrepancy_count=len(differing), keys_migrated=copied))

    show_stage(shop, "new database is primary, old one no longer read",
               mesh.advance_migration(STOCK))
    dbs.old.execute("DROP TABLE stock")
    show_stage(shop, "old table dropped", mesh.advance_migration(STOCK))
    print(f"  rows in the new database: {len(dbs.rows(dbs.new))}")
    dbs.close()


def main() -> None:
    mesh = vennu_mesh.VennuMesh("shop", PLAN_PATH.read_text(encoding="utf-8"))
    print("plan:", mesh.plan_json())

    shop = Shop(mesh)
    print("\nagents:")
    shop.spawn(Inventory, "inventory-east", region="east", dock="A")
    shop.spawn(Inventory, "inventory-west", region="west")
    for number, name in enumerate(["Ada", "Grace", "Linus"]):
        shop.spawn(Customer, f"customer-{number + 1}", instance=number % 2, name=name)

    print("\nrestocking:")
    for warehouse, sku, quantity in [("inventory-east", "apple", 10), ("inventory-east", "pear", 4),
                                     ("inventory-west", "apple", 6), ("inventory-west", "fig", 8)]:
        level = shop.call("Inventory", warehouse, "restock", sku=sku, quantity=quantity)
        print(f"  {warehouse}: {sku} -> {level}")

    print("\norders:")
    for customer, warehouse, sku, quantity in [
            ("customer-1", "inventory-east", "apple", 3), ("customer-2", "inventory-east", "pear", 5),
            ("customer-2", "inventory-west", "fig", 2), ("customer-3", "inventory-east", "apple", 4),
            ("customer-1", "inventory-west", "apple", 6)]:
        order = shop.call("Customer", customer, "place_order", warehouse=warehouse, sku=sku, quantity=quantity)
        print(f"  {customer} wants {quantity} {sku} from {warehouse}: "
              + (f"order #{order}" if order else "out of stock"))

    mesh.update_agent_status("customer-3", "stopped")
    try:
        shop.call("Customer", "customer-3", "place_order", warehouse="inventory-east", sku="apple", quantity=1)
    except KeyError as refused:
        # Routing takes calls only for agents that are registered and neither
        # stopped nor in error; it refuses all others with the same KeyError.
        print("  customer-3 is stopped: routing refuses calls to stopped agents, "
              f"with KeyError {refused.args[0]!r}")

    print("\nshared state:")
    print("  orders placed:", mesh.state_get("orders:count"))
    print("  customer-2 history:", shop.call("Customer", "customer-2", "order_history"))
    for key in mesh.state_keys("stock:"):
        print(f"  {key} = {mesh.state_get(key)}")
    customers = json.loads(mesh.list_agents(agent_type="Customer"))
    print("  customers:", ", ".join(f"{a['agent_id']} ({a['status']})" for a in
                                   sorted(customers, key=lambda a: a["agent_id"])))

    print(f"\nmigration of {STOCK}:")
    print("  (discrepancies and keys_migrated are the running totals the mesh keeps)")
    with tempfile.TemporaryDirectory() as directory:
        migrate_stock(shop, directory)
    for record in json.loads(mesh.list_migrations()):
        print(f"  {record['variable_name']}: {record['stage_name']} ({record['source_backend']} -> "
              f"{record['target_backend']}, app {record['app_name']})")

    print("\nevents published:", ", ".join(f"{t}={n}" for t, n in sorted(shop.events.items())))
    print("health:", mesh.health_snapshot())
    print(repr(mesh))


if __name__ == "__main__":
    main()
