import json
import math
import re
from decimal import Decimal

import pytest
from hypothesis import given, settings, strategies as st

from vennu_mesh import VennuMesh
from conftest import corpus_folder, missing_corpus

CORPUS_PARTS = ("JSONTestSuite", "test_parsing")
CORPUS = corpus_folder(*CORPUS_PARTS)
POSITIONED = re.compile(r"Serialization error: .+ at line \d+ column \d+", re.S)


def roundtrip(text):
    mesh = VennuMesh("j")
    mesh.state_set("k", text)
    return mesh.state_get("k")


def parse_error(text):
    with pytest.raises(ValueError) as info:
        VennuMesh("j").state_set("k", text)
    assert type(info.value) is ValueError and len(info.value.args) == 1
    return info.value.args[0]


@pytest.mark.parametrize("text,expected", [
    ("1.50", "1.5"), ("2.0", "2.0"), ("1e2", "100.0"), ("100", "100"), ("1.0e+2", "100.0"),
    ("1e16", "1e+16"), ("1e15", "1000000000000000.0"), ("123456789012345.6", "123456789012345.6"),
    ("0.000001", "1e-6"), ("0.00001", "0.00001"), ("1e-5", "0.00001"), ("2.5e-5", "0.000025"),
    ("0.5", "0.5"), ("1.5e-7", "1.5e-7"), ("1e21", "1e+21"),
    ("-0", "-0.0"), ("-0.0", "-0.0"), ("-0e0", "-0.0"), ("0", "0"), ("0.0", "0.0"), ("0e0", "0.0"),
    ("-1", "-1"), ("-1.25", "-1.25"), ("100.0e-2", "1.0"), ("1E-400", "0.0"),
    ("18446744073709551615", "18446744073709551615"),
    ("18446744073709551616", "1.8446744073709552e+19"),
    ("-9223372036854775808", "-9223372036854775808"),
    ("-9223372036854775809", "-9.223372036854776e+18"),
    ("1.7976931348623157e308", "1.7976931348623157e+308"),
    ("-1.7976931348623157e308", "-1.7976931348623157e+308"),
    ("[1e+16,-2.5e-7,5e-324,1.2345678901234567e+300]", "[1e+16,-2.5e-7,5e-324,1.2345678901234567e+300]"),
    ("1e+016", "1e+16"), ("1e-07", "1e-7"), ("1E+16", "1e+16"), ("1.0e+16", "1e+16"), ("10e+15", "1e+16"),
    ("1.50e-7", "1.5e-7"), ("4.9406564584124654e-324", "5e-324"), ("9.999999999999999e+22", "1e+23"),
])
def test_number_layout(text, expected):
    assert roundtrip(text) == expected


@pytest.mark.parametrize("value,expected", [
    ("\t/é", '"\\t/é"'), ("/", '"/"'), ('"', '"\\""'), ("\\", '"\\\\"'),
    ("\b\f\n\r", '"\\b\\f\\n\\r"'), ("\x00", '"\\u0000"'), ("\x01\x1f", '"\\u0001\\u001f"'),
    ("\x7f", '"\x7f"'), ("\u2028\u00a0\ufeff", '"\u2028\u00a0\ufeff"'), ("\U0001F600", '"\U0001F600"'),
])
def test_string_escapes(value, expected):
    assert roundtrip(json.dumps(value)) == expected
    assert roundtrip(json.dumps(value, ensure_ascii=False)) == expected


@pytest.mark.parametrize("text,expected", [
    ('"\\u00E9\\u00e9"', '"éé"'), ('"\\ud83d\\ude00"', '"\U0001F600"'), ('"a\\/b"', '"a/b"'),
    ('"a\\u0000b"', '"a\\u0000b"'),
    ('{"b":1,"a":2,"B":3}', '{"B":3,"a":2,"b":1}'),
    ('{"é":1,"z":2,"\\uffff":3,"\\ud83d\\ude00":4,"":5}', '{"":5,"z":2,"é":1,"\uffff":3,"\U0001F600":4}'),
    ('{"b":{"d":1,"c":2},"a":[{"y":1,"x":2}]}', '{"a":[{"x":2,"y":1}],"b":{"c":2,"d":1}}'),
    ('{"a":1,"a":2}', '{"a":2}'), ('{"a":{"x":1},"b":0,"a":[3]}', '{"a":[3],"b":0}'),
    ('{"a":1,"c":2,"b":3}', '{"a":1,"b":3,"c":2}'), ('{"a":1,"c":2,"c":3}', '{"a":1,"c":3}'),
    ('[{"a":{"a":1,"c":2,"b":3},"b":0}]', '[{"a":{"a":1,"b":3,"c":2},"b":0}]'),
    ('{"a":[{"a":1,"c":2,"c":3}],"b":0}', '{"a":[{"a":1,"c":3}],"b":0}'),
    (' \t\n\r{ "a" : [ 1 , { "b" : null } ] }\r\n', '{"a":[1,{"b":null}]}'),
    (" {} ", "{}"), ("[]", "[]"), (" 42 ", "42"), ("true", "true"), ("false", "false"), ("null", "null"),
    ("[" * 127 + "]" * 127, "[" * 127 + "]" * 127),
    ('{"a":' * 127 + "1" + "}" * 127, '{"a":' * 127 + "1" + "}" * 127),
])
def test_reading_and_writing(text, expected):
    assert roundtrip(text) == expected


