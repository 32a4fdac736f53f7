"""Client-side SQL over registered (typed) tables.

Statements are parsed with sqlglot and run as the server's own requests:

  CREATE TABLE t (col TYPE [NOT NULL] [PRIMARY KEY], ...)   REGISTER_TABLE
  INSERT INTO t [(cols)] VALUES (...), ...                  GET (is the row new?) + PUT
  SELECT ... FROM t [WHERE] [GROUP BY] [HAVING] [ORDER BY] [LIMIT [OFFSET]]
                                                            QUERY or SCAN, then evaluated here
  UPDATE t SET col = expr, ... [WHERE ...]                  SCAN + PUT (+ DELETE if the key moves)
  DELETE FROM t [WHERE ...]                                 SCAN + DELETE

Rows live under keys "t/ID" as packed rows. ID is the value of the table's row key column: the
column declared PRIMARY KEY when the table was created through SQL (remembered under the key
"__kavrel_sql/t/primary_key", since the server's schema has no such notion), else the column
named "id". Its value must be an int, uint or text without "/"; it is never NULL, and a second
row with the same ID is refused.

Values follow the rules of the standard library's sqlite3 module: NULL compares as unknown
(three-valued AND/OR/NOT), NULLs sort first, numbers sort before texts and texts before bytes,
comparisons convert an operand by the other's column affinity, LIKE ignores ASCII case, integer
division truncates, division by zero is NULL.
"""

import functools
import math
import re

import sqlglot
from sqlglot import exp

from . import wire
from .errors import NotSupportedError, SchemaError, SqlError

_META_PREFIX = "__kavrel_sql/"

# SQL types -> column types.
_TYPES = {
    "INT": "int", "BIGINT": "int", "SMALLINT": "int", "TINYINT": "int",
    "FLOAT": "float", "DOUBLE": "float", "DECIMAL": "float",
    "TEXT": "text", "VARCHAR": "text", "CHAR": "text", "NVARCHAR": "text", "NCHAR": "text",
    "VARBINARY": "binary", "BINARY": "binary",
    "BOOLEAN": "bool",
}
_AGGREGATES = (exp.Count, exp.Sum, exp.Min, exp.Max, exp.Avg)


class SqlResult(list):
    """The rows of a statement as dicts (a list); ``columns`` names them in order (None for
    statements that answer no rows) and ``rowcount`` counts the rows written or read."""

    def __init__(self, rows=(), columns=None, rowcount=None):
        super().__init__(rows)
        self.columns = columns
        self.rowcount = len(self) if rowcount is None else rowcount

    def tuples(self):
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


def is_write(statement):
    return isinstance(statement, (exp.Insert, exp.Update, exp.Delete))


def execute(target, text, params=None):
    """Runs the statements of text on target (a Client or a Transaction) and answers the last
    one's SqlResult. From a Client, the statements run together in one transaction
    (ConflictError if it conflicts), except a single SELECT: it reads with one request, which
    the server runs in a transaction of its own. CREATE TABLE registers at once, even if the transaction
    is later aborted."""
    text, count = _number_marks(text)
    try:
        statements = [s for s in sqlglot.parse(text) if s is not None]
    except sqlglot.errors.ParseError as e:
        # The parser underlines the place with terminal escapes; keep the plain text.
        raise SqlError("cannot parse SQL: " + re.sub(r"\x1b\[[0-9;]*m", "", str(e))) from None
    if not statements:
        raise SqlError("no SQL statement given")
    bound = _bind(statements, params, count)
    from .client import Client
    data = [s for s in statements if is_write(s) or isinstance(s, exp.Select)]
    if isinstance(target, Client) and (len(data) > 1 or any(is_write(s) for s in data)):
        with target.transaction() as tx:
            return _run_all(tx, statements, bound)
    return _run_all(target, statements, bound)


def _run_all(target, statements, bound):
    result = None
    for s in statements:
        result = _Statement(target, bound).run(s)
    return result


_MARK = "kavrel_p"


