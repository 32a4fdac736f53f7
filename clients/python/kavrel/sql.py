"""Client-side SQL over registered (typed) tables, answering as the standard library's sqlite3.

Statements are parsed with sqlglot, planned (every table, column and function is resolved
before any row is read) and run as the server's own requests:

  CREATE TABLE [IF NOT EXISTS] t (col TYPE [NOT NULL] [PRIMARY KEY], ...)
                                                  REGISTER_TABLE (+ the row key, a PUT)
  DROP TABLE [IF EXISTS] t                        DROP_TABLE inside the call's transaction
  INSERT INTO t [(cols)] VALUES (...), ... | SELECT ...
                                                  GET (is the key free?) + PUT
  SELECT ... FROM t [[LEFT] JOIN u ON ...] [WHERE] [GROUP BY] [HAVING] [ORDER BY] [LIMIT]
                                                  SCAN (or QUERY), then evaluated here
  UPDATE t SET col = expr, ... [WHERE ...]        SCAN + PUT (+ DELETE when the key moves)
  DELETE FROM t [WHERE ...]                       SCAN + DELETE

Row keys: a row lives under the key "t/ID" as a packed row. ID is the value of the table's row
key column: the column declared PRIMARY KEY (remembered under "__kavrel_sql/t/primary_key",
since the server's schema has no such notion), else the column named id. It is an int, uint or
text column; CREATE TABLE refuses a table without one. The key is the truth: SQL reads the key
column from the row's key, so two rows never share a key value, whatever wrote them, and keys
under "t/" that are not the canonical text of such a value (t/07 for an int key) are not rows.

Names: table and column names match case-insensitively, as in sqlite3 (an exact match first;
two names that differ only in case need the exact one). Tables and columns keep the case they
were created with.

Values follow sqlite3: no boolean type (comparisons and bool columns give 1 or 0), NULL
compares as unknown (three-valued AND/OR/NOT), NULLs sort first, numbers sort before texts and
texts before bytes, comparisons convert an operand by the other's column affinity, LIKE ignores
ASCII case, integer division truncates, division by zero is NULL, a text used as a number reads
its numeric prefix ('12abc' + 0 is 12).
"""

import functools
import math
import re
from fractions import Fraction

import sqlglot
from sqlglot import exp

from . import wire
from .errors import NotSupportedError, SchemaError, ServerError, SqlError

_META_PREFIX = "__kavrel_sql/"

# SQL types -> column types.
_TYPES = {
    "INT": "int", "BIGINT": "int", "SMALLINT": "int", "TINYINT": "int",
    "FLOAT": "float", "DOUBLE": "float", "DECIMAL": "float",
    "TEXT": "text", "VARCHAR": "text", "CHAR": "text", "NVARCHAR": "text", "NCHAR": "text",
    "VARBINARY": "binary", "BINARY": "binary",
    "BOOLEAN": "bool",
}
_SQL_TYPE_NAMES = {"int": "INTEGER", "uint": "INTEGER", "float": "REAL", "text": "TEXT",
                   "binary": "BLOB", "bool": "BOOLEAN"}
_KEY_TYPES = ("int", "uint", "text")
_AGGREGATES = (exp.Count, exp.Sum, exp.Min, exp.Max, exp.Avg)
_INT_MIN, _INT_MAX = -(2**63), 2**63 - 1


class SqlResult(list):
    """The rows of a statement as dicts (a list); ``columns`` names them in order (None for
    statements that answer no rows) and ``rowcount`` counts the rows written or read.
    ``tuples()`` gives the rows as tuples, which keep every column when two share a name."""

    def __init__(self, rows=(), columns=None, rowcount=None, tuples=None):
        if tuples is not None:
            rows = [dict(zip(columns, t)) for t in tuples]
        super().__init__(rows)
        self.columns = columns
        self.rowcount = len(self) if rowcount is None else rowcount
        self._tuples = tuples

    def tuples(self):
        if self._tuples is not None:
            return list(self._tuples)
        return [tuple(r[c] for c in self.columns) for r in self]


class Cursor:
    """A DB-API-like cursor over sql(): rows as tuples, ``description`` a 7-tuple per column
    (name first, the rest None), ``rowcount``. Not shared between threads."""

    def __init__(self, target):
        self._target = target
        self._rows = []
        self.description = None
        self.rowcount = -1
        self.arraysize = 1

    def execute(self, text, params=None):
        result = execute(self._target, text, params)
        self.rowcount = result.rowcount
        if result.columns is None:
            self.description, self._rows = None, []
        else:
            self.description = [(n, None, None, None, None, None, None) for n in result.columns]
            self._rows = result.tuples()
        return self

    def fetchone(self):
        return self._rows.pop(0) if self._rows else None

    def fetchmany(self, size=None):
        size = self.arraysize if size is None else size
        out, self._rows = self._rows[:size], self._rows[size:]
        return out

    def fetchall(self):
        out, self._rows = self._rows, []
        return out

    def __iter__(self):
        while self._rows:
            yield self._rows.pop(0)

    def close(self):
        self._rows = []


# ---- the text: tokens, statements, parameters ---------------------------------------------


class _Token:
    __slots__ = ("kind", "text", "start", "end", "depth")

    def __init__(self, kind, text, start, end, depth):
        self.kind, self.text, self.start, self.end, self.depth = kind, text, start, end, depth

    def word(self):
        return self.text.upper() if self.kind == "word" else None


_TWO_CHAR_OPS = ("<=", ">=", "<>", "!=", "==", "||", "::", "->")


def _lex(text):
    """The tokens of text (comments and blanks left out), each with its paren depth. Kinds:
    word, num, str ('...'), qid ("..." or `...`), blob (x'..'), mark (? or ?N), op, (, ), ;"""
    tokens, i, n, depth = [], 0, len(text), 0
    while i < n:
        c = text[i]
        if c.isspace():
            i += 1
        elif text.startswith("--", i):
            j = text.find("\n", i)
            i = n if j < 0 else j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            i = n if j < 0 else j + 2
        elif c in "'\"`" or (c in "xX" and text.startswith("'", i + 1)):
            quote_at = i + 1 if c in "xX" else i
            q = text[quote_at]
            j = quote_at + 1
            while True:
                if j >= n:
                    what = {"'": "string", '"': "quoted name", "`": "quoted name"}[q]
                    raise SqlError(f"cannot parse SQL: unterminated {what} starting at "
                                   f"{text[i:i + 20]!r}")
                if text[j] == q:
                    if j + 1 < n and text[j + 1] == q:
                        j += 2
                        continue
                    break
                j += 1
            kind = "blob" if quote_at != i else "str" if q == "'" else "qid"
            tokens.append(_Token(kind, text[i:j + 1], i, j + 1, depth))
            i = j + 1
        elif c.isalpha() or c == "_" or ord(c) > 127:
            j = i + 1
            while j < n and (text[j].isalnum() or text[j] in "_$" or ord(text[j]) > 127):
                j += 1
            tokens.append(_Token("word", text[i:j], i, j, depth))
            i = j
        elif c.isdigit() or (c == "." and i + 1 < n and text[i + 1].isdigit()):
            m = re.compile(r"(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?").match(text, i)
            tokens.append(_Token("num", m.group(0), i, m.end(), depth))
            i = m.end()
        elif c == "?":
            j = i + 1
            while j < n and text[j].isdigit():
                j += 1
            tokens.append(_Token("mark", text[i:j], i, j, depth))
            i = j
        elif c == "(":
            tokens.append(_Token("(", c, i, i + 1, depth))
            depth += 1
            i += 1
        elif c == ")":
            depth -= 1
            tokens.append(_Token(")", c, i, i + 1, depth))
            i += 1
        elif c == ";":
            tokens.append(_Token(";", c, i, i + 1, depth))
            i += 1
        else:
            size = 2 if text[i:i + 2] in _TWO_CHAR_OPS else 1
            tokens.append(_Token("op", text[i:i + size], i, i + size, depth))
            i += size
    return tokens


def split_statements(text):
    """The statements of text as lists of tokens (positions in text), split at the semicolons
    outside strings, quoted names and comments; empty statements are left out."""
    out, current = [], []
    for tok in _lex(text):
        if tok.kind == ";":
            if current:
                out.append(current)
            current = []
        else:
            current.append(tok)
    if current:
        out.append(current)
    return out


def statement_complete(text):
    """True when text ends with a semicolon outside strings, quoted names and comments (the
    shell's test for the end of a statement typed over several lines)."""
    try:
        tokens = _lex(text)
    except SqlError:
        return False  # an open string or quoted name goes on on the next line
    return bool(tokens) and tokens[-1].kind == ";"


_MARK = "kavrel_p"
_SELECT_END = {"FROM", "WHERE", "GROUP", "HAVING", "ORDER", "LIMIT", "UNION", "INTERSECT",
               "EXCEPT", "WINDOW"}


class _Prepared:
    """One statement: its parse tree and the texts of its result columns as written."""

    def __init__(self, node, item_texts):
        self.node = node
        self.item_texts = item_texts


