"""SELECT against the standard library's sqlite3 module on the same data: identical rows.

The data is loaded through plain requests (insert_row: one PUT each), so these tests need no
transaction; the statements that write are tested in test_transactions.py.
"""

import sqlite3

import pytest

import kavrel

COLUMNS = [("id", "int", False), ("name", "text", False), ("dept", "text", True),
           ("score", "float", True), ("age", "int", True), ("active", "bool", True),
           ("tag", "binary", True)]
ROWS = [
    (1, "alice", "eng", 9.5, 31, True, b"\x01"),
    (2, "bob", "eng", 7.25, 45, False, None),
    (3, "carol", "ops", None, 28, True, b""),
    (4, "dave", None, 5.0, None, None, b"\x00\xff"),
    (5, "Eve", "ops", 8.75, 39, True, None),
    (6, "frank", "sales", 6.5, 45, False, b"ab"),
    (7, "grace", "eng", 9.5, 23, True, None),
    (8, "heidi", "sales", None, 52, None, None),
    (9, "ivan", "ops", 4.25, 31, False, b"z"),
    (10, "judy", "eng", 7.75, 36, True, None),
    (11, "mallory, jr", "sales", -1.5, 61, False, None),
    (12, "o'brien", None, 0.0, 19, True, None),
    (13, "\u2205", "eng", 2.5, 40, None, None),  # TOON's NULL mark, as a text
    (14, '"q;uote\\', "ops", 1e300, 33, True, None),
]

