import json
import re

import pytest

from vennu_mesh import VennuMesh
from conftest import raises_exact

DEFAULT_EMPTY = '{"app_name":"","backends":{},"functions":[],"agents":[]}'
MYAPP = '{"app_name":"myapp","backends":{},"functions":[],"agents":[]}'


@pytest.mark.parametrize("args,kwargs", [
    (("a",), {}), (("a", ""), {}), ((), {"app_name": "a", "plan_json": ""}),
])
def test_no_plan_gives_default_plan_named_after_argument(args, kwargs):
    mesh = VennuMesh(*args, **kwargs)
    assert mesh.app_name == "a"
    assert mesh.plan_json() == '{"app_name":"a","backends":{},"functions":[],"agents":[]}'


@pytest.mark.parametrize("text", [
    "{}", " {} ", "  {}  ", "   ", "\u00a0\u00a0", "\t\n\r\x0b\x0c", "\u3000{}\u2029", "\u0085\u1680\u2000\u200a\u202f\u205f",
])
def test_shortcuts_give_the_nameless_default_plan(text):
    mesh = VennuMesh("a", text)
    assert mesh.app_name == ""
    assert mesh.plan_json() == DEFAULT_EMPTY


@pytest.mark.parametrize("text,written", [
    ('{"app_name":"myapp"}', MYAPP),
    ('["myapp"]', MYAPP),
    ('\u00a0\n {"app_name":"myapp"}\u2028 ', MYAPP),
    ('{"app_name":"myapp","extra":[1,2,{"x":null}]}', MYAPP),
    ('{"x":1,"app_name":"myapp","y":{"app_name":5}}', MYAPP),
    ('{"agents":["A"],"app_name":"x"}', '{"app_name":"x","backends":{},"functions":[],"agents":["A"]}'),
    ('{"app_name":"myapp","backends":{"db":{"backend_type":"sqlite"}}}',
     '{"app_name":"myapp","backends":{"db":{"backend_type":"sqlite","config":null}},"functions":[],"agents":[]}'),
    ('{"app_name":"m","backends":{"db":{"config":null,"backend_type":"pg","extra":1}}}',
     '{"app_name":"m","backends":{"db":{"backend_type":"pg","config":null}},"functions":[],"agents":[]}'),
    ('{"app_name":"m","backends":{"db":{"backend_type":"a"},"db":["b",{"z":[2.50],"a":true}]}}',
     '{"app_name":"m","backends":{"db":{"backend_type":"b","config":{"a":true,"z":[2.5]}}},"functions":[],"agents":[]}'),
    ('["x",{"db":["sqlite"]},["f","g"],["A","B"]]',
     '{"app_name":"x","backends":{"db":{"backend_type":"sqlite","config":null}},"functions":["f","g"],"agents":["A","B"]}'),
    ('["x",{},["f"]]', '{"app_name":"x","backends":{},"functions":["f"],"agents":[]}'),
    ('{"app_name":"", "functions":["b","a","b"]}', '{"app_name":"","backends":{},"functions":["b","a","b"],"agents":[]}'),
    ('{"app_name":"a\\"b\\u00e9/\\u0001"}', '{"app_name":"a\\"bé/\\u0001","backends":{},"functions":[],"agents":[]}'),
    ('{"app_name":"m","x":' + "[" * 126 + "]" * 126 + "}", '{"app_name":"m","backends":{},"functions":[],"agents":[]}'),
])
def test_accepted_plans(text, written):
    mesh = VennuMesh("ignored", text)
    assert mesh.plan_json() == written
    assert mesh.app_name == json.loads(written)["app_name"]


def test_backends_keep_every_name():
    text = '{"app_name":"m","backends":{"a":{"backend_type":"x","config":1},"b":["y",[1]]}}'
    plan = json.loads(VennuMesh("m", text).plan_json())
    assert list(plan) == ["app_name", "backends", "functions", "agents"]
    assert plan["backends"] == {"a": {"backend_type": "x", "config": 1}, "b": {"backend_type": "y", "config": [1]}}
    assert all(list(spec) == ["backend_type", "config"] for spec in plan["backends"].values())