def _number_marks(text):
    """text with its k-th ? (outside strings, quoted names and comments) written :kavrel_pK,
    so that parameters bind in the order they are written whatever the parse tree's order."""
    out, i, k, n = [], 0, 0, len(text)
    while i < n:
        c = text[i]
        if c in "'\"`":
            j = i + 1
            while j < n and not (text[j] == c and (j + 1 >= n or text[j + 1] != c)):
                j += 2 if text[j] == c else 1
            out.append(text[i:j + 1])
            i = j + 1
        elif text.startswith("--", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            out.append(text[i:j])
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append(text[i:j])
            i = j
        elif c == "?":
            out.append(f":{_MARK}{k}")
            k += 1
            i += 1
        else:
            out.append(c)
            i += 1
    return "".join(out), k


def _bind(statements, params, count):
    """{placeholder name: value}; ? marks bind in the order they are written."""
    params = list(params or ())
    for s in statements:
        for node, *_ in s.walk():  # walk() yields (node, parent, key) tuples
            if isinstance(node, exp.Placeholder) and not (node.this or "").startswith(_MARK):
                raise NotSupportedError(f"the parameter {node.sql()} (use ?)")
    if count != len(params):
        raise SqlError(f"the statement has {count} ? parameters, {len(params)} given")
    return {f"{_MARK}{k}": v for k, v in enumerate(params)}


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


def _truth(v):
    """A WHERE value as True, False or None (unknown)."""
    if v is None:
        return None
    if isinstance(v, (int, float)):
        return v != 0
    if isinstance(v, str):
        m = re.match(r"\s*[-+]?(\d+(\.\d*)?|\.\d+)([eE][-+]?\d+)?", v)
        return bool(m) and float(m.group(0)) != 0
    return False


def _to_text(v):
    if isinstance(v, bool):
        return str(int(v))
    if isinstance(v, float):
        return repr(v)
    if isinstance(v, bytes):
        return v.decode("utf-8", "replace")
    return str(v)


_ASCII_LOWER = {c: c + 32 for c in range(ord("A"), ord("Z") + 1)}


def _like(value, pattern):
    if value is None or pattern is None:
        return None
    regex = "".join(".*" if c == "%" else "." if c == "_" else re.escape(c)
                    for c in _to_text(pattern).translate(_ASCII_LOWER))
    return re.fullmatch(regex, _to_text(value).translate(_ASCII_LOWER), re.S) is not None


def _arith(op, a, b):
    if a is None or b is None:
        return None
    if not all(isinstance(v, (int, float)) for v in (a, b)):
        raise NotSupportedError(f"arithmetic on {type(a).__name__} and {type(b).__name__}")
    a = int(a) if isinstance(a, bool) else a
    b = int(b) if isinstance(b, bool) else b
    if op == "+":
        return a + b
    if op == "-":
        return a - b
    if op == "*":
        return a * b
    if b == 0:
        return None
    if op == "/":
        if isinstance(a, int) and isinstance(b, int):
            q = abs(a) // abs(b)
            return q if (a >= 0) == (b >= 0) else -q
        return a / b
    # %: the sign of the dividend, on whole numbers.
    a, b = int(a), int(b)
    if b == 0:
        return None
    r = abs(a) % abs(b)
    return r if a >= 0 else -r


def _with_affinity(affinity, v):
    """v as a column of that affinity would store it (sqlite3's rules, for comparisons)."""
    if affinity == "numeric" and isinstance(v, str):
        text = v.strip()
        if re.fullmatch(r"[-+]?\d+", text):
            return int(text)
        if re.fullmatch(r"[-+]?(\d+(\.\d*)?|\.\d+)([eE][-+]?\d+)?", text):
            return float(text)
        return v
    if affinity == "text" and isinstance(v, (int, float)):
        return _to_text(v)
    return v


def _coerce(column, value):
    """value made to fit the column as sqlite3's type affinity would, before packing."""
    if value is None:
        return None
    t = column.type
    value = _with_affinity("text" if t == "text" else None if t == "binary" else "numeric",
                           value)
    if t in ("int", "uint") and isinstance(value, float) and value.is_integer():
        return int(value)
    if t in ("int", "uint") and isinstance(value, bool):
        return int(value)
    if t == "float" and isinstance(value, int) and not isinstance(value, bool):
        return float(value)
    if t == "bool" and isinstance(value, int) and value in (0, 1):
        return bool(value)
    return value


# ---- one statement -----------------------------------------------------------------------


class _Group:
    """The rows of one GROUP BY group (all rows when there is no GROUP BY)."""

    def __init__(self, rows):
        self.rows = rows


class _Statement:
    def __init__(self, target, bound):
        self.target = target
        self.bound = bound

    def run(self, s):
        if isinstance(s, exp.Create):
            return self.create(s)
        if isinstance(s, exp.Insert):
            return self.insert(s)
        if isinstance(s, exp.Select):
            return self.select(s)
        if isinstance(s, exp.Update):
            return self.update(s)
        if isinstance(s, exp.Delete):
            return self.delete(s)
        raise NotSupportedError(f"{s.key.upper()} statements are not supported")

    # ---- tables ----

    def _client(self):
        return getattr(self.target, "client", self.target)

    def _table_name(self, node):
        if isinstance(node, exp.Schema):
            node = node.this
        if not isinstance(node, exp.Table):
            raise NotSupportedError(f"{node.key.upper()} as a table")
        if node.args.get("db") or node.args.get("catalog"):
            raise NotSupportedError("qualified table names")
        return node.name

    def _schema(self, table):
        schema = self.target._schema_for(table)
        if schema is None:
            raise SqlError(f"no such table: {table}")
        return schema

    def _key_column(self, schema):
        stored = self.target.get(f"{_META_PREFIX}{schema.name}/primary_key")
        name = stored.decode("utf-8") if stored else "id"
        col = schema.column(name)
        if col is None:
            raise SqlError(f"table {schema.name} has no row key: declare a PRIMARY KEY column "
                           "or give it an id column")
        return col

    def _rows(self, schema):
        """[(key, row dict)] of the table's packed rows, in key order."""
        prefix = schema.name + "/"
        out = []
        for key, value in self.target.scan(prefix):
            if b"/" in key[len(prefix.encode()):]:
                continue  # a path below a row, not a row
            row = wire.unpack_row(schema, value)
            if row is not None:
                out.append((key, row))
        return out

    # ---- expressions ----

    def eval(self, e, row, group=None):
        """The value of e for a row (a dict) or, with aggregates, for a group."""
        if isinstance(e, exp.Paren):
            return self.eval(e.this, row, group)
        if isinstance(e, exp.Literal):
            if e.is_string:
                return e.this
            text = e.this
            return float(text) if any(c in text for c in ".eE") else int(text)
        if isinstance(e, exp.Null):
            return None
        if isinstance(e, exp.Boolean):
            return bool(e.this)
        if isinstance(e, exp.Placeholder):
            return self.bound[e.this]
        if isinstance(e, exp.Column):
            if e.table and e.table != self.table:
                raise SqlError(f"no such column: {e.sql()}")
            if e.name not in self.columns:
                raise SqlError(f"no such column: {e.name}")
            if group is not None:
                return group.rows[0][e.name] if group.rows else None
            return row[e.name]
        if isinstance(e, _AGGREGATES):
            if group is None:
                raise SqlError(f"misuse of aggregate function {e.sql()}")
            return self.aggregate(e, group)
        if isinstance(e, exp.Neg):
            v = self.eval(e.this, row, group)
            return None if v is None else _arith("-", 0, v)
        if isinstance(e, exp.Not):
            v = _truth(self.eval(e.this, row, group))
            return None if v is None else not v
        if isinstance(e, exp.And):
            a = _truth(self.eval(e.this, row, group))
            if a is False:
                return False
            b = _truth(self.eval(e.expression, row, group))
            if b is False:
                return False
            return None if a is None or b is None else True
        if isinstance(e, exp.Or):
            a = _truth(self.eval(e.this, row, group))
            if a is True:
                return True
            b = _truth(self.eval(e.expression, row, group))
            if b is True:
                return True
            return None if a is None or b is None else False
        comparisons = {exp.EQ: lambda c: c == 0, exp.NEQ: lambda c: c != 0,
                       exp.LT: lambda c: c < 0, exp.LTE: lambda c: c <= 0,
                       exp.GT: lambda c: c > 0, exp.GTE: lambda c: c >= 0}
        for cls, test in comparisons.items():
            if type(e) is cls:
                a, b = self._compared(e.this, e.expression, row, group)
                return None if a is None or b is None else test(_cmp(a, b))
        arith = {exp.Add: "+", exp.Sub: "-", exp.Mul: "*", exp.Div: "/", exp.Mod: "%"}
        if type(e) in arith:
            return _arith(arith[type(e)], self.eval(e.this, row, group),
                          self.eval(e.expression, row, group))
        if isinstance(e, exp.DPipe):
            a, b = self.eval(e.this, row, group), self.eval(e.expression, row, group)
            return None if a is None or b is None else _to_text(a) + _to_text(b)
        if isinstance(e, exp.Is):
            if not isinstance(e.expression, exp.Null):
                raise NotSupportedError(f"IS with anything but NULL: {e.sql()}")
            return self.eval(e.this, row, group) is None
        if isinstance(e, exp.Like):
            return _like(self.eval(e.this, row, group), self.eval(e.expression, row, group))
        if isinstance(e, exp.In):
            if e.args.get("query") or e.args.get("unnest") or e.args.get("field"):
                raise NotSupportedError(f"IN with a subquery: {e.sql()}")
            v = self.eval(e.this, row, group)
            if v is None:
                return None
            unknown = False
            for item in e.expressions:
                w = _with_affinity(self._affinity(e.this), self.eval(item, row, group))
                if w is None:
                    unknown = True
                elif _cmp(v, w) == 0:
                    return True
            return None if unknown else False
        if isinstance(e, exp.Between):
            v, lo = self._compared(e.this, e.args["low"], row, group)
            _, hi = self._compared(e.this, e.args["high"], row, group)
            ge = None if v is None or lo is None else _cmp(v, lo) >= 0
            le = None if v is None or hi is None else _cmp(v, hi) <= 0
            if ge is False or le is False:
                return False
            return None if ge is None or le is None else True
        if isinstance(e, exp.Coalesce):
            for item in [e.this, *e.expressions]:
                v = self.eval(item, row, group)
                if v is not None:
                    return v
            return None
        if isinstance(e, (exp.Select, exp.Subquery)):
            raise NotSupportedError("subqueries")
        raise NotSupportedError(f"the expression {e.sql()!r} ({e.key.upper()})")

    def _affinity(self, e):
        """sqlite3's affinity of an operand: "numeric" or "text" for a column of those types,
        None for anything else (literals, expressions, bytes columns)."""
        while isinstance(e, exp.Paren):
            e = e.this
        if isinstance(e, exp.Column) and e.name in self.columns:
            t = self.types[e.name]
            return "text" if t == "text" else None if t == "binary" else "numeric"
        return None

    def _compared(self, left, right, row, group):
        """Both operands of a comparison, one converted by the other's affinity as sqlite3 does:
        a numeric column against a text reads the text as a number, a text column against a
        value without affinity reads the value as text."""
        a, b = self.eval(left, row, group), self.eval(right, row, group)
        fa, fb = self._affinity(left), self._affinity(right)
        if fa == "numeric" and fb != "numeric":
            b = _with_affinity("numeric", b)
        elif fb == "numeric" and fa != "numeric":
            a = _with_affinity("numeric", a)
        elif fa == "text" and fb is None:
            b = _with_affinity("text", b)
        elif fb == "text" and fa is None:
            a = _with_affinity("text", a)
        return a, b

    def aggregate(self, e, group):
        arg = e.this
        distinct = isinstance(arg, exp.Distinct)
        if distinct:
            if len(arg.expressions) != 1:
                raise NotSupportedError(f"{e.sql()}: DISTINCT over several expressions")
            arg = arg.expressions[0]
        if isinstance(e, exp.Count) and isinstance(arg, exp.Star):
            return len(group.rows)
        values = [self.eval(arg, r) for r in group.rows]
        values = [v for v in values if v is not None]
        if distinct:
            seen = []
            for v in values:
                if not any(_cmp(v, w) == 0 for w in seen):
                    seen.append(v)
            values = seen
        if isinstance(e, exp.Count):
            return len(values)
        if not values:
            return None
        if isinstance(e, (exp.Min, exp.Max)):
            key = functools.cmp_to_key(_cmp)
            return min(values, key=key) if isinstance(e, exp.Min) else max(values, key=key)
        if not all(isinstance(v, (int, float)) for v in values):
            raise NotSupportedError(f"{e.key.upper()} over non-numeric values")
        total = math.fsum(values) if any(isinstance(v, float) for v in values) \
            else sum(int(v) for v in values)
        if isinstance(e, exp.Avg):
            return float(total) / len(values)
        return total

    def _bind_table(self, schema):
        self.table = schema.name
        self.columns = set(schema.names())
        self.types = {c.name: c.type for c in schema.columns}

    def _where(self, s, rows):
        where = s.args.get("where")
        if where is None:
            return rows
        return [(k, r) for k, r in rows if _truth(self.eval(where.this, r)) is True]

    def _int_value(self, node, what):
        v = self.eval(node, {})
        if isinstance(v, bool) or not isinstance(v, int):
            raise SqlError(f"{what} must be a whole number, not {v!r}")
        return v

    # ---- SELECT ----

    def select(self, s):
        for arg in ("joins", "laterals", "with", "into", "windows", "qualify"):
            if s.args.get(arg):
                raise NotSupportedError(f"SELECT with {arg.upper()}")
        from_ = s.args.get("from")
        if from_ is None or len(from_.expressions) != 1:
            raise NotSupportedError("SELECT without exactly one table in FROM")
        schema = self._schema(self._table_name(from_.expressions[0]))
        self._bind_table(schema)

        outputs = []  # (name, expression or None for a plain column)
        for item in s.expressions:
            if isinstance(item, exp.Star):
                outputs += [(n, exp.column(n)) for n in schema.names()]
            elif isinstance(item, exp.Alias):
                outputs.append((item.alias, item.this))
            elif isinstance(item, exp.Column):
                if item.name == "*" or isinstance(item.this, exp.Star):
                    outputs += [(n, exp.column(n)) for n in schema.names()]
                else:
                    outputs.append((item.name, item))
            else:
                outputs.append((item.sql(), item))
        names = [n for n, _ in outputs]

        limit = offset = None
        if s.args.get("limit") is not None:
            limit = self._int_value(s.args["limit"].expression, "LIMIT")
        if s.args.get("offset") is not None:
            offset = self._int_value(s.args["offset"].expression, "OFFSET")
        if limit is not None and limit < 0:
            limit = None  # a negative LIMIT means none, as in sqlite3
        offset = max(offset or 0, 0)

        group_by = s.args.get("group")
        having = s.args.get("having")
        aggregated = group_by is not None or having is not None or any(
            e.find(*_AGGREGATES) is not None for _, e in outputs)

        pushed = self._pushdown(s, schema, outputs, aggregated, limit, offset)
        if pushed is not None:
            return SqlResult(pushed, names)

        rows = [r for _, r in self._where(s, self._rows(schema))]
        if aggregated:
            sources = self._groups(rows, group_by, having)
        else:
            sources = [(r, None) for r in rows]
        out = [(src, tuple(self.eval(e, *src) for _, e in outputs)) for src in sources]
        if s.args.get("distinct"):
            unique = []
            for item in out:
                if not any(item[1] == u[1] for u in unique):
                    unique.append(item)
            out = unique
        order = s.args.get("order")
        if order is not None:
            out = self._order(order, out, outputs)
        out = out[offset:] if limit is None else out[offset:offset + limit]
        return SqlResult([dict(zip(names, values)) for _, values in out], names)

    def _pushdown(self, s, schema, outputs, aggregated, limit, offset):
        """Rows from QUERY when it gives the same answer: plain columns whose TOON rendering
        is exact (int, uint, bool, binary; floats carry six decimals and texts are ambiguous),
        no WHERE, GROUP, ORDER or DISTINCT. None otherwise."""
        if aggregated or any(s.args.get(a) for a in ("where", "order", "distinct")):
            return None
        cols = []
        for _, e in outputs:
            if not isinstance(e, exp.Column) or e.table:
                return None
            col = schema.column(e.name)
            if col is None or col.type not in ("int", "uint", "bool", "binary"):
                return None
            cols.append(col.name)
        if limit == 0:
            return []
        if (limit or 0) > 0xFFFFFFFF or offset > 0xFFFFFFFF or not cols:
            return None
        rows = self.target.query(schema.name, limit or 0, offset, list(dict.fromkeys(cols)))
        return [{n: r[c] for (n, _), c in zip(outputs, cols)} for r in rows]

    def _groups(self, rows, group_by, having):
        if group_by is None:
            groups = [_Group(rows)]
        else:
            keyed = {}
            for r in rows:
                key = tuple(self.eval(g, r) for g in group_by.expressions)
                keyed.setdefault(key, []).append(r)

            def key_cmp(a, b):
                for x, y in zip(a[0], b[0]):
                    c = _sort_cmp(x, y)
                    if c:
                        return c
                return 0
            groups = [_Group(v) for _, v in sorted(keyed.items(),
                                                    key=functools.cmp_to_key(key_cmp))]
        sources = [(None, g) for g in groups]
        if having is not None:
            sources = [src for src in sources if _truth(self.eval(having.this, *src)) is True]
        return sources

    def _order(self, order, out, outputs):
        names = [n for n, _ in outputs]
        keys = []
        for term in order.expressions:
            e = term.this
            desc = bool(term.args.get("desc"))
            if isinstance(e, exp.Literal) and not e.is_string:
                pos = int(e.this)
                if not 1 <= pos <= len(outputs):
                    raise SqlError(f"ORDER BY term out of range: {pos}")
                keys.append((lambda item, i=pos - 1: item[1][i], desc))
            elif isinstance(e, exp.Column) and not e.table and e.name in names:
                i = names.index(e.name)
                keys.append((lambda item, i=i: item[1][i], desc))
            else:
                keys.append((lambda item, e=e: self.eval(e, *item[0]), desc))
        decorated = [([f(item) for f, _ in keys], item) for item in out]

        def compare(a, b):
            for (x, y, (_, desc)) in zip(a[0], b[0], keys):
                c = _sort_cmp(x, y)
                if c:
                    return -c if desc else c
            return 0
        decorated.sort(key=functools.cmp_to_key(compare))
        return [item for _, item in decorated]

    # ---- CREATE TABLE ----

    def create(self, s):
        if (s.args.get("kind") or "").upper() != "TABLE":
            raise NotSupportedError(f"CREATE {s.args.get('kind')}")
        if s.args.get("expression") is not None:
            raise NotSupportedError("CREATE TABLE ... AS SELECT")
        if not isinstance(s.this, exp.Schema):
            raise SqlError("CREATE TABLE needs its columns")
        table = self._table_name(s.this)
        columns, key = [], None
        for d in s.this.expressions:
            if not isinstance(d, exp.ColumnDef):
                raise NotSupportedError(f"table constraint {d.sql()!r}")
            kind = d.args.get("kind")
            type_name = kind.this.name if kind is not None else None
            if type_name not in _TYPES:
                raise NotSupportedError(f"column type {kind.sql() if kind else '(none)'} "
                                        f"of column {d.name}")
            nullable = True
            for c in d.args.get("constraints") or []:
                ck = c.args.get("kind")
                if isinstance(ck, exp.NotNullColumnConstraint):
                    nullable = bool(ck.args.get("allow_null"))
                elif isinstance(ck, exp.PrimaryKeyColumnConstraint):
                    if key is not None:
                        raise NotSupportedError("more than one PRIMARY KEY column")
                    key = d.name
                    nullable = False
                else:
                    raise NotSupportedError(f"column constraint {c.sql()!r}")
            columns.append(wire.Column(d.name, _TYPES[type_name], nullable))
        client = self._client()
        client.register_table(table, columns)
        if key is not None:
            client.put(f"{_META_PREFIX}{table}/primary_key", key)
        return SqlResult([], None, 0)

    # ---- INSERT, UPDATE, DELETE ----

    def _row_key(self, schema, key_col, row):
        v = row.get(key_col.name)
        if v is None:
            raise SqlError(f"NOT NULL constraint failed: {schema.name}.{key_col.name} "
                           "(the row key)")
        if isinstance(v, bool) or not isinstance(v, (int, str)) or (
                isinstance(v, str) and ("/" in v or v == "")):
            raise SqlError(f"the row key {schema.name}.{key_col.name} must be a whole number "
                           f"or a non-empty text without '/', not {v!r}")
        return f"{schema.name}/{v}".encode("utf-8")

    def _write(self, schema, key_col, row, old_key=None):
        key = self._row_key(schema, key_col, row)
        if key != old_key and self.target.get(key) != b"":
            raise SqlError(f"UNIQUE constraint failed: {schema.name}.{key_col.name}")
        try:
            packed = wire.pack_row(schema, row)
        except SchemaError as e:
            raise SqlError(str(e)) from None
        if old_key is not None and key != old_key:
            self.target.delete(old_key)
        self.target.put(key, packed)

    def insert(self, s):
        target_node = s.this
        schema = self._schema(self._table_name(target_node))
        self._bind_table(schema)
        if isinstance(target_node, exp.Schema) and target_node.expressions:
            names = [i.name for i in target_node.expressions]
        else:
            names = schema.names()
        for n in names:
            if schema.column(n) is None:
                raise SqlError(f"table {schema.name} has no column named {n}")
        values = s.expression
        if not isinstance(values, exp.Values):
            raise NotSupportedError(f"INSERT from {values.key.upper()} (only VALUES)")
        key_col = self._key_column(schema)
        count = 0
        for tup in values.expressions:
            items = tup.expressions if isinstance(tup, exp.Tuple) else [tup]
            if len(items) != len(names):
                raise SqlError(f"{len(items)} values for {len(names)} columns")
            row = {n: _coerce(schema.column(n), self.eval(e, {})) for n, e in zip(names, items)}
            self._write(schema, key_col, row)
            count += 1
        return SqlResult([], None, count)

    def update(self, s):
        if s.args.get("from"):
            raise NotSupportedError("UPDATE ... FROM")
        schema = self._schema(self._table_name(s.this))
        self._bind_table(schema)
        key_col = self._key_column(schema)
        sets = []
        for eq in s.expressions:
            if not isinstance(eq, exp.EQ) or not isinstance(eq.this, exp.Column):
                raise NotSupportedError(f"SET {eq.sql()}")
            if schema.column(eq.this.name) is None:
                raise SqlError(f"no such column: {eq.this.name}")
            sets.append((eq.this.name, eq.expression))
        count = 0
        for key, row in self._where(s, self._rows(schema)):
            new = dict(row)
            for name, e in sets:
                new[name] = _coerce(schema.column(name), self.eval(e, row))
            self._write(schema, key_col, new, old_key=key)
            count += 1
        return SqlResult([], None, count)

    def delete(self, s):
        schema = self._schema(self._table_name(s.this))
        self._bind_table(schema)
        count = 0
        for key, _ in self._where(s, self._rows(schema)):
            self.target.delete(key)
            count += 1
        return SqlResult([], None, count)