def _item_texts(text, tokens):
    """The select list's items as written (for the result's column names, as sqlite3 names
    them), or None when the statement is not a SELECT."""
    if not tokens or tokens[0].word() != "SELECT":
        return None
    i = 1
    if i < len(tokens) and tokens[i].word() in ("DISTINCT", "ALL"):
        i += 1
    items, first = [], i
    while i <= len(tokens):
        tok = tokens[i] if i < len(tokens) else None
        end = tok is None or (tok.depth == 0 and tok.word() in _SELECT_END)
        if end or (tok.kind == "op" and tok.text == "," and tok.depth == 0):
            if i > first:
                items.append(text[tokens[first].start:tokens[i - 1].end])
            first = i + 1
            if end:
                break
        i += 1
    return items


def _rewrite(text, tokens, counter, blobs, limits):
    """The statement as sqlglot reads it: ? marks numbered in the order they are written,
    x'..' blobs as bound values, `names` as "names", and the expressions of LIMIT and OFFSET
    (which the parser takes only as plain numbers) as placeholders named in limits, their texts
    parsed apart; LIMIT a, b is LIMIT b OFFSET a."""

    def piece(tok):
        if tok.kind == "mark":
            if tok.text != "?":
                raise NotSupportedError(f"the parameter {tok.text} (use ? marks, bound in the "
                                        "order they are written)")
            name = f":{_MARK}{counter[0]}"
            counter[0] += 1
            return name
        if tok.kind == "blob":
            digits = tok.text[2:-1]
            if len(digits) % 2 or not re.fullmatch(r"[0-9a-fA-F]*", digits):
                raise SqlError(f"malformed blob literal {tok.text}")
            name = f":kavrel_b{len(blobs)}"
            blobs[name[1:]] = bytes.fromhex(digits)
            return name
        if tok.kind == "qid" and tok.text[0] == "`":
            return '"' + tok.text[1:-1].replace("``", "`").replace('"', '""') + '"'
        if tok.word() == "AUTOINCREMENT":
            raise NotSupportedError("AUTOINCREMENT (every row is given its key value)")
        return None

    def part(toks):
        return " ".join(piece(t) or text[t.start:t.end] for t in toks)

    def placeholder(toks):
        if not toks:
            raise SqlError("cannot parse SQL: LIMIT or OFFSET without a value")
        name = f"kavrel_l{len(limits)}"
        limits[name] = part(toks)
        return f":{name}"

    out, pos, i = [], tokens[0].start, 0
    while i < len(tokens):
        tok = tokens[i]
        if tok.word() == "LIMIT":
            sep = kind = None
            j = i + 1
            while j < len(tokens) and tokens[j].depth >= tok.depth:
                if tokens[j].depth == tok.depth and sep is None:
                    if tokens[j].word() == "OFFSET":
                        sep, kind = j, "offset"
                    elif tokens[j].kind == "op" and tokens[j].text == ",":
                        sep, kind = j, "comma"
                j += 1
            first = placeholder(tokens[i + 1:sep if sep is not None else j])
            clause = f"LIMIT {first}"
            if sep is not None:
                second = placeholder(tokens[sep + 1:j])
                clause = (f"LIMIT {second} OFFSET {first}" if kind == "comma"
                          else f"LIMIT {first} OFFSET {second}")
            out.append(text[pos:tok.start] + clause)
            pos = tokens[j - 1].end
            i = j
            continue
        replaced = piece(tok)
        if replaced is not None:
            out.append(text[pos:tok.start] + replaced)
            pos = tok.end
        i += 1
    out.append(text[pos:tokens[-1].end])
    return "".join(out)


def _parse(text):
    try:
        trees = [t for t in sqlglot.parse(text) if t is not None]
    except sqlglot.errors.ParseError as e:
        near = ""
        if e.errors:
            highlight = e.errors[0].get("highlight") or ""
            if highlight.startswith(f":{_MARK}"):
                highlight = "?"
            near = f'near "{highlight}": ' if highlight else "at the end: "
        raise SqlError(f"cannot parse SQL: {near}syntax error") from None
    except (sqlglot.errors.TokenError, RuntimeError, ValueError) as e:
        raise SqlError(f"cannot parse SQL: {e}") from None
    if len(trees) != 1:
        raise SqlError("cannot parse SQL: one statement expected")
    return trees[0]


def prepare(text, params=None):
    """([_Prepared], {bound name: value}) of the statements of text."""
    counter, blobs, prepared = [0], {}, []
    for tokens in split_statements(text):
        limits = {}
        node = _parse(_rewrite(text, tokens, counter, blobs, limits))
        for holder in list(node.find_all(exp.Placeholder)):
            if holder.this in limits:
                holder.replace(_parse("SELECT " + limits[holder.this]).expressions[0])
        prepared.append(_Prepared(node, _item_texts(text, tokens)))
    if not prepared:
        raise SqlError("no SQL statement given")
    params = list(params or ())
    for p in prepared:
        for node, *_ in p.node.walk():  # walk() yields (node, parent, key) tuples
            if isinstance(node, exp.Placeholder) and not (node.this or "").startswith(
                    (_MARK, "kavrel_b")):
                raise NotSupportedError(f"the parameter {node.sql()} (use ?)")
    if counter[0] != len(params):
        raise SqlError(f"the statement has {counter[0]} ? parameters, {len(params)} given")
    bound = {f"{_MARK}{k}": _sql_value(v) for k, v in enumerate(params)}
    bound.update(blobs)
    return prepared, bound


def _sql_value(v):
    """A parameter as an SQL value: bool is 1 or 0; bytes-like is bytes."""
    if v is None or isinstance(v, (str, bytes)):
        return v
    if isinstance(v, bool):
        return int(v)
    if isinstance(v, int):
        return v
    if isinstance(v, float):
        return None if math.isnan(v) else v
    if isinstance(v, (bytearray, memoryview)):
        return bytes(v)
    raise SqlError(f"a parameter of type {type(v).__name__} (use int, float, str, bytes or "
                   "None)")


# ---- values ------------------------------------------------------------------------------


def _rank(v):
    if isinstance(v, (int, float)):
        return 1
    if isinstance(v, str):
        return 2
    return 3


def _cmp(a, b):
    """sqlite3's ordering of two non-NULL values: numbers < texts < bytes."""
    ra, rb = _rank(a), _rank(b)
    if ra != rb:
        return -1 if ra < rb else 1
    return (a > b) - (a < b)


def _sort_cmp(a, b):
    """Like _cmp, with NULL before everything (NULLs first in ascending order)."""
    if a is None or b is None:
        return (a is not None) - (b is not None)
    return _cmp(a, b)


def _bool(b):
    return None if b is None else 1 if b else 0


_NUM_PREFIX = re.compile(r"\s*([-+]?(?:\d+(\.\d*)?|\.\d+)([eE][-+]?\d+)?)")
_NUM_WHOLE = re.compile(r"\s*[-+]?(?:\d+(\.\d*)?|\.\d+)([eE][-+]?\d+)?\s*")


def _as_str(v):
    return v.decode("utf-8", "replace") if isinstance(v, bytes) else v


def _numeric(v):
    """v as a number for arithmetic: texts read their numeric prefix (none: 0)."""
    if isinstance(v, (int, float)):
        return v
    m = _NUM_PREFIX.match(_as_str(v))
    if not m:
        return 0
    text = m.group(1)
    if m.group(2) is None and m.group(3) is None:
        n = int(text)
        return n if _INT_MIN <= n <= _INT_MAX else float(n)
    return float(text)


def _real(v):
    return float(_numeric(v))


_INT_PREFIX = re.compile(r"\s*([-+]?\d+)")


def _int(v):
    """CAST(v AS INTEGER): a text reads its integer prefix ('1e3' is 1, '-12.9x' is -12), a
    real is truncated, both kept within 64 bits."""
    if isinstance(v, (str, bytes)):
        m = _INT_PREFIX.match(_as_str(v))
        n = int(m.group(1)) if m else 0
        return max(_INT_MIN, min(_INT_MAX, n))
    if isinstance(v, float):
        if math.isnan(v):
            return 0
        if v >= 9.223372036854775807e18:
            return _INT_MAX
        if v <= -9.223372036854775808e18:
            return _INT_MIN
        return int(v)
    return v


def _numeric_affinity(v):
    """v as a NUMERIC column would keep it: a text that is a whole number becomes one."""
    if not isinstance(v, str) or not _NUM_WHOLE.fullmatch(v):
        return v
    text = v.strip()
    if re.fullmatch(r"[-+]?\d+", text):
        n = int(text)
        return n if _INT_MIN <= n <= _INT_MAX else float(n)
    f = float(text)
    if f.is_integer() and abs(f) < 2**63 and ("." in text or "e" in text.lower()):
        return f  # a real stays a real in comparisons; equal to the int anyway
    return f


def float_text(f):
    """A float as sqlite3 writes it as text: 15 significant digits, always a '.'
    (1.0e+300, 100.0, 0.1)."""
    if math.isinf(f):
        return "Inf" if f > 0 else "-Inf"
    s = "%.15g" % (f + 0.0)  # -0.0 is written 0.0
    if "e" in s:
        mantissa, exponent = s.split("e")
        if "." not in mantissa:
            mantissa += ".0"
        return f"{mantissa}e{exponent}"
    if "." not in s:
        s += ".0"
    return s


def _text(v):
    """v as a text (sqlite3's conversion)."""
    if isinstance(v, str):
        return v
    if isinstance(v, float):
        return float_text(v)
    if isinstance(v, bytes):
        return v.decode("utf-8", "replace")
    return str(v)


def _truth(v):
    """A condition's value as True, False or None (unknown)."""
    if v is None:
        return None
    if isinstance(v, (int, float)):
        return v != 0
    return _numeric(v) != 0