@pytest.mark.parametrize("text,message", [
    ("{ }", "missing field `app_name` at line 1 column 3"),
    ("[]", "invalid length 0, expected struct Plan with 4 elements at line 1 column 2"),
    ("{", "EOF while parsing an object at line 1 column 1"),
    ("  x", "expected value at line 1 column 1"),
    ("\n\nx", "expected value at line 1 column 1"),
    ("\u00a0x\u00a0", "expected value at line 1 column 1"),
    ('{"app_name":"m"} x', "trailing characters at line 1 column 18"),
    ('{"app_name":"m","x":' + "[" * 127 + "]" * 127 + "}", "recursion limit exceeded at line 1 column 147"),
])
def test_exact_plan_errors(text, message):
    with raises_exact(ValueError, "Serialization error: " + message):
        VennuMesh("a", text)


@pytest.mark.parametrize("text,pattern", [
    ('{"app_name":"a","app_name":"b"}', "duplicate field `app_name`"),
    ('{"app_name":"a","agents":[],"agents":[]}', "duplicate field `agents`"),
    ('{"app_name":"m","backends":{"d":{"backend_type":"a","backend_type":"b"}}}', "duplicate field `backend_type`"),
    ('{"app_name":"m","backends":{"d":{"config":1}}}', "missing field `backend_type`"),
    ('{"app_name":"m","backends":{"d":[]}}', "invalid length 0, expected struct BackendSpec with 2 elements"),
    ('{"app_name":5}', "invalid type: integer `5`, expected a string"),
    ('{"app_name":null}', "invalid type: null, expected .+"),
    ('{"app_name":"myapp","functions":null}', "invalid type: null, expected .+"),
    ('{"app_name":"myapp","agents":[1]}', "invalid type: .+, expected .+"),
    ('{"app_name":"myapp","backends":[]}', "invalid type: .+, expected .+"),
    ('{"app_name":"myapp","backends":{"d":"sqlite"}}', "invalid type: .+, expected .+"),
    ("5", "invalid type: .+, expected struct Plan"),
    ('"myapp"', "invalid type: .+, expected struct Plan"),
    ("null", "invalid type: .+, expected struct Plan"),
    ('["a",{},[],[],[]]', "trailing characters"),
    ('{"app_name":"myapp","extra":[1,}', ".+"),
    ('{"backends":{}}', "missing field `app_name`"),
    ("\n\n{bad", ".+"),
])
def test_plan_errors(text, pattern):
    with pytest.raises(ValueError) as info:
        VennuMesh("a", text)
    assert type(info.value) is ValueError and len(info.value.args) == 1
    message = info.value.args[0]
    assert re.fullmatch(f"Serialization error: {pattern} at line 1 column \\d+", message), message


# A scalar of the wrong kind is read whole and reported at its last byte; an
# array or object is refused on sight, at its opening bracket.
@pytest.mark.parametrize("text,line,column", [
    ('{"app_name":5}', 1, 13), ('{"app_name":true}', 1, 16), ('{"app_name":[1]}', 1, 13),
    ('{"app_name":{}}', 1, 13), ("[[]]", 1, 2), ('["a",[]]', 1, 6),
    ('{"app_name":"m","backends":[]}', 1, 28), ('{"app_name":\n[]}', 2, 1),
    ('{"app_name":\n  {}}', 2, 3), ('{"app_name":"m",\n"agents":{}}', 2, 10),
    ('{"app_name":\n7}', 2, 1),
])
def test_wrong_kind_is_reported_where_it_is_found(text, line, column):
    with pytest.raises(ValueError, match=f"^Serialization error: invalid type: .+ at line {line} column {column}$"):
        VennuMesh("a", text)


def test_plan_is_not_interpreted():
    planned = VennuMesh("m", '{"app_name":"m","agents":["Customer"],"functions":["f"]}')
    planned.register_agent("Other", "x")
    assert json.loads(planned.route_agent_call("Other", "x", "unplanned"))["status"] == "routed"
