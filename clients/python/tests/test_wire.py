"""The encodings, byte for byte, without a server."""

import math
import struct

import pytest

import kavrel
from kavrel import wire

SCHEMA = kavrel.Schema("t", (kavrel.Column("a", "int", False), kavrel.Column("b", "text", True),
                             kavrel.Column("c", "bool", True), kavrel.Column("d", "float", True),
                             kavrel.Column("e", "uint", True), kavrel.Column("f", "binary", True),
                             kavrel.Column("g", "int", True), kavrel.Column("h", "int", True),
                             kavrel.Column("i", "int", True)))


def test_pack_row_layout():
    row = wire.pack_row(SCHEMA, {"a": -2, "b": "hé", "c": True, "d": 1.5, "f": b"\x00"})
    bitmap = bytes([0b11010000, 0b00000001])  # e, g, h (bits 4, 6, 7) and i (byte 1, bit 0)
    offsets = struct.pack("<9I", 0, 8, 15, 16, 0, 24, 0, 0, 0)
    data = (struct.pack("<q", -2) + struct.pack("<I", 3) + "hé".encode() + b"\x01"
            + struct.pack("<d", 1.5) + struct.pack("<I", 1) + b"\x00")
    assert row == bitmap + offsets + data


def test_unpack_row_round_trip_and_malformed_cells():
    values = {"a": 7, "b": "x", "c": False, "d": -0.25, "e": 2**64 - 1, "f": b"", "g": None,
              "h": 0, "i": -(2**63)}
    row = wire.pack_row(SCHEMA, values)
    assert wire.unpack_row(SCHEMA, row) == values
    # An offset pointing past the row reads as NULL for that column alone.
    head = 2 + 4 * 9
    broken = bytearray(row)
    struct.pack_into("<I", broken, 2, 10_000)  # column a
    got = wire.unpack_row(SCHEMA, bytes(broken))
    assert got["a"] is None and got["b"] == "x"
    # A text length past the end, or bytes that are not UTF-8, read as NULL too.
    b_at = head + struct.unpack_from("<I", row, 2 + 4)[0]
    long_text = bytearray(row)
    struct.pack_into("<I", long_text, b_at, 1000)
    assert wire.unpack_row(SCHEMA, bytes(long_text))["b"] is None
    bad_utf8 = bytearray(row)
    bad_utf8[b_at + 4] = 0xFF
    assert wire.unpack_row(SCHEMA, bytes(bad_utf8))["b"] is None
    # Too short for the bitmap and offsets: not a row.
    assert wire.unpack_row(SCHEMA, row[:head - 1]) is None


@pytest.mark.parametrize("values,message", [
    ({}, "column 'a' (int) is not nullable"),
    ({"a": True}, "'a' (int): True is not a whole number"),
    ({"a": 1.0}, "is not a whole number"),
    ({"a": 1, "e": -1}, "from 0 to 18446744073709551615"),
    ({"a": 1, "c": 2}, "is not a boolean"),
    ({"a": 1, "b": 5}, "is not a text"),
    ({"a": 1, "b": b"\xff"}, "not valid UTF-8"),
    ({"a": 1, "f": 3}, "is not bytes"),
    ({"a": 1, "z": 3}, "has no column 'z'"),
])
def test_pack_row_refusals(values, message):
    with pytest.raises(kavrel.SchemaError) as e:
        wire.pack_row(SCHEMA, values)
    assert message in str(e.value)


@pytest.mark.parametrize("function,args,payload", [
    (wire.encode_put, ("k", "v"), b"\x01\x00\x00\x00kv"),
    (wire.encode_path, ("a/bc",), b"\x02\x00\x01\x00a\x02\x00bc"),
    (wire.encode_path, (["a/b"],), b"\x01\x00\x03\x00a/b"),
    (wire.encode_query, ("t", 5, 2, ["x", "yz"]),
     b"\x01\x00t\x05\x00\x00\x00\x02\x00\x00\x00\x02\x00\x01\x00x\x02\x00yz"),
    (wire.encode_query, ("t",), b"\x01\x00t" + bytes(10)),
    (wire.encode_schema, ("t", ["a:int", ("b", "bool", False)]),
     b"\x01\x00t\x02\x00\x01\x00a\x00\x00\x01\x00b\x05\x00"),
])
def test_request_payloads(function, args, payload):
    assert function(*args) == payload


def test_schema_round_trip_and_table_list():
    enc = wire.encode_schema("t", SCHEMA.columns)
    assert wire.decode_schema(enc) == SCHEMA
    listing = struct.pack("<I", 2) + struct.pack("<I", len(enc)) + enc + struct.pack(
        "<I", len(enc)) + enc
    assert wire.decode_table_list(listing) == [SCHEMA, SCHEMA]
    with pytest.raises(kavrel.ConnectionError):
        wire.decode_table_list(listing[:-1])


def test_scan_listing():
    data = struct.pack("<I", 2) + b"\x01\x00a" + struct.pack("<I", 2) + b"xy" + b"\x02\x00bb" \
        + struct.pack("<I", 0)
    assert wire.decode_scan(data) == [(b"a", b"xy"), (b"bb", b"")]


def test_frame_limit():
    assert wire.frame(wire.PING, b"") == b"\x0e\x00\x00\x00\x00"
    assert len(wire.frame(wire.PUT, b"x" * wire.MAX_MESSAGE_SIZE)) == wire.MAX_MESSAGE_SIZE + 5
    with pytest.raises(kavrel.RequestTooLargeError):
        wire.frame(wire.PUT, b"x" * (wire.MAX_MESSAGE_SIZE + 1))


TOON_SCHEMA = kavrel.Schema("t", (kavrel.Column("i", "int"), kavrel.Column("s", "text"),
                                  kavrel.Column("f", "float"), kavrel.Column("b", "bool"),
                                  kavrel.Column("x", "binary")))


@pytest.mark.parametrize("text,rows", [
    ("[]", []),
    ("result[1]{i,s,f,b,x}:-3,hi,1.500000,T,b64:AAE=",
     [{"i": -3, "s": "hi", "f": 1.5, "b": True, "x": b"\x00\x01"}]),
    ('result[2]{i,s,f,b,x}:1,"a, \\"b\\"; c",-inf,F,b64:;2,\u2205,\u2205,\u2205,\u2205',
     [{"i": 1, "s": 'a, "b"; c', "f": -math.inf, "b": False, "x": b""},
      {"i": 2, "s": None, "f": None, "b": None, "x": None}]),
    ("result[1]{s,i}:,0", [{"s": "", "i": 0}]),
])
def test_parse_toon_typed(text, rows):
    assert wire.parse_toon(text, TOON_SCHEMA) == rows


def test_parse_toon_nan_and_untyped():
    assert math.isnan(wire.parse_toon("result[1]{f}:NaN", TOON_SCHEMA)[0]["f"])
    assert wire.parse_toon("result[2]{a,b}:1,T;x,\u2205") == [{"a": "1", "b": "T"},
                                                              {"a": "x", "b": None}]
    with pytest.raises(kavrel.ConnectionError):
        wire.parse_toon("result[3]{a}:1;2")
