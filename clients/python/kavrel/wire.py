"""The wire formats: frames, request payloads, answers, schemas, packed rows and TOON text.

Frame (both directions; integers little-endian): opcode u8, payload length u32, payload.
Request payloads are those of the server's README; this module encodes them byte for byte as
the C++ client does (clients/cpp/kavrel_client.cc, clients/cpp/row_packer.cc) and decodes the answers.

Packed row, for a table of n columns (integers little-endian, no alignment):
  null bitmap   ceil(n/8) bytes; bit i%8 (least significant first) of byte i/8 set: column i
                is NULL
  offset table  n u32 offsets into the data area (a NULL column's offset is 0 and unused)
  data area     the values in column order: int, uint and float 8 bytes (float as its IEEE 754
                bit pattern), bool 1 byte (0 or 1), text and binary a u32 length then the bytes
"""

import base64
import math
import struct
from dataclasses import dataclass

from .errors import ConnectionError, RequestTooLargeError, SchemaError, server_error

# The largest request payload the server accepts (a length equal to it is accepted).
MAX_MESSAGE_SIZE = 16 * 1024 * 1024
FRAME_HEADER_SIZE = 5

# Request opcodes.
PUT, GET, DELETE = 0x01, 0x02, 0x03
BEGIN_TXN, COMMIT_TXN, ABORT_TXN = 0x04, 0x05, 0x06
QUERY, REGISTER_TABLE, PUT_PATH, GET_PATH, SCAN = 0x07, 0x08, 0x09, 0x0A, 0x0B
CHECKPOINT, STATS, PING, EXECUTE_SQL = 0x0C, 0x0D, 0x0E, 0x0F
COMPACT, IN_TXN = 0x10, 0x11
LIST_TABLES, DESCRIBE_TABLE, DROP_TABLE = 0x12, 0x13, 0x14
BACKUP = 0x15
AUTH, USERS = 0x16, 0x17
# The requests IN_TXN may carry.
IN_TXN_OPCODES = frozenset({PUT, GET, DELETE, QUERY, PUT_PATH, GET_PATH, SCAN, DROP_TABLE})

# Answer codes.
OK, ERROR, VALUE, TXN_ID, STATS_JSON, PONG = 0x80, 0x81, 0x82, 0x83, 0x86, 0x87

# Column types, by wire code.
INT, UINT, FLOAT, TEXT, BINARY, BOOL = 0, 1, 2, 3, 4, 5
TYPE_NAMES = ("int", "uint", "float", "text", "binary", "bool")

# TOON's mark for NULL or an absent column: U+2205 EMPTY SET.
TOON_EMPTY_CELL = "\u2205"

_U16_MAX = 0xFFFF
_U32_MAX = 0xFFFFFFFF
_INT_MIN, _INT_MAX = -(2**63), 2**63 - 1
_UINT_MAX = 2**64 - 1


def as_bytes(value, what="value"):
    """bytes as they are, str as UTF-8; anything else is a TypeError."""
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value)
    if isinstance(value, str):
        return value.encode("utf-8")
    raise TypeError(f"{what} must be bytes or str, not {type(value).__name__}")


def frame(opcode, payload):
    """One request frame; RequestTooLargeError above the server's limit (nothing is sent)."""
    if len(payload) > MAX_MESSAGE_SIZE:
        raise RequestTooLargeError(
            f"the request is {len(payload)} bytes, above the server's limit of "
            f"{MAX_MESSAGE_SIZE} bytes (16 MiB) per request")
    return struct.pack("<BI", opcode, len(payload)) + payload


def _u16_text(text, what):
    data = as_bytes(text, what)
    if len(data) > _U16_MAX:
        raise ValueError(f"{what} is {len(data)} bytes, above 65535")
    return struct.pack("<H", len(data)) + data


def encode_put(key, value):
    key = as_bytes(key, "key")
    return struct.pack("<I", len(key)) + key + as_bytes(value)


def encode_path(segments):
    """segment count u16, then per segment a u16 length and the UTF-8 text."""
    if isinstance(segments, (str, bytes)):
        segments = as_bytes(segments, "path").decode("utf-8").split("/")
    segments = list(segments)
    if len(segments) > _U16_MAX:
        raise ValueError("a path has at most 65535 segments")
    return struct.pack("<H", len(segments)) + b"".join(
        _u16_text(s, "path segment") for s in segments)