@pytest.mark.parametrize("text,message", [
    ("x", "expected value at line 1 column 1"),
    ("{", "EOF while parsing an object at line 1 column 1"),
    ("1 x", "trailing characters at line 1 column 3"),
    ("{}x", "trailing characters at line 1 column 3"),
    ("\n\nx", "expected value at line 3 column 1"),
    ("{1:2}", "key must be a string at line 1 column 2"),
    ('"a\x00b"', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"),
    ('"a\tb"', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"),
    ("[" * 128 + "]" * 128, "recursion limit exceeded at line 1 column 128"),
    ('{"a":' * 128 + "1" + "}" * 128, "recursion limit exceeded at line 1 column 636"),
])
def test_exact_parse_errors(text, message):
    assert parse_error(text) == "Serialization error: " + message


@pytest.mark.parametrize("text,start", [
    ("[1,]", "trailing comma"), ('{"a":1,}', ""), ("1E400", "number out of range"),
    ("-1e400", "number out of range"), ("[" * 100_000, "recursion limit exceeded"),
    ('"\\ud800"', ""), ('"\\udc00"', ""), ('"\\ud800\\u0041"', ""), ('"\\ud800x"', ""),
    ("", ""), ("   ", ""), ("NaN", ""), ("Infinity", ""), ("'a'", ""), ("01", ""), ("[1 2]", ""),
    ('{"a" 1}', ""), ("/*c*/1", ""), ("tru", ""), ('"\\x"', ""), ("\u00a01", ""), ("\x0c1", ""),
    ("\ufeff{}", ""), ("1 2", ""),
])
def test_other_parse_errors(text, start):
    message = parse_error(text)
    assert POSITIONED.fullmatch(message), message
    assert message.startswith("Serialization error: " + start)


def test_failed_set_keeps_earlier_value():
    mesh = VennuMesh("j")
    mesh.state_set("k", "1")
    with pytest.raises(ValueError):
        mesh.state_set("k", "[" * 100_000)
    assert mesh.state_get("k") == "1"


def test_deep_input_is_refused_everywhere(mesh):
    deep = "[" * 100_000
    mesh.register_agent("T", "x")
    calls = [
        lambda: mesh.register_agent("T", "y", 0, deep),
        lambda: mesh.route_agent_call("T", "x", "m", deep),
        lambda: mesh.publish("t", deep),
        lambda: VennuMesh("a", '{"app_name":"a","x":' + deep),
    ]
    for call in calls:
        with pytest.raises(ValueError, match="^Serialization error: recursion limit exceeded"):
            call()
    assert mesh.get_agent("y") is None
    assert json.loads(mesh.get_agent("x"))["status"] == "starting"


ODD = 'a"b\\c\x01\n/é\x7f'
ODD_JSON = '"a\\"b\\\\c\\u0001\\n/é\x7f"'


def test_records_follow_the_string_rules(mesh):
    assert f'"agent_id":{ODD_JSON},"agent_type":{ODD_JSON},' in mesh.register_agent(ODD, ODD)
    record = mesh.start_migration(ODD, ODD, ODD)
    assert record.startswith(f'{{"variable_name":{ODD_JSON},"source_backend":{ODD_JSON},')
    assert f'"app":{ODD_JSON},' in VennuMesh(ODD).health_snapshot()


def _corpus_names():
    if CORPUS is None:
        return [None]
    return sorted(p.name for p in CORPUS.glob("*.json"))


def close(a, b):
    """Equal documents, numbers within the reader's allowed last-bit freedom."""
    if isinstance(a, (int, float)) and isinstance(b, (int, float)) and not isinstance(a, bool):
        return a == b or abs(a - b) <= math.ulp(float(b))
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(map(close, a, b))
    if isinstance(a, dict) and isinstance(b, dict):
        return a.keys() == b.keys() and all(close(a[k], b[k]) for k in a)
    return type(a) is type(b) and a == b


@pytest.mark.parametrize("name", _corpus_names())
def test_corpus(name):
    if CORPUS is None:
        missing_corpus(*CORPUS_PARTS)
    try:
        text = (CORPUS / name).read_bytes().decode("utf-8")
    except UnicodeDecodeError:
        pytest.skip("not representable as a Python str")
    mesh = VennuMesh("corpus")
    try:
        mesh.state_set("k", text)
    except ValueError as error:
        assert name[0] != "y", error
        assert type(error) is ValueError
        assert POSITIONED.fullmatch(error.args[0]), error.args
        return
    assert name[0] != "n", "accepted an invalid document"
    out = mesh.state_get("k")
    if name[0] == "y":
        assert close(json.loads(out), json.loads(text))
    mesh.state_set("k", out)
    assert mesh.state_get("k") == out


def layout(value):
    """The expected text of a finite double."""
    if value == 0:
        return "-0.0" if math.copysign(1, value) < 0 else "0.0"
    sign = "-" if value < 0 else ""
    digits_tuple, exponent = Decimal(repr(abs(value))).as_tuple()[1:]
    digits = "".join(map(str, digits_tuple)).rstrip("0")
    exponent += len(digits_tuple) - len(digits)
    e = len(digits) - 1 + exponent
    if -5 <= e <= 15:
        if e >= 0:
            whole, frac = digits[: e + 1].ljust(e + 1, "0"), digits[e + 1:]
            return f"{sign}{whole}.{frac or '0'}"
        return f"{sign}0.{'0' * (-e - 1)}{digits}"
    rest = "." + digits[1:] if len(digits) > 1 else ""
    return f"{sign}{digits[0]}{rest}e{'+' if e >= 0 else '-'}{abs(e)}"


def exact_range(value):
    """Decimal texts of at most 19 digits with a power of ten that is exact must read back exactly."""
    return value == 0 or abs(int(Decimal(repr(abs(value))).adjusted())) <= 22


def same_double(stored, value):
    if exact_range(value):
        return stored == value and math.copysign(1, stored) == math.copysign(1, value)
    # Far from the exact powers of ten the last bit is left to the reader.
    return abs(stored - value) <= math.ulp(value)


@settings(max_examples=200, deadline=None)
@given(st.floats(allow_nan=False, allow_infinity=False))
def test_double_layout(value):
    out = roundtrip(json.dumps(value))
    stored = float(out)
    assert out == layout(stored)
    assert same_double(stored, value), (out, value)


@settings(max_examples=200, deadline=None)
@given(st.integers(min_value=-(2**63), max_value=2**64 - 1) | st.integers(2**64, 2**1000))
def test_integer_layout(value):
    out = roundtrip(str(value))
    if value < 2**64:
        assert out == str(value)
    else:
        stored = float(out)
        assert out == layout(stored)
        assert abs(stored - float(value)) <= math.ulp(float(value))


scalars = (
    st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1)
    | st.floats(allow_nan=False, allow_infinity=False) | st.text()
)
documents = st.recursive(
    scalars,
    lambda inner: st.lists(inner, max_size=5) | st.dictionaries(st.text(max_size=5), inner, max_size=5),
    max_leaves=30,
)


def same(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return same_double(a, b)
    if isinstance(a, list):
        return len(a) == len(b) and all(map(same, a, b))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    return a == b


def has_float(doc):
    if isinstance(doc, float):
        return True
    if isinstance(doc, list):
        return any(map(has_float, doc))
    if isinstance(doc, dict):
        return any(map(has_float, doc.values()))
    return False


@pytest.mark.native_only
@settings(max_examples=200, deadline=None)
@given(documents)
def test_differential(doc):
    out = roundtrip(json.dumps(doc))
    assert same(json.loads(out), doc)
    if not has_float(doc):
        expected = json.dumps(doc, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
        assert out == expected
        # Compact but unsorted text takes the compact check's path.
        assert roundtrip(json.dumps(doc, separators=(",", ":"), ensure_ascii=False)) == expected


# Texts Python's json module reads but the mesh's rules refuse, and the one
# where both keep the last value.
@pytest.mark.parametrize("text,message", [
    ("NaN", "expected value at line 1 column 1"),
    ("[-Infinity]", "invalid number at line 1 column 3"),
    ('"\\ud800"', "unexpected end of hex escape"),
    ('"\\udc00"', "invalid unicode code point"),
    ("[" * 128 + "]" * 128, "recursion limit exceeded at line 1 column 128"),
])
def test_where_python_json_and_the_mesh_disagree(mesh, text, message):
    json.loads(text)
    with pytest.raises(ValueError, match=re.escape(message)):
        mesh.state_set("k", text)


def test_duplicate_keys_keep_the_last_value_like_python(mesh):
    text = '{"a":1,"b":[1],"a":{"x":2}}'
    mesh.state_set("k", text)
    assert json.loads(mesh.state_get("k")) == json.loads(text)
    assert mesh.state_get("k") == '{"a":{"x":2},"b":[1]}'