# Each statement runs on both; "ORDER BY" statements compare in order, the others as multisets.
SELECTS = [
    "SELECT * FROM {t}",
    "SELECT id, name FROM {t}",
    "SELECT id, age, active, tag FROM {t}",  # pushed down to QUERY
    "SELECT id AS k, age FROM {t}",
    "SELECT id FROM {t} ORDER BY id LIMIT 3",
    "SELECT id FROM {t} ORDER BY id LIMIT 4 OFFSET 5",
    "SELECT id FROM {t} ORDER BY id DESC LIMIT 2 OFFSET 20",
    "SELECT id FROM {t} ORDER BY id LIMIT 0",
    "SELECT id FROM {t} ORDER BY id LIMIT ? OFFSET 10",
    "SELECT name, score FROM {t} ORDER BY score, id",
    "SELECT name, score FROM {t} ORDER BY score DESC, id",
    "SELECT name, dept FROM {t} ORDER BY dept DESC, name",
    "SELECT name FROM {t} ORDER BY name",
    "SELECT id, score FROM {t} ORDER BY 2 DESC, 1",
    "SELECT id, age * 2 AS twice FROM {t} ORDER BY twice DESC, id",
    "SELECT id FROM {t} WHERE age > 30",
    "SELECT id FROM {t} WHERE age >= 31 AND age <= 45",
    "SELECT id FROM {t} WHERE age = 45 OR dept = 'ops'",
    "SELECT id FROM {t} WHERE NOT (age < 40)",
    "SELECT id FROM {t} WHERE age <> 31",
    "SELECT id FROM {t} WHERE score != 9.5",
    "SELECT id FROM {t} WHERE dept IS NULL",
    "SELECT id FROM {t} WHERE dept IS NOT NULL AND score IS NULL",
    "SELECT id FROM {t} WHERE dept IN ('eng', 'sales')",
    "SELECT id FROM {t} WHERE dept NOT IN ('eng', 'sales')",
    "SELECT id FROM {t} WHERE age IN (31, NULL)",
    "SELECT id FROM {t} WHERE age NOT IN (31, NULL)",
    "SELECT id FROM {t} WHERE name LIKE '%a%'",
    "SELECT id FROM {t} WHERE name LIKE 'e%'",
    "SELECT id FROM {t} WHERE name NOT LIKE '_a%'",
    "SELECT id FROM {t} WHERE name LIKE '%,%'",
    "SELECT id FROM {t} WHERE age BETWEEN 30 AND 45",
    "SELECT id FROM {t} WHERE active",
    "SELECT id FROM {t} WHERE NOT active",
    "SELECT id FROM {t} WHERE active = 1 AND score > 8",
    "SELECT id FROM {t} WHERE (age > 40 OR score > 9) AND dept <> 'sales'",
    "SELECT id FROM {t} WHERE NOT (dept = 'eng' OR age > 100)",
    "SELECT id, score + age AS s FROM {t} WHERE score + age > 40 ORDER BY s",
    "SELECT id, age / 10, age % 7, -age FROM {t} ORDER BY id",
    "SELECT name || '-' || dept AS nd FROM {t} ORDER BY id",
    "SELECT COALESCE(dept, 'none') AS d FROM {t} ORDER BY id",
    "SELECT DISTINCT dept FROM {t} ORDER BY dept",
    "SELECT COUNT(*) FROM {t}",
    "SELECT COUNT(*), COUNT(dept), COUNT(score), COUNT(DISTINCT dept) FROM {t}",
    "SELECT SUM(age), MIN(age), MAX(age), AVG(age) FROM {t}",
    "SELECT SUM(score), MIN(score), MAX(score), AVG(score) FROM {t}",
    "SELECT MIN(name), MAX(name) FROM {t}",
    "SELECT COUNT(*), SUM(age), AVG(score) FROM {t} WHERE age > 100",
    "SELECT dept, COUNT(*) AS n FROM {t} GROUP BY dept ORDER BY dept",
    "SELECT dept, COUNT(*), SUM(score), MAX(age) FROM {t} GROUP BY dept ORDER BY dept",
    "SELECT dept, AVG(age) AS a FROM {t} WHERE active GROUP BY dept ORDER BY a DESC",
    "SELECT dept, COUNT(*) AS n FROM {t} GROUP BY dept HAVING COUNT(*) > 2 ORDER BY n, dept",
    "SELECT age, COUNT(*) FROM {t} GROUP BY age ORDER BY COUNT(*) DESC, age LIMIT 3",
    "SELECT active, MIN(id) FROM {t} GROUP BY active ORDER BY active",
    "SELECT id FROM {t} WHERE name > 'm' ORDER BY name",
    "SELECT id, -age / 7, age % -5, age / 3.0, score * 2 FROM {t} ORDER BY id",
    "SELECT id FROM {t} WHERE score > age / 10 ORDER BY id",
    "SELECT id FROM {t} WHERE age / 0 IS NULL ORDER BY id",
    "SELECT name FROM {t} ORDER BY name DESC LIMIT 3 OFFSET 1",
    "SELECT COUNT(*) FROM {t} WHERE dept IS NULL",
    "SELECT dept, active, COUNT(*), SUM(active) FROM {t} GROUP BY dept, active ORDER BY 1, 2",
    "SELECT dept, MIN(score), MAX(name) FROM {t} WHERE score IS NOT NULL GROUP BY dept "
    "ORDER BY dept",
    "SELECT id, tag FROM {t} WHERE tag IS NOT NULL ORDER BY tag",
    "SELECT id FROM {t} WHERE id BETWEEN ? AND ? AND NOT dept IN ('ops') ORDER BY id",
    "SELECT id FROM {t} WHERE age = '31' OR score = ' 9.5' OR id IN ('3', 4) ORDER BY id",
    "SELECT id FROM {t} WHERE age BETWEEN '30' AND 40.5 ORDER BY id",
    "SELECT id FROM {t} WHERE name = 5 OR name > 100 OR '7' < id ORDER BY id",
    "SELECT id FROM {t} WHERE score < 'inf' OR age = '1_9' OR age = '+19' ORDER BY id",
    "SELECT id FROM {t} WHERE age > ? AND dept = ? ORDER BY id",
    "SELECT id FROM {t} WHERE name LIKE ? ORDER BY id LIMIT ?",
    "SELECT id, '?' AS q FROM {t} WHERE name <> '?' /* ? */ AND id < ? -- ?\n ORDER BY id",
]
PARAMS = {
    "SELECT id FROM {t} WHERE id BETWEEN ? AND ? AND NOT dept IN ('ops') ORDER BY id": (2, 12),
    "SELECT id FROM {t} ORDER BY id LIMIT ? OFFSET 10": (-1,),
    "SELECT id FROM {t} WHERE age > ? AND dept = ? ORDER BY id": (30, "eng"),
    "SELECT id FROM {t} WHERE name LIKE ? ORDER BY id LIMIT ?": ("%e%", 3),
    "SELECT id, '?' AS q FROM {t} WHERE name <> '?' /* ? */ AND id < ? -- ?\n ORDER BY id":
        (4,),
}


def _normal(value):
    return int(value) if isinstance(value, bool) else value


@pytest.fixture(scope="module")
def loaded(server):
    c = kavrel.connect(server.db_dir)
    c.register_table("people", COLUMNS)
    db = sqlite3.connect(":memory:")
    db.execute("CREATE TABLE people (id INTEGER PRIMARY KEY, name TEXT NOT NULL, dept TEXT, "
               "score REAL, age INTEGER, active INTEGER, tag BLOB)")
    names = [n for n, _, _ in COLUMNS]
    for row in ROWS:
        c.insert_row("people", row[0], dict(zip(names, row)))
        db.execute("INSERT INTO people VALUES (?, ?, ?, ?, ?, ?, ?)", row)
    yield c, db
    c.close()
    db.close()


@pytest.mark.parametrize("statement", SELECTS)
def test_select_matches_sqlite3(loaded, statement):
    c, db = loaded
    text = statement.format(t="people")
    params = PARAMS.get(statement, ())
    cursor = db.execute(text, params)
    want = [tuple(_normal(v) for v in row) for row in cursor.fetchall()]
    result = c.sql(text, params)
    got = [tuple(_normal(v) for v in row) for row in result.tuples()]
    if "ORDER BY" not in text:
        want, got = sorted(want, key=repr), sorted(got, key=repr)
    assert got == want
    assert len(result.columns) == len(cursor.description)