def _check_int(n):
    return n if _INT_MIN <= n <= _INT_MAX else float(n)


def _arith(op, a, b):
    if a is None or b is None:
        return None
    if op == "%":
        # On whole numbers (reals truncated, texts read as integers), with the dividend's sign;
        # real if either operand reads as a real.
        real = isinstance(_numeric(a), float) or isinstance(_numeric(b), float)
        ai, bi = _int(a), _int(b)
        if bi == 0:
            return None
        r = abs(ai) % abs(bi)
        r = r if ai >= 0 else -r
        return float(r) if real else r
    a, b = _numeric(a), _numeric(b)
    if isinstance(a, int) and isinstance(b, int):
        if op == "+":
            return _check_int(a + b)
        if op == "-":
            return _check_int(a - b)
        if op == "*":
            return _check_int(a * b)
        if b == 0:
            return None
        q = abs(a) // abs(b)
        return _check_int(q if (a >= 0) == (b >= 0) else -q)
    a, b = float(a), float(b)
    if op == "+":
        r = a + b
    elif op == "-":
        r = a - b
    elif op == "*":
        r = a * b
    elif b == 0:
        return None
    else:
        r = a / b
    return None if math.isnan(r) else r  # sqlite3 has no NaN: inf - inf is NULL


_ASCII_LOWER = {c: c + 32 for c in range(ord("A"), ord("Z") + 1)}
_ASCII_UPPER = {c: c - 32 for c in range(ord("a"), ord("z") + 1)}


def _like(value, pattern):
    if isinstance(value, bytes) or isinstance(pattern, bytes):
        return 0  # sqlite3 as built by Debian: LIKE never matches a blob
    if value is None or pattern is None:
        return None
    regex = "".join(".*" if c == "%" else "." if c == "_" else re.escape(c)
                    for c in _text(pattern).translate(_ASCII_LOWER))
    return _bool(re.fullmatch(regex, _text(value).translate(_ASCII_LOWER), re.S) is not None)


_AR_ROUND = (5.0e-01, 5.0e-02, 5.0e-03, 5.0e-04, 5.0e-05, 5.0e-06, 5.0e-07, 5.0e-08, 5.0e-09,
             5.0e-10)


