import sys

import pytest

from conftest import health


def test_absent_key(mesh):
    assert mesh.state_get("missing") is None
    assert mesh.state_exists("missing") is False
    assert mesh.state_delete("missing") is None
    assert mesh.state_keys() == []


@pytest.mark.parametrize("text,stored", [
    ("null", "null"), (" 42 ", "42"), ('{"b": 1, "a": 2}', '{"a":2,"b":1}'), ('"x"', '"x"'),
    ("[1, [2, {}]]", "[1,[2,{}]]"), ("false", "false"), ("1.50", "1.5"),
])
def test_set_get_exists(mesh, text, stored):
    assert mesh.state_set("k", text) is None
    assert mesh.state_get("k") == stored
    assert mesh.state_exists("k") is True


# A str read back must be the interpreter's own form of its text: made one
# unit too wide it would differ in size (and compare unequal). Escapes,
# width edges, and repeated keys whose dropped values held the widest
# characters are where the width of a value can be miscounted.
@pytest.mark.parametrize("text,stored", [
    ('"\\u00e9"', '"\u00e9"'), ('["\u00ff","\u0100"]', '["\u00ff","\u0100"]'),
    ('"\\ud83d\\ude00x"', '"\U0001f600x"'), ('{"\u20ac":"\u00e9","a":1}', '{"a":1,"\u20ac":"\u00e9"}'),
    ('{"a":"\U0001f600","a":"\u00e9"}', '{"a":"\u00e9"}'), ('{"a":"\u00e9","a":"e"}', '{"a":"e"}'),
    ('{"b":{"a":"\u20ac","a":0},"a":"\u00e9"}', '{"a":"\u00e9","b":{"a":0}}'),
])
def test_values_read_back_in_the_interpreters_own_str_form(mesh, text, stored):
    mesh.state_set("k", text)
    got = mesh.state_get("k")
    assert got == stored
    # A fresh decoding: the literal may hold a cached UTF-8 copy of itself.
    assert sys.getsizeof(got) == sys.getsizeof(stored.encode().decode())


def test_overwrite_and_delete(mesh):
    mesh.state_set("k", "1")
    mesh.state_set("k", "[2]")
    assert mesh.state_get("k") == "[2]"
    assert mesh.state_keys() == ["k"]
    mesh.state_delete("k")
    assert (mesh.state_get("k"), mesh.state_exists("k"), mesh.state_keys()) == (None, False, [])


@pytest.mark.parametrize("bad", ["1 2", "", "{", "'a'", "[1,]"])
def test_bad_value_changes_nothing(mesh, bad):
    mesh.state_set("kept", "7")
    for key in ("kept", "absent"):
        with pytest.raises(ValueError, match="^Serialization error: "):
            mesh.state_set(key, bad)
    assert mesh.state_get("kept") == "7"
    assert mesh.state_exists("absent") is False
    assert health(mesh)["state"] == {"keys": 1}


def test_keys_are_exact_texts(mesh):
    for key in ("k", "K", "k ", "", "\u00e9", "e\u0301"):
        mesh.state_set(key, f'"{len(key)}"')
    assert len(mesh.state_keys()) == 6
    assert mesh.state_get("") == '"0"' and mesh.state_get("k ") == '"2"'
    assert mesh.state_get("\u00e9") == '"1"' and mesh.state_get("e\u0301") == '"2"'


def test_keys_sorted_by_bytes_and_selected_by_prefix(mesh):
    keys = ["user:2", "user:10", "User:1", "a", "B", "ab", "abc", "z", "\u00e9t\u00e9", "", "\U0001F600", "\uffff", "user:"]
    for key in keys:
        mesh.state_set(key, "0")
    assert mesh.state_keys() == sorted(keys, key=lambda k: k.encode())
    assert mesh.state_keys() == ["", "B", "User:1", "a", "ab", "abc", "user:", "user:10", "user:2", "z",
                                 "\u00e9t\u00e9", "\uffff", "\U0001F600"]
    assert mesh.state_keys("user:") == ["user:", "user:10", "user:2"]
    assert mesh.state_keys(prefix="ab") == ["ab", "abc"]
    assert mesh.state_keys("abcd") == []
    assert mesh.state_keys("\u00e9") == ["\u00e9t\u00e9"]
    assert mesh.state_keys("") == mesh.state_keys()
    mesh.state_keys().clear()
    assert len(mesh.state_keys()) == len(keys)