def encode_auth(step, message, mechanism=None):
    """AUTH's payload: u8 step; step 1 the mechanism (u16 length, bytes) then the client-first
    message, step 2 the client-final message."""
    out = bytes([step])
    if step == 1:
        out += _u16_text(mechanism, "mechanism")
    return out + as_bytes(message, "message")


# USERS' actions and the roles by wire code.
USERS_ADD, USERS_PASSWD, USERS_DELETE, USERS_LIST = 1, 2, 3, 4
ROLES = {"read": 1, "write": 2, "admin": 3}


def encode_users(action, name=None, role=None, prefix="", verifier=None):
    """USERS' payload: u8 action, then each text a u16 length and its bytes: add name, role
    byte, prefix, verifier; passwd name, verifier; delete name; list nothing."""
    out = bytes([action])
    if action == USERS_LIST:
        return out
    out += _u16_text(name, "user name")
    if action == USERS_ADD:
        if role not in ROLES:
            raise ValueError(f"role must be one of {', '.join(ROLES)}, not {role!r}")
        out += bytes([ROLES[role]]) + _u16_text(prefix, "prefix")
    if action in (USERS_ADD, USERS_PASSWD):
        out += _u16_text(verifier, "verifier")
    return out


QUERY_EXACT_FLOATS = 0x01  # QUERY's optional flags byte: floats in their shortest exact text


def encode_query(path, limit=0, offset=0, columns=(), flags=0):
    """0 means no limit / no offset; flags (QUERY_EXACT_FLOATS) go in the optional last byte."""
    for name, n in (("limit", limit), ("offset", offset)):
        if not 0 <= n <= _U32_MAX:
            raise ValueError(f"{name} must be from 0 to {_U32_MAX}")
    columns = list(columns or ())
    return (_u16_text(path, "path") + struct.pack("<IIH", limit, offset, len(columns))
            + b"".join(_u16_text(c, "column name") for c in columns)
            + (bytes([flags]) if flags else b""))


@dataclass(frozen=True)
class Column:
    """A column of a registered table: a name, a type (one of TYPE_NAMES) and nullability."""
    name: str
    type: str
    nullable: bool = True

    @property
    def type_code(self):
        return TYPE_NAMES.index(self.type)


@dataclass(frozen=True)
class Schema:
    """A registered table: its name and columns in order."""
    name: str
    columns: tuple

    def column(self, name):
        for c in self.columns:
            if c.name == name:
                return c
        return None

    def names(self):
        return [c.name for c in self.columns]


def make_column(given):
    """A Column from a Column, a (name, type[, nullable]) tuple or "name:type[?]" text."""
    if isinstance(given, Column):
        col = given
    elif isinstance(given, str):
        name, _, type_name = given.partition(":")
        nullable = type_name.endswith("?")
        col = Column(name, type_name.rstrip("?"), nullable)
    else:
        col = Column(*given)
    if col.type not in TYPE_NAMES:
        raise ValueError(f"column {col.name!r}: unknown type {col.type!r} "
                         f"(one of {', '.join(TYPE_NAMES)})")
    return col


def encode_schema(name, columns):
    """REGISTER_TABLE's payload."""
    columns = [make_column(c) for c in columns]
    out = _u16_text(name, "table name") + struct.pack("<H", len(columns))
    for c in columns:
        out += _u16_text(c.name, "column name") + struct.pack("<BB", c.type_code, int(c.nullable))
    return out


class _Reader:
    def __init__(self, data):
        self.data = data
        self.pos = 0

    def take(self, n):
        if self.pos + n > len(self.data):
            raise ConnectionError("malformed answer from the server: truncated")
        out = self.data[self.pos:self.pos + n]
        self.pos += n
        return out

    def unpack(self, fmt):
        return struct.unpack(fmt, self.take(struct.calcsize(fmt)))

    def done(self):
        return self.pos == len(self.data)


