"""A mistake the stubs must catch: a lookup may find nothing, and its result is text."""

from vennu_mesh import VennuMesh

mesh = VennuMesh("shop")
count: int = mesh.state_get("orders:count")