def test_select_star_keeps_types(loaded):
    c, _ = loaded
    rows = c.sql("SELECT * FROM people WHERE id = 1")
    assert rows == [{"id": 1, "name": "alice", "dept": "eng", "score": 9.5, "age": 31,
                     "active": True, "tag": b"\x01"}]
    assert rows.columns == ["id", "name", "dept", "score", "age", "active", "tag"]


def test_cursor_gives_tuples_and_description(loaded):
    c, db = loaded
    text = "SELECT id, name AS who FROM people WHERE id < ? ORDER BY id DESC"
    cur = c.cursor().execute(text, [3])
    assert [d[0] for d in cur.description] == ["id", "who"]
    assert cur.fetchone() == (2, "bob")
    assert cur.fetchall() == [(1, "alice")]
    assert cur.fetchone() is None
    assert c.cursor().execute(text, [4]).fetchall() == db.execute(text, [4]).fetchall()


def test_pushdown_uses_query(loaded, monkeypatch):
    c, _ = loaded
    calls = []
    real_query, real_scan = c.query, c.scan
    monkeypatch.setattr(c, "query", lambda *a, **k: calls.append("query") or real_query(*a, **k))
    monkeypatch.setattr(c, "scan", lambda *a, **k: calls.append("scan") or real_scan(*a, **k))
    # Without ORDER BY the rows come in key order: people/1, people/10, people/11, people/12, ...
    assert c.sql("SELECT age, active FROM people LIMIT 2 OFFSET 1") == [
        {"age": 36, "active": 1}, {"age": 61, "active": 0}]
    assert c.sql("SELECT tag, age AS a FROM people LIMIT 2") == [
        {"tag": b"\x01", "a": 31}, {"tag": None, "a": 36}]
    assert calls == ["query", "query"]
    calls.clear()
    # A float column is not pushed down (its TOON text has six decimals), nor is a WHERE, nor
    # the key column (read from the row's key, which QUERY does not answer).
    assert c.sql("SELECT score FROM people LIMIT 1 OFFSET 1") == [{"score": 7.75}]
    assert c.sql("SELECT id FROM people WHERE id = 3") == [{"id": 3}]
    assert c.sql("SELECT id, age FROM people LIMIT 2 OFFSET 1") == [
        {"id": 10, "age": 36}, {"id": 11, "age": 61}]
    assert calls == ["scan", "scan", "scan"]


@pytest.mark.parametrize("statement,params,error,message", [
    ("SELECT * FROM people RIGHT JOIN people AS o ON 1 = 1", (), kavrel.NotSupportedError,
     "RIGHT JOIN"),
    ("SELECT * FROM people AS p WHERE id IN (SELECT id FROM people WHERE age = p.age)", (),
     kavrel.NotSupportedError, "correlated subqueries"),
    ("SELECT * FROM nowhere", (), kavrel.SqlError, "no such table: nowhere"),
    ("SELECT nope FROM people", (), kavrel.SqlError, "no such column: nope"),
    ("SELECT id FROM people WHERE id = ?", (), kavrel.SqlError, "1 ? parameters, 0 given"),
    ("SELECT id FROM people ORDER BY 9", (), kavrel.SqlError, "ORDER BY term out of range"),
    ("SELEC id FROM people", (), kavrel.SqlError, "cannot parse SQL"),
    ("DROP VIEW people", (), kavrel.NotSupportedError, "DROP VIEW"),
    ("SELECT id FROM people WHERE id = COUNT(*)", (), kavrel.SqlError, "aggregate"),
    ("CREATE TABLE x (a DATE)", (), kavrel.NotSupportedError, "column type DATE of column a"),
    ("SELECT id FROM people LIMIT ?", ("a",), kavrel.SqlError, "LIMIT must be a whole number"),
])
def test_unsupported_and_bad_statements(loaded, statement, params, error, message):
    c, _ = loaded
    with pytest.raises(error) as e:
        c.sql(statement, params)
    assert message in str(e.value)


def test_create_table_registers_types(client, name):
    client.sql(f"CREATE TABLE {name} (id INT PRIMARY KEY, name TEXT NOT NULL, score FLOAT, "
               "big BIGINT, note VARCHAR(20), ok BOOLEAN, raw VARBINARY, d DOUBLE)")
    assert client.describe(name).columns == (
        kavrel.Column("id", "int", False), kavrel.Column("name", "text", False),
        kavrel.Column("score", "float", True), kavrel.Column("big", "int", True),
        kavrel.Column("note", "text", True), kavrel.Column("ok", "bool", True),
        kavrel.Column("raw", "binary", True), kavrel.Column("d", "float", True))