def decode_schema(data):
    """A Schema from REGISTER_TABLE's payload encoding."""
    r = _Reader(data)
    name = r.take(r.unpack("<H")[0]).decode("utf-8")
    columns = []
    for _ in range(r.unpack("<H")[0]):
        col_name = r.take(r.unpack("<H")[0]).decode("utf-8")
        type_code, nullable = r.unpack("<BB")
        type_name = TYPE_NAMES[type_code] if type_code < len(TYPE_NAMES) else f"?{type_code}"
        columns.append(Column(col_name, type_name, bool(nullable)))
    return Schema(name, tuple(columns))


def decode_table_list(data):
    """LIST_TABLES' answer: count u32, then per table a u32 length and the schema."""
    r = _Reader(data)
    tables = []
    for _ in range(r.unpack("<I")[0]):
        tables.append(decode_schema(r.take(r.unpack("<I")[0])))
    return tables


def decode_scan(data):
    """The scan listing: count u32, then per entry key u16-prefixed, value u32-prefixed."""
    r = _Reader(data)
    entries = []
    for _ in range(r.unpack("<I")[0]):
        key = r.take(r.unpack("<H")[0])
        value = r.take(r.unpack("<I")[0])
        entries.append((key, value))
    return entries


# ---- packed rows -------------------------------------------------------------------------


def encode_cell(column, value):
    """The data-area bytes of one Python value for the column, or SchemaError naming it."""
    t = column.type

    def refuse(expected):
        return SchemaError(f"column {column.name!r} ({t}): {value!r} is not {expected}")

    if t in ("int", "uint"):
        if isinstance(value, bool) or not isinstance(value, int):
            raise refuse("a whole number")
        lo, hi = (_INT_MIN, _INT_MAX) if t == "int" else (0, _UINT_MAX)
        if not lo <= value <= hi:
            raise refuse(f"a whole number from {lo} to {hi}")
        return struct.pack("<q" if t == "int" else "<Q", value)
    if t == "float":
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise refuse("a number")
        return struct.pack("<d", float(value))
    if t == "bool":
        if not isinstance(value, bool) and value not in (0, 1):
            raise refuse("a boolean")
        return b"\x01" if value else b"\x00"
    if t == "text":
        if isinstance(value, (bytes, bytearray)):
            try:
                value = bytes(value).decode("utf-8")
            except UnicodeDecodeError:
                raise SchemaError(f"column {column.name!r} (text): the text is not valid UTF-8")
        if not isinstance(value, str):
            raise refuse("a text")
        data = value.encode("utf-8")
    elif t == "binary":
        if isinstance(value, str):
            value = value.encode("utf-8")
        if not isinstance(value, (bytes, bytearray, memoryview)):
            raise refuse("bytes")
        data = bytes(value)
    else:
        raise SchemaError(f"column {column.name!r}: unknown column type {t!r}")
    if len(data) > _U32_MAX:
        raise SchemaError(f"column {column.name!r} ({t}): the value is 4 GiB or longer")
    return struct.pack("<I", len(data)) + data