def _round(x, n):
    """ROUND(x, n) as sqlite3 computes it: half away from zero, through its decimal printing
    (which adds a tiny fraction, so that 521.925 is 521.93 as written)."""
    r = _real(x)
    n = max(0, min(30, _int(n)))
    if not -4503599627370496.0 <= r <= 4503599627370496.0:
        return r
    if n == 0:
        return float(int(r + (-0.5 if r < 0 else 0.5)))
    negative = r < 0
    a = -r if negative else r
    value = Fraction(a)
    rounder = Fraction(_AR_ROUND[n % 10])
    for _ in range(n // 10):
        rounder *= Fraction(1e-10)
    exponent = math.frexp(a)[1] - 1 if a else -1023
    if n + int(exponent / 3) < 15:
        rounder += value * Fraction(3e-16)
    digits = str(math.floor((value + rounder) * 10**n))
    if len(digits) > 16:  # no more significant digits than sqlite3 prints
        digits = digits[:16] + "0" * (len(digits) - 16)
    result = float(Fraction(int(digits), 10**n))
    return -result if negative else result


def _cast(v, affinity):
    if v is None:
        return None
    if affinity == "integer":
        return _int(v)
    if affinity == "real":
        return _real(v)
    if affinity == "text":
        return _text(v)
    if affinity == "blob":
        return v if isinstance(v, bytes) else _text(v).encode("utf-8")
    # numeric: a number stays as it is; a text becomes an integer when it reads as a whole one
    if isinstance(v, (int, float)):
        return v
    n = _numeric(v)
    if isinstance(n, float) and n.is_integer() and abs(n) < 2**51:
        return int(n)  # as sqlite3 does, for the reals an integer holds exactly
    return n


def _cast_affinity(datatype):
    """sqlite3's affinity for a CAST's type name."""
    name = datatype.this.name if hasattr(datatype.this, "name") else str(datatype.this)
    if name in ("INT", "BIGINT", "SMALLINT", "TINYINT", "MEDIUMINT"):
        return "integer"
    if name in ("TEXT", "VARCHAR", "CHAR", "NVARCHAR", "NCHAR"):
        return "text"
    if name in ("FLOAT", "DOUBLE"):
        return "real"
    if name in ("VARBINARY", "BINARY"):
        return "blob"
    return "numeric"


def _column_affinity(column_type):
    return "text" if column_type == "text" else "blob" if column_type == "binary" else "numeric"


def _cmp_affinity(a1, a2):
    """The affinity a comparison applies (sqlite3CompareAffinity): of two columns, numeric if
    either is; of a column and an expression, the column's."""
    if a1 is not None and a2 is not None:
        return "numeric" if "numeric" in (a1, a2) or a1 in ("integer", "real") or a2 in (
            "integer", "real") else "blob"
    return a1 if a2 is None else a2


def _apply_cmp(affinity, v):
    if affinity in ("numeric", "integer", "real"):
        return _numeric_affinity(v)
    if affinity == "text" and isinstance(v, (int, float)):
        return _text(v)
    return v


def _coerce(column, value):
    """value made to fit the column as sqlite3's type affinity would, before packing."""
    if value is None:
        return None
    t = column.type
    if t == "text":
        return _text(value) if isinstance(value, (int, float)) else value
    if t == "binary":
        return value
    value = _numeric_affinity(value)
    if t in ("int", "uint") and isinstance(value, float) and value.is_integer():
        return int(value)
    if t == "float" and isinstance(value, int):
        return float(value)
    if t == "bool" and isinstance(value, int) and value in (0, 1):
        return bool(value)
    return value


def _describe(e):
    """How an error message names a construct outside the subset."""
    names = {
        exp.Window: "window functions (OVER)", exp.Exists: "EXISTS",
        exp.Union: "UNION", exp.Intersect: "INTERSECT", exp.Except: "EXCEPT",
        exp.Escape: "LIKE ... ESCAPE", exp.Glob: "GLOB", exp.ILike: "ILIKE",
        exp.RegexpLike: "REGEXP", exp.Collate: "COLLATE", exp.NullSafeEQ: "<=>",
        exp.BitwiseNot: "the operator ~", exp.BitwiseAnd: "the operator &",
        exp.BitwiseOr: "the operator |", exp.BitwiseXor: "the operator ^",
        exp.BitwiseLeftShift: "the operator <<", exp.BitwiseRightShift: "the operator >>",
        exp.Tuple: "row values (a, b)", exp.Array: "arrays", exp.Interval: "INTERVAL",
        exp.Star: "* here", exp.TryCast: "TRY_CAST",
    }
    for cls, text in names.items():
        if isinstance(e, cls):
            return text
    if isinstance(e, exp.Anonymous):
        return f"the function {e.name}()"
    if isinstance(e, exp.Func):
        return f"the function {e.sql_name()}()"
    text = e.sql()
    return f"the construct {text[:60]!r}"


# ---- tables ------------------------------------------------------------------------------


class _Table:
    """A table as a statement sees it: its schema and its row key column (None when it has no
    usable one). `fresh`: created by this call and not yet registered."""

    def __init__(self, schema, key, fresh=False, replaces=None):
        self.schema = schema
        self.name = schema.name
        self.key = key
        self.fresh = fresh
        self.replaces = replaces  # the schema a fresh table replaces (dropped by this call)


def _match(names, ident, what):
    """The one name of names that ident names: an exact match, else the only one equal
    ignoring case (quoted or not, as in sqlite3). None when none."""
    if ident in names:
        return ident
    low = ident.lower()
    found = [n for n in names if n.lower() == low]
    if len(found) > 1:
        raise SqlError(f"ambiguous {what} name: {ident} ({', '.join(sorted(found))}); write "
                       "the one meant with its exact case")
    return found[0] if found else None


def _key_column(schema, stored):
    """The row key column of a schema: the stored PRIMARY KEY name, else the id column."""
    if stored is not None:
        col = schema.column(stored)
        if col is not None and col.type in _KEY_TYPES:
            return col
    name = _match(schema.names(), "id", "column")
    col = schema.column(name) if name else None
    return col if col is not None and col.type in _KEY_TYPES else None


def _meta_key(table):
    return f"{_META_PREFIX}{table}/primary_key"


class _Catalog:
    """The tables one call sees: the server's, with the changes the call has made so far."""

    def __init__(self, target, client):
        self.target = target
        self.client = client
        # name -> _Table created (registered when the transaction commits), or None once
        # dropped; kept by the transaction, so that its later calls see them too.
        self.changed = getattr(target, "sql_tables", {})
        self.order = getattr(target, "sql_created", [])  # names created, in order
        self.cache = {}

    def _server_table(self, name):
        if name in self.cache:
            return self.cache[name]
        try:
            schema = self.client.describe(name)
        except ServerError as e:
            if not e.text.startswith("Table not found"):
                raise
            table = None
        else:
            stored = self.target.get(_meta_key(name))
            table = _Table(schema, _key_column(schema, stored.decode("utf-8") if stored
                                               else None))
        self.cache[name] = table
        return table

    def find(self, ident):
        """The _Table that ident names, or None."""
        if ident in self.changed:
            return self.changed[ident]
        table = self._server_table(ident)
        if table is not None:
            return table
        names = {n for n, t in self.changed.items() if t is not None}
        names.update(s.name for s in self.client.tables() if s.name not in self.changed)
        name = _match(names, ident, "table")
        if name is None:
            return None
        return self.changed[name] if name in self.changed else self._server_table(name)

    def create(self, table):
        self.changed[table.name] = table
        self.order.append(table.name)

    def drop(self, name):
        self.changed[name] = None


# ---- compiled expressions ----------------------------------------------------------------


class _Source:
    """A table of a FROM clause: its name for qualified columns, its table and where its
    columns start in a combined row."""

    def __init__(self, alias, table, offset):
        self.alias = alias
        self.table = table
        self.offset = offset
        self.names = table.schema.names() if table is not None else []
        self.types = [c.type for c in table.schema.columns] if table is not None else []


class _Scope:
    def __init__(self, sources):
        self.sources = sources
        self.width = sum(len(s.names) for s in sources)

    def source(self, ident):
        names = [s.alias for s in self.sources]
        name = _match(names, ident, "table")
        return None if name is None else self.sources[names.index(name)]

    def resolve(self, node):
        """(index in the combined row, column type, column name) of a column reference, None
        when no table has it; SqlError when it is ambiguous."""
        name = node.this.name
        qualifier = node.args.get("table")
        if node.args.get("db") or node.args.get("catalog"):
            raise NotSupportedError(f"qualified names with a database ({node.sql()})")
        if qualifier is not None:
            src = self.source(qualifier.name)
            col = None if src is None else _match(src.names, name, "column")
            if col is None:
                return None
            i = src.names.index(col)
            return src.offset + i, src.types[i], col
        found = []
        for src in self.sources:
            col = _match(src.names, name, "column")
            if col is not None:
                i = src.names.index(col)
                found.append((src.offset + i, src.types[i], col))
        if len(found) > 1:
            raise SqlError(f"ambiguous column name: {name}")
        return found[0] if found else None


class _Compiler:
    """Turns expressions into functions f(row, group) of a combined row (a tuple) and, in
    an aggregate query, the group's rows. Every name is resolved here, before any row is read,
    so that errors do not depend on the data."""

    def __init__(self, stmt, scope, aggregates=False, aliases=None):
        self.stmt = stmt
        self.scope = scope
        self.aggregates_ok = aggregates
        self.aliases = aliases or {}
        self.seen_aggregates = []
        self._expanding = set()

    def compile(self, e):
        """(f, affinity)."""
        return self._compile(e)

    def fn(self, e):
        return self._compile(e)[0]

    def _compile(self, e):
        c = self._compile
        if isinstance(e, exp.Paren):
            return c(e.this)
        if isinstance(e, exp.Literal):
            if e.is_string:
                v = e.this
            else:
                text = e.this
                v = float(text) if any(ch in text for ch in ".eE") else _check_int(int(text))
            return (lambda row, grp: v), None
        if isinstance(e, exp.Null):
            return (lambda row, grp: None), None
        if isinstance(e, exp.Boolean):
            v = 1 if e.this else 0
            return (lambda row, grp: v), None
        if isinstance(e, exp.Placeholder):
            v = self.stmt.bound[e.this]
            return (lambda row, grp: v), None
        if isinstance(e, exp.Column):
            return self._column(e)
        if isinstance(e, _AGGREGATES):
            return self._aggregate(e), None
        if isinstance(e, exp.Neg):
            f = self.fn(e.this)

            def neg(row, grp):
                v = f(row, grp)
                return None if v is None else _arith("-", 0, v)
            return neg, None
        if isinstance(e, exp.Not):
            if isinstance(e.this, exp.Is):
                f = self.fn(e.this)
                return (lambda row, grp: 1 - f(row, grp)), None
            f = self.fn(e.this)

            def not_(row, grp):
                v = _truth(f(row, grp))
                return None if v is None else 0 if v else 1
            return not_, None
        if isinstance(e, exp.And):
            fa, fb = self.fn(e.this), self.fn(e.expression)

            def and_(row, grp):
                a = _truth(fa(row, grp))
                if a is False:
                    return 0
                b = _truth(fb(row, grp))
                if b is False:
                    return 0
                return None if a is None or b is None else 1
            return and_, None
        if isinstance(e, exp.Or):
            fa, fb = self.fn(e.this), self.fn(e.expression)

            def or_(row, grp):
                a = _truth(fa(row, grp))
                if a is True:
                    return 1
                b = _truth(fb(row, grp))
                if b is True:
                    return 1
                return None if a is None or b is None else 0
            return or_, None
        comparisons = {exp.EQ: lambda r: r == 0, exp.NEQ: lambda r: r != 0,
                       exp.LT: lambda r: r < 0, exp.LTE: lambda r: r <= 0,
                       exp.GT: lambda r: r > 0, exp.GTE: lambda r: r >= 0}
        for cls, test in comparisons.items():
            if type(e) is cls:
                return self._comparison(e.this, e.expression, test), None
        arith = {exp.Add: "+", exp.Sub: "-", exp.Mul: "*", exp.Div: "/", exp.Mod: "%"}
        for cls, op in arith.items():
            if type(e) is cls:
                fa, fb = self.fn(e.this), self.fn(e.expression)
                return (lambda row, grp: _arith(op, fa(row, grp), fb(row, grp))), None
        if isinstance(e, exp.DPipe):
            fa, fb = self.fn(e.this), self.fn(e.expression)

            def concat(row, grp):
                a, b = fa(row, grp), fb(row, grp)
                return None if a is None or b is None else _text(a) + _text(b)
            return concat, None
        if isinstance(e, exp.Is):
            f = self.fn(e.this)
            other = e.expression
            if isinstance(other, exp.Null):
                return (lambda row, grp: 1 if f(row, grp) is None else 0), None
            if isinstance(other, exp.Boolean):
                want = bool(other.this)
                return (lambda row, grp: 1 if _truth(f(row, grp)) is want else 0), None
            raise NotSupportedError(f"IS {other.sql()} (IS NULL, IS TRUE and IS FALSE are)")
        if isinstance(e, exp.Like):
            fa, fb = self.fn(e.this), self.fn(e.expression)
            return (lambda row, grp: _like(fa(row, grp), fb(row, grp))), None
        if isinstance(e, exp.In):
            return self._in(e), None
        if isinstance(e, exp.Between):
            low = self._comparison(e.this, e.args["low"], lambda r: r >= 0)
            high = self._comparison(e.this, e.args["high"], lambda r: r <= 0)

            def between(row, grp):
                ge, le = low(row, grp), high(row, grp)
                if ge == 0 or le == 0:
                    return 0
                return None if ge is None or le is None else 1
            return between, None
        if isinstance(e, exp.Case):
            return self._case(e), None
        if isinstance(e, exp.Cast) and type(e) is exp.Cast:
            f = self.fn(e.this)
            affinity = _cast_affinity(e.args["to"])
            return (lambda row, grp: _cast(f(row, grp), affinity)), affinity
        if isinstance(e, (exp.Select, exp.Subquery)):
            return self._scalar_subquery(e), None
        if isinstance(e, exp.Func):
            return self._function(e), None
        raise NotSupportedError(_describe(e))

    # ---- pieces ----

    def _column(self, e):
        if isinstance(e.this, exp.Star):
            raise NotSupportedError(f"{e.sql()} here")
        found = self.scope.resolve(e)
        if found is None:
            name = e.name
            if not e.args.get("table") and name.lower() in self.aliases:
                if name.lower() in self._expanding:
                    raise SqlError(f"no such column: {name}")
                self._expanding.add(name.lower())
                try:
                    return self._compile(self.aliases[name.lower()])
                finally:
                    self._expanding.discard(name.lower())
            outer = getattr(self.stmt, "outer_scopes", ())
            for scope in outer:
                try:
                    if scope.resolve(e) is not None:
                        raise NotSupportedError(
                            f"correlated subqueries (the subquery names {e.sql()} of the outer "
                            "query)")
                except SqlError as err:
                    if isinstance(err, NotSupportedError):
                        raise
            raise SqlError(f"no such column: {e.sql()}")
        i, column_type, _ = found
        return (lambda row, grp: row[i]), _column_affinity(column_type)

    def _comparison(self, left, right, test):
        (fa, aa), (fb, ab) = self._compile(left), self._compile(right)
        affinity = _cmp_affinity(aa, ab)

        def compare(row, grp):
            a, b = fa(row, grp), fb(row, grp)
            if a is None or b is None:
                return None
            a, b = _apply_cmp(affinity, a), _apply_cmp(affinity, b)
            return 1 if test(_cmp(a, b)) else 0
        return compare

    def _in(self, e):
        f, aff = self._compile(e.this)
        query = e.args.get("query")
        if query is not None:
            sub = self._subquery(query)
            if len(sub.names) != 1:
                raise SqlError(f"sub-select returns {len(sub.names)} columns - expected 1")
            affinity = _cmp_affinity(sub.affinities[0], aff)
            cache = []

            def values():
                if not cache:
                    rows = sub.run()
                    cache.append(({_apply_cmp(affinity, r[0]) for r in rows
                                   if r[0] is not None}, any(r[0] is None for r in rows)))
                return cache[0]

            def in_query(row, grp):
                a = f(row, grp)
                found, has_null = values()
                if a is None:
                    return None if (found or has_null) else 0
                if _apply_cmp(affinity, a) in found:
                    return 1
                return None if has_null else 0
            return in_query
        items = [self.fn(x) for x in e.expressions]
        affinity = aff

        def in_list(row, grp):
            a = f(row, grp)
            if not items:
                return 0
            if a is None:
                return None
            a = _apply_cmp(affinity, a)
            unknown = False
            for item in items:
                b = item(row, grp)
                if b is None:
                    unknown = True
                elif _cmp(a, _apply_cmp(affinity, b)) == 0:
                    return 1
            return None if unknown else 0
        return in_list

    def _case(self, e):
        default = e.args.get("default")
        fd = self.fn(default) if default is not None else (lambda row, grp: None)
        operand = e.this
        branches = []
        for branch in e.args.get("ifs") or []:
            value = self.fn(branch.args["true"])
            if operand is not None:
                cond = self._comparison(operand, branch.this, lambda r: r == 0)
            else:
                cond = self.fn(branch.this)
            branches.append((cond, value))

        def case(row, grp):
            for cond, value in branches:
                if _truth(cond(row, grp)) is True:
                    return value(row, grp)
            return fd(row, grp)
        return case

    def _args(self, e, low, high):
        args = [a for a in [e.this, *(e.expressions or [])] if a is not None]
        for extra in ("expression", "decimals"):
            if e.args.get(extra) is not None:
                args.append(e.args[extra])
        if not low <= len(args) <= high:
            raise SqlError(f"wrong number of arguments to function {e.sql_name()}()")
        return [self.fn(a) for a in args]

    def _function(self, e):
        if isinstance(e, exp.Coalesce):
            fs = self._args(e, 2, 1000)

            def coalesce(row, grp):
                for f in fs:
                    v = f(row, grp)
                    if v is not None:
                        return v
                return None
            return coalesce
        one_arg = {
            exp.Upper: lambda v: _text(v).translate(_ASCII_UPPER),
            exp.Lower: lambda v: _text(v).translate(_ASCII_LOWER),
            exp.Length: _length,
            exp.Abs: _abs,
        }
        for cls, op in one_arg.items():
            if type(e) is cls:
                (f,) = self._args(e, 1, 1)
                return lambda row, grp: None if (v := f(row, grp)) is None else op(v)
        if type(e) is exp.Round:
            fs = self._args(e, 1, 2)

            def round_(row, grp):
                values = [f(row, grp) for f in fs]
                if any(v is None for v in values):
                    return None
                return _round(values[0], values[1] if len(values) > 1 else 0)
            return round_
        if isinstance(e, exp.Anonymous):
            name = e.name.upper()
            if name == "NULLIF":
                fa, fb = self._args_anon(e, 2, 2)

                def nullif(row, grp):  # compared as they are: a function's arguments have no
                    a, b = fa(row, grp), fb(row, grp)  # affinity
                    return None if a is not None and b is not None and _cmp(a, b) == 0 else a
                return nullif
            if name == "IIF":
                fc, fa, fb = self._args_anon(e, 3, 3)
                return lambda row, grp: fa(row, grp) if _truth(fc(row, grp)) else fb(row, grp)
            if name == "TYPEOF":
                (f,) = self._args_anon(e, 1, 1)
                return lambda row, grp: _typeof(f(row, grp))
        raise NotSupportedError(_describe(e))

    def _args_anon(self, e, low, high):
        if not low <= len(e.expressions) <= high:
            raise SqlError(f"wrong number of arguments to function {e.name.lower()}()")
        return [self.fn(a) for a in e.expressions]

    def _aggregate(self, e):
        if not self.aggregates_ok:
            raise SqlError(f"misuse of aggregate function {e.sql_name()}()")
        if e.args.get("expression") is not None or e.args.get("expressions"):
            raise NotSupportedError(f"{e.sql_name()}() with several arguments")
        arg = e.this
        distinct = isinstance(arg, exp.Distinct)
        if distinct:
            if len(arg.expressions) != 1:
                raise NotSupportedError(f"{e.sql_name()}(DISTINCT) over several expressions")
            arg = arg.expressions[0]
        inner = _Compiler(self.stmt, self.scope, aggregates=False, aliases=self.aliases)
        if isinstance(e, exp.Count) and (arg is None or isinstance(arg, exp.Star)):
            self.seen_aggregates.append(e)
            return lambda row, grp: len(grp)
        if arg is None:
            raise SqlError(f"wrong number of arguments to function {e.sql_name()}()")
        f = inner.fn(arg)
        self.seen_aggregates.append(e)
        kind = type(e)

        def aggregate(row, grp):
            values = [v for v in (f(r, None) for r in grp) if v is not None]
            if distinct:
                values = list(dict.fromkeys(values))
            if kind is exp.Count:
                return len(values)
            if not values:
                return None
            if kind is exp.Min:
                return min(values, key=functools.cmp_to_key(_cmp))
            if kind is exp.Max:
                return max(values, key=functools.cmp_to_key(_cmp))
            total, exact, integral = 0.0, 0, True
            for v in values:
                if isinstance(v, int):
                    total += v
                    if integral:
                        exact += v
                        if not _INT_MIN <= exact <= _INT_MAX:
                            if kind is exp.Sum:
                                raise SqlError("integer overflow")
                            integral = False
                else:
                    total += _real(v) if not isinstance(v, float) else v
                    integral = False
            if kind is exp.Avg:
                return total / len(values)
            return exact if integral else total
        return aggregate

    def _subquery(self, node):
        if isinstance(node, exp.Subquery):
            node = node.this
        if not isinstance(node, exp.Select):
            raise NotSupportedError(_describe(node))
        return self.stmt.plan_select(node, outer=[self.scope, *getattr(
            self.stmt, "outer_scopes", ())])

    def _scalar_subquery(self, e):
        sub = self._subquery(e)
        if len(sub.names) != 1:
            raise SqlError(f"sub-select returns {len(sub.names)} columns - expected 1")
        cache = []

        def scalar(row, grp):
            if not cache:
                rows = sub.run(limit_one=True)
                cache.append(rows[0][0] if rows else None)
            return cache[0]
        return scalar


def _abs(v):
    if isinstance(v, int):
        if v == _INT_MIN:
            raise SqlError("integer overflow")
        return abs(v)
    if isinstance(v, float):
        return abs(v)
    return abs(_real(v))


def _length(v):
    """LENGTH: a blob's bytes, else the characters of the text up to a NUL, as in sqlite3."""
    if isinstance(v, bytes):
        return len(v)
    return len(_text(v).split("\x00", 1)[0])


def _typeof(v):
    if v is None:
        return "null"
    if isinstance(v, int):
        return "integer"
    if isinstance(v, float):
        return "real"
    if isinstance(v, str):
        return "text"
    return "blob"


# ---- SELECT plans ------------------------------------------------------------------------


class _Plan:
    """A planned SELECT: output names and affinities, and run() answering tuples."""

    def __init__(self, names, affinities, run):
        self.names = names
        self.affinities = affinities
        self._run = run

    def run(self, limit_one=False):
        return self._run(limit_one)


_SELECT_ARGS = {"expressions", "from", "joins", "where", "group", "having", "order", "limit",
                "offset", "distinct", "hint"}
_SELECT_ARG_NAMES = {"with": "WITH (common table expressions)", "laterals": "LATERAL",
                     "into": "SELECT ... INTO", "windows": "WINDOW", "qualify": "QUALIFY",
                     "sample": "TABLESAMPLE", "settings": "SETTINGS", "lock": "FOR UPDATE",
                     "pivots": "PIVOT"}


# ---- statements --------------------------------------------------------------------------


class _Run:
    """The statements of one call, run on target (a Client, or a Transaction)."""

    def __init__(self, target, client, bound, catalog):
        self.target = target
        self.client = client
        self.bound = bound
        self.catalog = catalog
        self.outer_scopes = ()

    def run(self, prepared):
        s = prepared.node
        if isinstance(s, exp.Select):
            plan = self.plan_select(s, item_texts=prepared.item_texts, top=True)
            return SqlResult(columns=plan.names, tuples=plan.run())
        if isinstance(s, exp.Insert):
            return self.insert(s)
        if isinstance(s, exp.Update):
            return self.update(s)
        if isinstance(s, exp.Delete):
            return self.delete(s)
        if isinstance(s, exp.Create):
            return self.create(s)
        if isinstance(s, exp.Drop):
            return self.drop(s)
        if isinstance(s, (exp.Union, exp.Intersect, exp.Except)):
            raise NotSupportedError(_describe(s))
        if isinstance(s, (exp.Transaction, exp.Commit, exp.Rollback)):
            raise NotSupportedError(f"{s.key.upper()} in sql() (use client.transaction(); "
                                    "kavrel-sql knows BEGIN, COMMIT and ROLLBACK)")
        if isinstance(s, exp.Command):
            raise NotSupportedError(f"{str(s.this).upper()} statements")
        if isinstance(s, exp.AlterTable):
            raise NotSupportedError("ALTER TABLE")
        if isinstance(s, (exp.Condition, exp.Alias, exp.Column, exp.Literal)):
            first = s.sql().split()[0] if s.sql() else ""
            raise SqlError(f'cannot parse SQL: near "{first}": syntax error')
        raise NotSupportedError(f"{s.key.upper()} statements")

    # ---- tables ----

    def _table_name(self, node):
        if isinstance(node, exp.Schema):
            node = node.this
        if not isinstance(node, exp.Table):
            if isinstance(node, exp.Subquery):
                raise NotSupportedError("a subquery in FROM")
            raise NotSupportedError(_describe(node))
        if node.args.get("db") or node.args.get("catalog"):
            raise NotSupportedError(f"qualified table names ({node.sql()})")
        ident = node.this
        return ident.name

    def _table(self, node):
        name = self._table_name(node)
        table = self.catalog.find(name)
        if table is None:
            raise SqlError(f"no such table: {name}")
        return table

    def _rows(self, table):
        """[(key, row tuple)] of the table's rows, in key order. The key column's value is the
        row's key; keys that are not a canonical value of it are not rows."""
        schema = table.schema
        prefix = (table.name + "/").encode("utf-8")
        key = table.key
        key_index = schema.columns.index(key) if key is not None else None
        bools = [i for i, c in enumerate(schema.columns) if c.type == "bool"]
        names = schema.names()
        out = []
        for k, value in self.target.scan(prefix):
            ident = k[len(prefix):]
            if b"/" in ident:
                continue  # a path below a row, not a row
            row = wire.unpack_row(schema, value)
            if row is None:
                continue
            values = [row[n] for n in names]
            if key_index is not None:
                parsed = _parse_key(key, ident)
                if parsed is None:
                    continue
                values[key_index] = parsed
            for i in bools:
                if values[i] is not None:
                    values[i] = int(values[i])
            out.append((k, tuple(values)))
        return out

    # ---- SELECT ----

    def plan_select(self, s, outer=(), item_texts=None, top=False):
        for arg, value in s.args.items():
            if value and arg not in _SELECT_ARGS:
                raise NotSupportedError(_SELECT_ARG_NAMES.get(arg, f"SELECT with {arg.upper()}"))
        distinct = s.args.get("distinct")
        if distinct is not None and distinct.args.get("on") is not None:
            raise NotSupportedError("DISTINCT ON")
        saved_outer = self.outer_scopes
        self.outer_scopes = tuple(outer)
        try:
            return self._plan_select(s, item_texts, top)
        finally:
            self.outer_scopes = saved_outer

    def _plan_select(self, s, item_texts, top):
        # FROM and joins: the sources and how rows are combined.
        from_ = s.args.get("from")
        sources, joins = [], []
        offset = 0

        def add_source(node):
            nonlocal offset
            table = self._table(node)
            alias_node = node.args.get("alias")
            alias = (alias_node.this.name if alias_node is not None and alias_node.this is not None
                     else table.name)
            for other in sources:
                if other.alias.lower() == alias.lower():
                    raise SqlError(f"ambiguous table name {alias}: give each an alias")
            src = _Source(alias, table, offset)
            offset += len(src.names)
            sources.append(src)
            return src

        if from_ is not None:
            for node in from_.expressions:
                if sources:
                    joins.append(("cross", None))
                add_source(node)
        for j in s.args.get("joins") or []:
            side = (j.args.get("side") or "").upper()
            kind = (j.args.get("kind") or "").upper()
            if j.args.get("natural"):
                raise NotSupportedError("NATURAL JOIN")
            if j.args.get("using"):
                raise NotSupportedError("JOIN ... USING (write ON a.x = b.x)")
            if side in ("RIGHT", "FULL"):
                raise NotSupportedError(f"{side} JOIN")
            if kind not in ("", "INNER", "OUTER", "CROSS", "LEFT"):
                raise NotSupportedError(f"{kind} JOIN")
            add_source(j.this)
            on = j.args.get("on")
            if kind == "CROSS" and on is not None:
                raise SqlError("a CROSS JOIN has no ON clause")
            joins.append(("left" if side == "LEFT" else "inner", on))
        scope = _Scope(sources)

        # The result's items.
        items = []  # (name, expression)
        texts = item_texts if item_texts and len(item_texts) == len(s.expressions) else None
        for pos, item in enumerate(s.expressions):
            if isinstance(item, exp.Star):
                if not sources:
                    raise SqlError("no tables specified")
                for src in sources:
                    items += [(n, _col(src, n)) for n in src.names]
            elif isinstance(item, exp.Column) and isinstance(item.this, exp.Star):
                q = item.args.get("table")
                src = scope.source(q.name) if q else None
                if src is None:
                    raise SqlError(f"no such table: {q.name if q else '?'}")
                items += [(n, _col(src, n)) for n in src.names]
            elif isinstance(item, exp.Alias):
                items.append((item.alias, item.this))
            else:
                inner = item
                while isinstance(inner, exp.Paren):
                    inner = inner.this
                if isinstance(inner, exp.Column):
                    found = scope.resolve(inner)
                    name = found[2] if found else inner.name
                else:
                    name = texts[pos] if texts else item.sql()
                items.append((name, item))
        names = [n for n, _ in items]
        aliases = {}
        for item in s.expressions:
            if isinstance(item, exp.Alias):
                aliases.setdefault(item.alias.lower(), item.this)

        # Joins: each ON is compiled over the sources up to its table.
        join_plans = []
        for k, (kind, on) in enumerate(joins):
            right = sources[k + 1]
            left_scope = _Scope(sources[:k + 1])
            join_plans.append(self._plan_join(kind, on, left_scope, right))

        where = s.args.get("where")
        where_fn = (_Compiler(self, scope, aliases=aliases).fn(where.this)
                    if where is not None else None)

        compiler = _Compiler(self, scope, aggregates=True, aliases=aliases)
        compiled = [compiler.compile(e) for _, e in items]
        outputs = [f for f, _ in compiled]
        affinities = [a for _, a in compiled]

        group_by = s.args.get("group")
        group_fns = []
        if group_by is not None:
            gc = _Compiler(self, scope, aliases=aliases)
            for g in group_by.expressions:
                if isinstance(g, exp.Literal) and not g.is_string:
                    pos = int(g.this)
                    if not 1 <= pos <= len(items):
                        raise SqlError(f"GROUP BY term out of range - should be between 1 and "
                                       f"{len(items)}")
                    group_fns.append(gc.fn(items[pos - 1][1]))
                else:
                    group_fns.append(gc.fn(g))
        having = s.args.get("having")
        having_fn = compiler.fn(having.this) if having is not None else None

        order = s.args.get("order")
        order_keys = []
        if order is not None:
            for term in order.expressions:
                e = term.this
                desc = bool(term.args.get("desc"))
                if isinstance(e, exp.Literal) and not e.is_string:
                    pos = int(e.this)
                    if not 1 <= pos <= len(items):
                        raise SqlError(f"ORDER BY term out of range - should be between 1 and "
                                       f"{len(items)}")
                    order_keys.append(("out", pos - 1, desc))
                    continue
                if (isinstance(e, exp.Column) and not e.args.get("table")
                        and e.name.lower() in aliases):
                    # An output's AS name comes before the tables' columns, as in sqlite3.
                    match = [i for i, (n, _) in enumerate(items) if n.lower() == e.name.lower()]
                    if match:
                        order_keys.append(("out", match[0], desc))
                        continue
                order_keys.append(("expr", compiler.fn(e), desc))

        aggregated = bool(group_by is not None or having is not None
                          or compiler.seen_aggregates)
        picker = None
        if aggregated:
            extremes = [a for a in compiler.seen_aggregates if isinstance(a, (exp.Min, exp.Max))]
            if len(extremes) == 1 and len(compiler.seen_aggregates) >= 1:
                picker = extremes[0]
        limit_fn = offset_fn = None
        if s.args.get("limit") is not None:
            limit_fn = _Compiler(self, _Scope([])).fn(s.args["limit"].expression)
        if s.args.get("offset") is not None:
            offset_fn = _Compiler(self, _Scope([])).fn(s.args["offset"].expression)

        # A plain read of int, uint, bool or binary columns of one table, other than its key
        # column, is one QUERY (the server's TOON text is exact for these types).
        pushdown = None
        if (top and len(sources) == 1 and not aggregated and where is None and order is None
                and s.args.get("distinct") is None and not sources[0].table.fresh
                and sources[0].table.name not in self.catalog.changed):
            pushdown = self._pushdown_columns(sources[0], items)
        width = scope.width
        picker_fn = None
        if picker is not None:
            inner = _Compiler(self, scope, aliases=aliases)
            picker_fn = (inner.fn(picker.this), isinstance(picker, exp.Max))

        def run(limit_one):
            limit = _limit_value(limit_fn, "LIMIT") if limit_fn else None
            if limit is not None and limit < 0:
                limit = None
            skip = max(_limit_value(offset_fn, "OFFSET") if offset_fn else 0, 0)
            if limit_one:
                limit = 1 if limit is None else min(limit, 1)
            if pushdown is not None and (limit or 0) <= 0xFFFFFFFF and skip <= 0xFFFFFFFF:
                return self._run_pushdown(sources[0], pushdown, limit, skip)
            rows = self._source_rows(sources, join_plans, width)
            if where_fn is not None:
                rows = [r for r in rows if _truth(where_fn(r, None)) is True]
            if aggregated:
                contexts = self._groups(rows, group_fns, width, picker_fn)
                if having_fn is not None:
                    contexts = [c for c in contexts if _truth(having_fn(*c)) is True]
            else:
                contexts = [(r, None) for r in rows]
            out = [(ctx, tuple(f(*ctx) for f in outputs)) for ctx in contexts]
            if s.args.get("distinct"):
                seen, unique = set(), []
                for item in out:
                    if item[1] not in seen:
                        seen.add(item[1])
                        unique.append(item)
                out = unique
            if order_keys:
                out = _sort(out, order_keys)
            out = out[skip:] if limit is None else out[skip:skip + limit]
            return [values for _, values in out]

        return _Plan(names, affinities, run)

    def _plan_join(self, kind, on, left_scope, right):
        """(kind, right source, [(left key f, right key f)], residual f or None)."""
        if on is None:
            return (kind, right, [], None)
        both = _Scope(left_scope.sources + [right])
        conjuncts, stack = [], [on]
        while stack:
            e = stack.pop()
            while isinstance(e, exp.Paren):
                e = e.this
            if isinstance(e, exp.And):
                stack += [e.expression, e.this]
            else:
                conjuncts.append(e)
        keys, rest = [], []
        right_only = _Scope([right])
        for e in conjuncts:
            pair = None
            if type(e) is exp.EQ:
                sides = []
                for side in (e.this, e.expression):
                    if _only_columns_of(side, left_scope):
                        sides.append("left")
                    elif _only_columns_of(side, right_only):
                        sides.append("right")
                    else:
                        sides.append(None)
                if sorted(s for s in sides if s) == ["left", "right"]:
                    lnode, rnode = (e.this, e.expression) if sides[0] == "left" else (
                        e.expression, e.this)
                    lf, la = _Compiler(self, both).compile(lnode)
                    rf, ra = _Compiler(self, both).compile(rnode)
                    affinity = _cmp_affinity(la, ra)
                    pair = (lf, rf, affinity)
            if pair is not None:
                keys.append(pair)
            else:
                rest.append(e)
        residual = None
        if rest:
            fns = [_Compiler(self, both).fn(e) for e in rest]

            def residual(row, fns=fns):
                return all(_truth(f(row, None)) is True for f in fns)
        return (kind, right, keys, residual)

    def _source_rows(self, sources, join_plans, width):
        if not sources:
            return [()]
        rows = [r for _, r in self._rows(sources[0].table)]
        for kind, right, keys, residual in join_plans:
            right_rows = [r for _, r in self._rows(right.table)]
            empty = (None,) * len(right.names)
            pad = right.offset
            out = []
            if keys:
                index = {}
                for rr in right_rows:
                    full = (None,) * pad + rr
                    key = tuple(_apply_cmp(aff, rf(full, None)) for _, rf, aff in keys)
                    if any(v is None for v in key):
                        continue
                    index.setdefault(key, []).append(rr)
                for lr in rows:
                    key = tuple(_apply_cmp(aff, lf(lr, None)) for lf, _, aff in keys)
                    matched = False
                    if not any(v is None for v in key):
                        for rr in index.get(key, ()):
                            combined = lr + rr
                            if residual is None or residual(combined):
                                out.append(combined)
                                matched = True
                    if not matched and kind == "left":
                        out.append(lr + empty)
            else:
                for lr in rows:
                    matched = False
                    for rr in right_rows:
                        combined = lr + rr
                        if residual is None or residual(combined):
                            out.append(combined)
                            matched = True
                    if not matched and kind == "left":
                        out.append(lr + empty)
            rows = out
        return rows

    def _groups(self, rows, group_fns, width, picker_fn):
        """[(representative row, group rows)]: groups in the order of their keys; the
        representative row gives bare columns their values (the first row, or the row of
        the one MIN or MAX)."""
        if group_fns:
            keyed = {}
            for r in rows:
                keyed.setdefault(tuple(f(r, None) for f in group_fns), []).append(r)

            def key_cmp(a, b):
                for x, y in zip(a[0], b[0]):
                    c = _sort_cmp(x, y)
                    if c:
                        return c
                return 0
            groups = [g for _, g in sorted(keyed.items(), key=functools.cmp_to_key(key_cmp))]
        else:
            groups = [rows]
        out = []
        for g in groups:
            rep = g[0] if g else (None,) * width
            if picker_fn is not None and g:
                f, is_max = picker_fn
                best = None
                for r in g:
                    v = f(r, None)
                    if v is None:
                        continue
                    if best is None or (_cmp(v, best[0]) > 0 if is_max else _cmp(v, best[0]) < 0):
                        best = (v, r)
                if best is not None:
                    rep = best[1]
            out.append((rep, g))
        return out

    def _pushdown_columns(self, src, items):
        cols = []
        for _, e in items:
            if not isinstance(e, exp.Column) or e.args.get("table") or isinstance(
                    e.this, exp.Star):
                return None
            found = _Scope([src]).resolve(e)
            if found is None:
                return None
            name = found[2]
            col = src.table.schema.column(name)
            if col.type not in ("int", "uint", "bool", "binary") or col is src.table.key:
                return None
            cols.append(name)
        return cols or None

    def _run_pushdown(self, src, cols, limit, skip):
        if limit == 0:
            return []
        wanted = list(dict.fromkeys(cols))
        rows = self.target.query(src.table.name, limit or 0, skip, wanted)
        return [tuple(int(v) if isinstance(v, bool) else v for v in (r.get(c) for c in cols))
                for r in rows]

    # ---- CREATE TABLE, DROP TABLE ----

    def create(self, s):
        kind = (s.args.get("kind") or "").upper()
        if kind != "TABLE":
            raise NotSupportedError(f"CREATE {kind}")
        if s.args.get("expression") is not None:
            raise NotSupportedError("CREATE TABLE ... AS SELECT")
        if not isinstance(s.this, exp.Schema):
            raise SqlError("CREATE TABLE needs its columns")
        name = self._table_name(s.this)
        if not name or "/" in name or name.startswith("__kavrel"):
            raise SqlError(f"the table name {name!r} cannot be used: a name is not empty, has no "
                           "'/' and does not start with __kavrel")
        existing = self.catalog.find(name)
        if existing is not None:
            if s.args.get("exists"):
                return SqlResult([], None, 0)
            raise SqlError(f"table {existing.name} already exists")
        columns, key, seen = [], None, set()
        for d in s.this.expressions:
            if isinstance(d, exp.Anonymous) and d.name.upper() == "PRIMARY KEY":
                if key is not None or len(d.expressions) != 1:
                    raise NotSupportedError("a PRIMARY KEY of several columns")
                key = d.expressions[0].name
                continue
            if not isinstance(d, exp.ColumnDef):
                raise NotSupportedError(f"the table constraint {d.sql()}")
            col_type = d.args.get("kind")
            type_name = col_type.this.name if col_type is not None else None
            if type_name not in _TYPES:
                raise NotSupportedError(f"column type {col_type.sql() if col_type else '(none)'} "
                                        f"of column {d.name}")
            if d.name.lower() in seen:
                raise SqlError(f"duplicate column name: {d.name}")
            seen.add(d.name.lower())
            nullable = True
            for c in d.args.get("constraints") or []:
                ck = c.args.get("kind")
                if isinstance(ck, exp.NotNullColumnConstraint):
                    nullable = bool(ck.args.get("allow_null"))
                elif isinstance(ck, exp.PrimaryKeyColumnConstraint):
                    if key is not None:
                        raise NotSupportedError("a PRIMARY KEY of several columns")
                    key = d.name
                else:
                    raise NotSupportedError(f"the column constraint {c.sql()} of column "
                                            f"{d.name}")
            columns.append(wire.Column(d.name, _TYPES[type_name], nullable))
        if key is not None:
            match = _match([c.name for c in columns], key, "column")
            if match is None:
                raise SqlError(f"PRIMARY KEY names no column of the table: {key}")
            key_col = next(c for c in columns if c.name == match)
        else:
            match = _match([c.name for c in columns], "id", "column")
            key_col = next((c for c in columns if c.name == match), None)
        if key_col is None or key_col.type not in _KEY_TYPES:
            what = (f"its row key column {key_col.name} is {_SQL_TYPE_NAMES[key_col.type]}"
                    if key_col is not None else "it has no row key")
            raise SqlError(
                f"table {name} cannot be created: {what}. Declare one INTEGER or TEXT column "
                "PRIMARY KEY (for example: id INTEGER PRIMARY KEY), or name one such column id; "
                "its value is the row's key")
        # The key column is never NULL.
        columns = [wire.Column(c.name, c.type, False) if c is key_col else c for c in columns]
        key_col = next(c for c in columns if c.name == key_col.name)
        schema = wire.Schema(name, tuple(columns))
        replaces = name if name in self.catalog.changed else None
        self.catalog.create(_Table(schema, key_col, fresh=True, replaces=replaces))
        self.target.put(_meta_key(name), key_col.name)
        return SqlResult([], None, 0)

    def drop(self, s):
        kind = (s.args.get("kind") or "").upper()
        if kind != "TABLE":
            raise NotSupportedError(f"DROP {kind}")
        name = self._table_name(s.this)
        table = self.catalog.find(name)
        if table is None:
            if s.args.get("exists"):
                return SqlResult([], None, 0)
            raise SqlError(f"no such table: {name}")
        if table.fresh:
            # Created by this call: its rows are this transaction's own writes.
            for k, _ in self.target.scan((table.name + "/").encode("utf-8")):
                self.target.delete(k)
            self.catalog.order.remove(table.name)
            if table.replaces is None:
                self.catalog.changed.pop(table.name)  # as if never made
            else:
                self.catalog.drop(table.name)
        else:
            self.target.drop_table(table.name)
            self.catalog.drop(table.name)
        self.target.delete(_meta_key(table.name))
        return SqlResult([], None, 0)

    # ---- INSERT, UPDATE, DELETE ----

    def _write(self, table, row, old_key=None):
        """Writes row (a dict by column name) under its key; UNIQUE constraint failed when
        another row has it."""
        key_col = table.key
        if key_col is None:
            raise SqlError(f"table {table.name} has no row key: it needs an INTEGER or TEXT "
                           "column named id (or declared PRIMARY KEY when created through SQL)")
        key = _row_key(table, key_col, row.get(key_col.name))
        if key != old_key and self.target.get(key) != b"":
            raise SqlError(f"UNIQUE constraint failed: {table.name}.{key_col.name}")
        try:
            packed = wire.pack_row(table.schema, row)
        except SchemaError as e:
            raise SqlError(str(e)) from None
        if old_key is not None and key != old_key:
            self.target.delete(old_key)
        self.target.put(key, packed)

    def insert(self, s):
        for arg in ("exists", "overwrite", "partition", "alternative", "conflict", "returning"):
            if s.args.get(arg):
                raise NotSupportedError(f"INSERT with {arg.upper()}")
        target_node = s.this
        table = self._table(target_node)
        schema = table.schema
        if isinstance(target_node, exp.Schema) and target_node.expressions:
            names = []
            for ident in target_node.expressions:
                col = _match(schema.names(), ident.name, "column")
                if col is None:
                    raise SqlError(f"table {schema.name} has no column named {ident.name}")
                names.append(col)
        else:
            names = schema.names()
        source = s.expression
        if isinstance(source, exp.Values):
            compiler = _Compiler(self, _Scope([]))
            tuples = []
            for tup in source.expressions:
                items = tup.expressions if isinstance(tup, exp.Tuple) else [tup]
                if len(items) != len(names):
                    raise SqlError(f"{len(items)} values for {len(names)} columns")
                tuples.append([compiler.fn(e) for e in items])
            rows = [tuple(f((), None) for f in fns) for fns in tuples]
        elif isinstance(source, (exp.Select, exp.Subquery)):
            plan = self.plan_select(source.this if isinstance(source, exp.Subquery) else source)
            if len(plan.names) != len(names):
                raise SqlError(f"{len(plan.names)} values for {len(names)} columns")
            rows = plan.run()
        else:
            raise NotSupportedError(f"INSERT from {_describe(source)} (VALUES or SELECT)")
        if table.key is None:
            raise SqlError(f"table {table.name} has no row key: it needs an INTEGER or TEXT "
                           "column named id (or declared PRIMARY KEY when created through SQL)")
        for values in rows:
            row = {n: _coerce(schema.column(n), v) for n, v in zip(names, values)}
            self._write(table, row)
        return SqlResult([], None, len(rows))

    def _single_table(self, node):
        table = self._table(node)
        alias_node = node.args.get("alias")
        alias = alias_node.this.name if alias_node is not None and alias_node.this else table.name
        return table, _Scope([_Source(alias, table, 0)])

    def update(self, s):
        for arg in ("from", "order", "limit", "returning"):
            if s.args.get(arg):
                raise NotSupportedError(f"UPDATE ... {arg.upper()}")
        table, scope = self._single_table(s.this)
        schema = table.schema
        compiler = _Compiler(self, scope)
        sets = []
        for eq in s.expressions:
            if not isinstance(eq, exp.EQ) or not isinstance(eq.this, exp.Column):
                raise NotSupportedError(f"SET {eq.sql()}")
            found = scope.resolve(eq.this)
            if found is None:
                raise SqlError(f"no such column: {eq.this.name}")
            sets.append((found[2], compiler.fn(eq.expression)))
        where = s.args.get("where")
        where_fn = compiler.fn(where.this) if where is not None else None
        names = schema.names()
        count = 0
        for key, row in self._rows(table):
            if where_fn is not None and _truth(where_fn(row, None)) is not True:
                continue
            new = dict(zip(names, row))
            for name, f in sets:
                new[name] = _coerce(schema.column(name), f(row, None))
            self._write(table, new, old_key=key)
            count += 1
        return SqlResult([], None, count)

    def delete(self, s):
        for arg in ("using", "order", "limit", "returning"):
            if s.args.get(arg):
                raise NotSupportedError(f"DELETE ... {arg.upper()}")
        table, scope = self._single_table(s.this)
        where = s.args.get("where")
        where_fn = _Compiler(self, scope).fn(where.this) if where is not None else None
        count = 0
        for key, row in self._rows(table):
            if where_fn is None or _truth(where_fn(row, None)) is True:
                self.target.delete(key)
                count += 1
        return SqlResult([], None, count)


def _col(src, name):
    """A column reference to src's column name, as a tree."""
    return exp.Column(this=exp.Identifier(this=name, quoted=True),
                      table=exp.Identifier(this=src.alias, quoted=True))


def _only_columns_of(node, scope):
    """True when node names columns, all of them of scope's tables, and nothing that is not
    plain (no aggregate, no subquery)."""
    columns = list(node.find_all(exp.Column))
    if not columns or node.find(exp.Select, *_AGGREGATES) is not None:
        return False
    try:
        return all(scope.resolve(c) is not None for c in columns)
    except SqlError:
        return False


def _limit_value(f, what):
    v = _numeric_affinity(f((), None))
    if isinstance(v, float) and v.is_integer():
        v = int(v)
    if isinstance(v, bool) or not isinstance(v, int):
        raise SqlError(f"{what} must be a whole number, not {v!r}")
    return v


def _sort(out, order_keys):
    decorated = []
    for ctx, values in out:
        keys = [values[k] if kind == "out" else k(*ctx) for kind, k, _ in order_keys]
        decorated.append((keys, (ctx, values)))
    descs = [desc for _, _, desc in order_keys]

    def compare(a, b):
        for x, y, desc in zip(a[0], b[0], descs):
            c = _sort_cmp(x, y)
            if c:
                return -c if desc else c
        return 0
    decorated.sort(key=functools.cmp_to_key(compare))
    return [item for _, item in decorated]


_INT_KEY = re.compile(r"-?(0|[1-9][0-9]*)")


def _parse_key(key_col, ident):
    """The key column's value that a row key's last segment (bytes) stands for; None when it
    is not the canonical text of one."""
    try:
        text = ident.decode("utf-8")
    except UnicodeDecodeError:
        return None
    if key_col.type == "text":
        return text or None
    if not _INT_KEY.fullmatch(text):
        return None
    n = int(text)
    lo, hi = (_INT_MIN, _INT_MAX) if key_col.type == "int" else (0, 2**64 - 1)
    return n if lo <= n <= hi else None


def _row_key(table, key_col, v):
    if v is None:
        raise SqlError(f"NOT NULL constraint failed: {table.name}.{key_col.name} (the row key)")
    if isinstance(v, bool) or not isinstance(v, (int, str)) or (
            isinstance(v, str) and ("/" in v or v == "")):
        raise SqlError(f"the row key {table.name}.{key_col.name} must be a whole number "
                       f"or a non-empty text without '/', not {v!r}")
    if isinstance(v, int) and key_col.type != "text":
        lo, hi = (_INT_MIN, _INT_MAX) if key_col.type == "int" else (0, 2**64 - 1)
        if not lo <= v <= hi:
            raise SqlError(f"the row key {table.name}.{key_col.name} is out of range: {v}")
    return f"{table.name}/{v}".encode("utf-8")


# ---- a call ------------------------------------------------------------------------------


def is_write(statement):
    return isinstance(statement, (exp.Insert, exp.Update, exp.Delete, exp.Create, exp.Drop))


def execute(target, text, params=None):
    """Runs the statements of text on target (a Client or a Transaction) and answers the last
    one's SqlResult.

    From a Client, the statements run together in one transaction (ConflictError if it
    conflicts), except a single SELECT, which reads with one request (or, reading several
    tables, one snapshot). From a Transaction, they run inside it. Either way the tables that
    CREATE TABLE makes are registered when the transaction commits, just before, and dropped
    again if the commit fails, so a call that fails leaves nothing behind; DROP TABLE takes
    effect when it commits, and a table dropped and created again gets its new schema then."""
    prepared, bound = prepare(text, params)
    from .client import Client
    if isinstance(target, Client):
        if len(prepared) > 1 or not isinstance(prepared[0].node, exp.Select):
            return _run_owned(target, prepared, bound)
        if len(list(prepared[0].node.find_all(exp.Table))) > 1:
            # Several tables (or one read twice) are read from one snapshot; a transaction
            # that only reads is aborted at the end, with nothing to validate.
            tx = target.begin()
            try:
                run = _Run(tx, target, bound, _Catalog(tx, target))
                return run.run(prepared[0])
            finally:
                tx.abort_quietly()
        run = _Run(target, target, bound, _Catalog(target, target))
        return run.run(prepared[0])
    run = _Run(target, target.client, bound, _Catalog(target, target.client))
    result = None
    for p in prepared:
        result = run.run(p)
    return result


def _run_owned(client, prepared, bound):
    tx = client.begin()
    try:
        run = _Run(tx, client, bound, _Catalog(tx, client))
        result = None
        for p in prepared:
            result = run.run(p)
    except BaseException:
        tx.abort_quietly()
        raise
    if not any(is_write(p.node) for p in prepared):
        tx.abort_quietly()  # only reads: nothing to commit, nor to validate
        return result
    tx.commit()  # registers the tables the statements created
    return result