def pack_row(schema, values):
    """The packed row of a dict {column: value} (None is NULL, left-out columns are NULL).

    Raises SchemaError naming the column: one the table lacks, a value its type cannot hold,
    or a non-nullable column without a value.
    """
    for name in values:
        if schema.column(name) is None:
            raise SchemaError(f"table {schema.name!r} has no column {name!r}")
    n = len(schema.columns)
    bitmap = bytearray((n + 7) // 8)
    offsets = []
    data = bytearray()
    for i, col in enumerate(schema.columns):
        value = values.get(col.name)
        if value is None:
            if not col.nullable:
                raise SchemaError(
                    f"column {col.name!r} ({col.type}) is not nullable and needs a value")
            bitmap[i // 8] |= 1 << (i % 8)
            offsets.append(0)
            continue
        cell = encode_cell(col, value)
        offsets.append(len(data))
        data += cell
        if len(data) > _U32_MAX:
            raise SchemaError("the row is 4 GiB or longer")
    return bytes(bitmap) + struct.pack(f"<{n}I", *offsets) + bytes(data)


def _decode_cell(row, start, type_name):
    """One value at start, or None when it does not fit in the row or its text is not UTF-8."""
    if type_name == "bool":
        return row[start] != 0 if start + 1 <= len(row) else None
    if type_name in ("int", "uint", "float"):
        if start + 8 > len(row):
            return None
        return struct.unpack_from({"int": "<q", "uint": "<Q", "float": "<d"}[type_name],
                                  row, start)[0]
    if type_name in ("text", "binary"):
        if start + 4 > len(row):
            return None
        (length,) = struct.unpack_from("<I", row, start)
        if start + 4 + length > len(row):
            return None
        data = bytes(row[start + 4:start + 4 + length])
        if type_name == "binary":
            return data
        try:
            return data.decode("utf-8")
        except UnicodeDecodeError:
            return None
    return None


def unpack_row(schema, row):
    """A dict {column: value} of a packed row, decoded as the server's queries decode it: a
    malformed offset or length reads as NULL for that column alone. None when the row is too
    short to hold the bitmap and the offset table (the server's queries skip such rows)."""
    n = len(schema.columns)
    bitmap_len = (n + 7) // 8
    head = bitmap_len + 4 * n
    if len(row) < head:
        return None
    out = {}
    for i, col in enumerate(schema.columns):
        if row[i // 8] & (1 << (i % 8)):
            out[col.name] = None
            continue
        (offset,) = struct.unpack_from("<I", row, bitmap_len + 4 * i)
        out[col.name] = _decode_cell(row, head + offset, col.type)
    return out


# ---- TOON text ---------------------------------------------------------------------------


def _split_cells(body):
    """The rows of a TOON body as lists of raw cells. A cell starting with '"' is quoted up to
    the next '"' not preceded by a backslash; inside it, \\" is a quote."""
    rows, row, i = [], [], 0
    n = len(body)
    while True:
        if i < n and body[i] == '"':
            j = i + 1
            text = []
            while j < n and body[j] != '"':
                if body[j] == "\\" and j + 1 < n and body[j + 1] == '"':
                    j += 1
                text.append(body[j])
                j += 1
            row.append(("quoted", "".join(text)))
            i = j + 1
        else:
            j = i
            while j < n and body[j] not in ",;":
                j += 1
            row.append(("raw", body[i:j]))
            i = j
        if i >= n:
            rows.append(row)
            return rows
        if body[i] == ";":
            rows.append(row)
            row = []
        i += 1


def _typed_cell(kind, text, type_name):
    if kind == "raw" and text == TOON_EMPTY_CELL:
        return None
    if kind == "quoted" or type_name in (None, "text"):
        return text
    if type_name in ("int", "uint"):
        return int(text)
    if type_name == "float":
        return {"NaN": math.nan, "inf": math.inf, "-inf": -math.inf}.get(text) or float(text)
    if type_name == "bool":
        return text == "T"
    if type_name == "binary":
        return base64.b64decode(text[4:]) if text.startswith("b64:") else text
    return text


def parse_toon(text, schema=None):
    """The rows of a TOON answer as dicts; with a schema, cells are typed from their columns
    (a float from the server's text of it), otherwise they are texts. NULL and absent cells are
    None.

    TOON does not escape backslashes nor quote texts without "," or ";", so a text that starts
    with a quote or is exactly "∅" cannot be told apart; read such data with scan().
    """
    if text == "[]":
        return []
    if not text.startswith("result["):
        raise ConnectionError(f"malformed TOON answer: {text[:40]!r}")
    open_brace = text.index("{")
    close = text.index("}:", open_brace)
    names = text[open_brace + 1:close].split(",")
    count = int(text[len("result["):text.index("]")])
    body = text[close + 2:]
    types = {}
    if schema is not None:
        types = {c.name: c.type for c in schema.columns}
    rows = []
    for cells in _split_cells(body):
        if len(cells) != len(names):
            raise ConnectionError(f"malformed TOON answer: a row of {len(cells)} cells for "
                                  f"{len(names)} columns")
        rows.append({name: _typed_cell(kind, cell, types.get(name, None if schema is None
                                                              else "text"))
                     for name, (kind, cell) in zip(names, cells)})
    if len(rows) != count:
        raise ConnectionError(f"malformed TOON answer: {len(rows)} rows, announced {count}")
    return rows


def expect(answer, *codes):
    """The payload of an answer whose code is one of codes; ServerError for ERROR."""
    code, payload = answer
    if code == ERROR:
        raise server_error(payload.decode("utf-8", "replace"))
    if code not in codes:
        raise ConnectionError(f"unexpected answer code 0x{code:02x}")
    return payload

