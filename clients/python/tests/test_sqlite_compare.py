"""The SQL layer against the standard library's sqlite3: each statement runs on Kavrel and on an
in-memory sqlite3 database made by the same statements, and both must give the same rows (same
values of the same types), the same column names, or both an error.

SELECTs run on a database loaded once for the module; the scripts that write run each on
tables of their own (and a fresh sqlite3 database), then a SELECT compares what they left.
"""

import sqlite3

import pytest

import kavrel

SETUP = """
CREATE TABLE dept (id INTEGER PRIMARY KEY, name TEXT NOT NULL, floor INTEGER);
CREATE TABLE emp (id INTEGER PRIMARY KEY, name TEXT NOT NULL, dept_id INTEGER, salary REAL,
                  active BOOLEAN, note TEXT, badge BLOB);
CREATE TABLE T2 (Id INTEGER PRIMARY KEY, Val TEXT);
CREATE TABLE empty (id INTEGER PRIMARY KEY, v TEXT);
CREATE TABLE tags (code TEXT PRIMARY KEY, emp_id INTEGER, weight REAL);
INSERT INTO dept VALUES (1, 'eng', 3), (2, 'ops', 1), (3, 'sales', NULL), (4, 'legal', 2);
INSERT INTO emp VALUES
  (1, 'Ann', 1, 120.5, TRUE, NULL, x'01'),
  (2, 'bob', 1, 99.25, FALSE, 'part time', NULL),
  (3, 'Cyd', 2, NULL, TRUE, '', x'00ff'),
  (4, 'dee', NULL, 50.0, NULL, 'x, y; z', NULL),
  (5, 'Éva', 3, 75.75, TRUE, 'café', x''),
  (6, 'fred', 2, -12.5, FALSE, '42', NULL),
  (7, 'gus', 9, 0.1, TRUE, '3.5', x'6162'),
  (10, 'hal', 1, 1e15, FALSE, 'zz', NULL),
  (11, 'ivy', 2, 2.675, NULL, ' 12 ', NULL),
  (12, 'O''Neil', 3, 521.925, TRUE, NULL, NULL);
INSERT INTO T2 VALUES (1, 'one'), (2, 'two'), (3, NULL);
INSERT INTO tags VALUES ('a', 1, 1.5), ('b', 1, 2.0), ('c', 3, NULL), ('d', 99, 4.0),
                        ('e', NULL, 0.5), ('f', 6, -1.0);
"""

# (statement, params). Statements without ORDER BY compare their rows as multisets.
SELECTS = [
    # LIMIT count OFFSET, and LIMIT offset, count.
    ("SELECT id FROM emp ORDER BY id LIMIT 2, 3", ()),
    ("SELECT id FROM emp ORDER BY id LIMIT ?, ?", (4, 2)),
    ("SELECT id FROM emp ORDER BY id LIMIT 3 OFFSET 2", ()),
    ("SELECT id FROM emp ORDER BY id DESC LIMIT 0, 2", ()),
    ("SELECT id FROM emp ORDER BY id LIMIT 8, 5", ()),
    ("SELECT id FROM emp ORDER BY id LIMIT (1 + 1), (3)", ()),
    ("SELECT id FROM emp ORDER BY id LIMIT -1 OFFSET 7", ()),
    ("SELECT id FROM emp ORDER BY id LIMIT 1 + 1 OFFSET ? * 2", (2,)),
    ("SELECT id FROM emp ORDER BY id LIMIT '2'", ()),
    ("SELECT id FROM emp ORDER BY id LIMIT 2.5", ()),
    ("SELECT id FROM emp ORDER BY id LIMIT (SELECT COUNT(*) FROM dept)", ()),
    ("SELECT id FROM emp WHERE id IN (SELECT emp_id FROM tags ORDER BY code LIMIT 1, 2) "
     "ORDER BY id", ()),
    # Comparisons and booleans are 1 or 0; names are the expression as written.
    ("SELECT name, salary > 60 FROM emp ORDER BY id", ()),
    ("SELECT id, active, NOT active, active = 1, active IS NULL FROM emp ORDER BY id", ()),
    ("SELECT name = ? FROM emp ORDER BY id", ("bob",)),
    ("SELECT  count( * )  FROM emp", ()),
    ("SELECT id+1, (id), \"name\", id AS \"The Id\" FROM emp ORDER BY 1", ()),
    ("SELECT id /* the key */ * 2 FROM emp ORDER BY id", ()),
    ("SELECT 1 < 2, 2 < 1, NULL = 1, TRUE, FALSE, 1 = 1.0, 'a' < 'b' FROM T2 WHERE Id = 1", ()),
    ("SELECT id, salary BETWEEN 50 AND 100, name LIKE '%e%', id IN (1, 2) FROM emp "
     "ORDER BY id", ()),
    ("SELECT 1 + 2, 'x' || 'y', -5 / 2, 7 % 3, 7.5 % 2, 1 / 0", ()),
    # Unquoted names match whatever their case; quoted ones as written.
    ("SELECT ID, val FROM t2 ORDER BY iD", ()),
    ("SELECT t2.VAL FROM T2 ORDER BY T2.id", ()),
    ("select Val from T2 where ID = 2", ()),
    ("SELECT E.Name, e.ID FROM EMP AS e WHERE E.Dept_Id = 2 ORDER BY e.id", ()),
    ("SELECT \"Val\" FROM T2 ORDER BY Id", ()),
    ("SELECT `Val`, `t2`.`ID` FROM `T2` ORDER BY 2", ()),
    # Functions.
    ("SELECT id, UPPER(name), LOWER(name), LENGTH(name), LENGTH(note), LENGTH(badge) FROM emp "
     "ORDER BY id", ()),
    ("SELECT id, ABS(salary), ABS(id - 6), ABS(note), ABS(NULL) FROM emp ORDER BY id", ()),
    ("SELECT id, ROUND(salary), ROUND(salary, 1), ROUND(salary, 2), ROUND(id) FROM emp "
     "ORDER BY id", ()),
    ("SELECT ROUND(2.5), ROUND(-2.5), ROUND(0.5), ROUND(1.005, 2), ROUND(2.675, 2), "
     "ROUND(-521.925, 2), ROUND(1234.5678, -1), ROUND('3.7x'), ROUND(1.5, NULL)", ()),
    ("SELECT id, COALESCE(note, 'none'), COALESCE(NULL, salary, 0), IFNULL(dept_id, -1) FROM emp "
     "ORDER BY id", ()),
    ("SELECT id, CAST(salary AS INTEGER), CAST(id AS TEXT), CAST(note AS REAL), "
     "CAST(note AS INTEGER), CAST(salary AS TEXT) FROM emp ORDER BY id", ()),
    ("SELECT CAST('1.5' AS INT), CAST(' 12x' AS INTEGER), CAST('abc' AS REAL), "
     "CAST(1e300 AS TEXT), CAST(100.0 AS TEXT), CAST(0.1 AS TEXT), CAST('7' AS NUMERIC), "
     "CAST('7.0' AS NUMERIC), CAST('x' AS BLOB), CAST(NULL AS TEXT)", ()),
    ("SELECT id, CASE WHEN salary > 100 THEN 'high' WHEN salary > 50 THEN 'mid' ELSE 'low' END "
     "FROM emp ORDER BY id", ()),
    ("SELECT id, CASE dept_id WHEN 1 THEN 'eng' WHEN 2 THEN 'ops' END AS d FROM emp ORDER BY id",
     ()),
    ("SELECT id, CASE WHEN note IS NULL THEN 0 ELSE LENGTH(note) END FROM emp ORDER BY id", ()),
    ("SELECT id, CASE note WHEN '42' THEN 1 WHEN 42 THEN 2 ELSE 3 END FROM emp ORDER BY id", ()),
    ("SELECT UPPER('Éva'), LOWER('ÉVA'), LENGTH('Éva'), UPPER(5), LENGTH(12.5), LENGTH(NULL)",
     ()),
    ("SELECT id, note || '!', salary || '', 1e15 || '', 0.5 || 'x' FROM emp ORDER BY id", ()),
    ("SELECT id, '3' + 1, note + 0, note * 2, -note FROM emp ORDER BY id", ()),
    ("SELECT NULLIF(dept_id, 1), IIF(active, 'yes', 'no'), TYPEOF(salary), TYPEOF(badge) "
     "FROM emp ORDER BY id", ()),
    ("SELECT dept_id, SUM(salary), MIN(name), MAX(note), COUNT(note), AVG(id) FROM emp "
     "GROUP BY dept_id ORDER BY dept_id", ()),
    ("SELECT name, MAX(salary) FROM emp", ()),
    ("SELECT name, MIN(salary) FROM emp WHERE dept_id = 1", ()),
    ("SELECT SUM(note), SUM(id), TYPEOF(SUM(active)), COUNT(DISTINCT dept_id) FROM emp", ()),
    # Joins.
    ("SELECT emp.name, dept.name FROM emp JOIN dept ON emp.dept_id = dept.id ORDER BY emp.id",
     ()),
    ("SELECT e.name, d.name AS dept FROM emp e LEFT JOIN dept d ON d.id = e.dept_id "
     "ORDER BY e.id", ()),
    ("SELECT d.name, COUNT(e.id) AS n FROM dept d LEFT JOIN emp e ON e.dept_id = d.id "
     "GROUP BY d.name ORDER BY n DESC, d.name", ()),
    ("SELECT e.name, t.code FROM emp e INNER JOIN tags t ON t.emp_id = e.id AND t.weight > 1 "
     "ORDER BY t.code", ()),
    ("SELECT e.name, t.code, t.weight FROM emp e LEFT OUTER JOIN tags t ON t.emp_id = e.id "
     "AND t.weight > 1 ORDER BY e.id, t.code", ()),
    ("SELECT * FROM dept JOIN emp ON emp.dept_id = dept.id WHERE dept.floor > 1 "
     "ORDER BY emp.id", ()),
    ("SELECT t.code, e.name, d.name FROM tags t JOIN emp e ON e.id = t.emp_id "
     "JOIN dept d ON d.id = e.dept_id ORDER BY t.code", ()),
    ("SELECT t.code, d.floor FROM tags t LEFT JOIN emp e ON e.id = t.emp_id "
     "LEFT JOIN dept d ON d.id = e.dept_id ORDER BY t.code", ()),
    ("SELECT a.name, b.name FROM emp a JOIN emp b ON a.dept_id = b.dept_id AND a.id < b.id "
     "ORDER BY a.id, b.id", ()),
    ("SELECT emp.name, dept.name FROM emp, dept WHERE emp.dept_id = dept.id AND dept.floor = 1 "
     "ORDER BY emp.id", ()),
    ("SELECT e.id, d.id FROM emp e JOIN dept d ON e.note = d.id ORDER BY e.id", ()),
    ("SELECT e.id FROM emp e JOIN dept d ON e.dept_id = d.id + 0 ORDER BY e.id", ()),
    ("SELECT dept.*, emp.id FROM dept LEFT JOIN emp ON emp.dept_id = dept.id AND emp.id > 10 "
     "ORDER BY dept.id", ()),
    # Subqueries in IN, and scalar ones.
    ("SELECT name FROM emp WHERE dept_id IN (SELECT id FROM dept WHERE floor >= 2) ORDER BY id",
     ()),
    ("SELECT name FROM emp WHERE id NOT IN (SELECT emp_id FROM tags WHERE emp_id IS NOT NULL) "
     "ORDER BY id", ()),
    ("SELECT name FROM emp WHERE id NOT IN (SELECT emp_id FROM tags) ORDER BY id", ()),
    ("SELECT id, dept_id IN (SELECT id FROM dept WHERE floor IS NULL) FROM emp ORDER BY id", ()),
    ("SELECT name FROM emp WHERE salary > (SELECT AVG(salary) FROM emp) ORDER BY id", ()),
    ("SELECT id, (SELECT MAX(floor) FROM dept) FROM emp WHERE id < 3 ORDER BY id", ()),
    ("SELECT id FROM emp WHERE note IN (SELECT CAST(id AS TEXT) FROM emp) ORDER BY id", ()),
    ("SELECT code FROM tags WHERE emp_id IN (SELECT id FROM emp WHERE name LIKE '%a%') "
     "ORDER BY code", ()),
    # Sorting, grouping and the rest.
    ("SELECT note FROM emp ORDER BY note", ()),
    ("SELECT badge FROM emp ORDER BY badge DESC, id", ()),
    ("SELECT dept_id, COUNT(*) AS n FROM emp GROUP BY 1 HAVING n > 1 ORDER BY n DESC, 1", ()),
    ("SELECT salary * 2 AS twice FROM emp WHERE twice > 100 ORDER BY twice", ()),
    ("SELECT DISTINCT dept_id FROM emp ORDER BY dept_id DESC", ()),
    ("SELECT DISTINCT active, dept_id > 1 FROM emp", ()),
    ("SELECT name FROM emp WHERE note = 42", ()),
    ("SELECT name FROM emp WHERE note > 10", ()),
    ("SELECT name FROM emp WHERE dept_id = '2'", ()),
    ("SELECT code FROM tags WHERE emp_id = weight", ()),
    ("SELECT COUNT(*), SUM(v), MAX(v) FROM empty", ()),
    ("SELECT * FROM empty", ()),
    ("SELECT 1 + 1 AS two", ()),
    ("SELECT id FROM emp WHERE id = 1 OR NULL ORDER BY id", ()),
    ("SELECT id, active IS TRUE, active IS NOT TRUE, active IS FALSE, note IS NOT NULL "
     "FROM emp ORDER BY id", ()),
    ("SELECT dept_id > 1 AS big, COUNT(*) FROM emp GROUP BY big ORDER BY big", ()),
    ("SELECT e.id, d.id, e.name, d.name FROM emp e JOIN dept d ON d.id = e.dept_id "
     "ORDER BY e.id", ()),
    ("SELECT x'00ff', x'', LENGTH(X'0102'), badge = x'01' FROM emp ORDER BY id", ()),
    ("SELECT id FROM emp WHERE badge > x'00' ORDER BY badge", ()),
    ("SELECT 9223372036854775807 + 1, -9223372036854775807 - 2, 4611686018427387904 * 4",
     ()),
    ("SELECT '12.0' % 5, '1.0e+15' % '12', '5' % '3', 7 % 'abc', 7 % '0.5', -7.5 % 2, "
     "'1e3' + 0, CAST('1e3' AS INTEGER), CAST(' -12.9x' AS INTEGER), "
     "CAST('99999999999999999999' AS INTEGER), CAST(-1e300 AS INTEGER)", ()),
    ("SELECT 1e308 * 10 - 1e308 * 10, CAST(-0.0 AS TEXT), -0.0 || '', CAST(50.0 AS NUMERIC), "
     "CAST('50.0' AS NUMERIC), CAST('31.0e+15' AS NUMERIC), CAST(x'3132' AS NUMERIC)", ()),
    ("SELECT id, NULLIF('12', id), NULLIF(id, 12), LENGTH(badge || 'x'), badge LIKE '%', "
     "note LIKE x'61' FROM emp ORDER BY id", ()),
    ("SELECT id FROM emp WHERE NOT (dept_id = 1 AND NULL) ORDER BY id", ()),
    # Errors, found when the statement is planned: on an empty table too.
    ("SELECT nope FROM empty", ()),
    ("SELECT v FROM empty WHERE nope = 1", ()),
    ("SELECT v FROM empty ORDER BY nope", ()),
    ("SELECT v, COUNT(*) FROM empty GROUP BY nope", ()),
    ("SELECT * FROM nowhere", ()),
    ("SELECT v FROM empty WHERE id IN (SELECT nope FROM empty)", ()),
    ("SELECT no_such_function(v) FROM empty", ()),
    ("SELECT UPPER(v, v) FROM empty", ()),
    ("SELECT COALESCE(v) FROM empty", ()),
    ("SELECT id FROM empty WHERE COUNT(*) > 1", ()),
    ("SELECT e.nope FROM emp e JOIN empty ON empty.id = e.id", ()),
    ("SELECT id FROM emp JOIN dept ON dept.id = emp.dept_id", ()),  # ambiguous id
    ("SELECT v FROM empty ORDER BY 3", ()),
    ("SELECT id FROM emp WHERE id IN (SELECT id, name FROM emp)", ()),
]


def _typed(rows):
    return [tuple((type(v).__name__, v) for v in row) for row in rows]


def _sqlite_db():
    db = sqlite3.connect(":memory:")
    db.executescript(SETUP)
    return db


@pytest.fixture(scope="module")
def both(server):
    c = kavrel.connect(server.db_dir)
    c.sql(SETUP)
    db = _sqlite_db()
    yield c, db
    c.close()
    db.close()


def _run_sqlite(db, text, params):
    try:
        cursor = db.execute(text, params)
    except sqlite3.Error as e:
        return None, str(e)
    return ([d[0] for d in cursor.description], cursor.fetchall()), None


@pytest.mark.parametrize("statement,params", SELECTS, ids=[s for s, _ in SELECTS])
def test_select_as_sqlite3(both, statement, params):
    c, db = both
    want, want_error = _run_sqlite(db, statement, params)
    if want_error is not None:
        with pytest.raises(kavrel.SqlError):
            c.sql(statement, params)
        return
    names, rows = want
    result = c.sql(statement, params)
    got = result.tuples()
    want_rows, got_rows = _typed(rows), _typed(got)
    if "ORDER BY" not in statement:
        want_rows, got_rows = sorted(want_rows, key=repr), sorted(got_rows, key=repr)
    assert got_rows == want_rows
    assert result.columns == names


# Scripts that write, each run in one call on tables of its own ({t}, {u}); then `check`
# must read the same on both. sqlite3 runs the script with executescript.
SCRIPTS = [
    ("CREATE TABLE {t} (id INT PRIMARY KEY, v TEXT); INSERT INTO {t} VALUES (1, 'a')",
     "SELECT * FROM {t}"),
    ("CREATE TABLE {t} (code TEXT PRIMARY KEY, n INTEGER, f REAL);"
     "INSERT INTO {t} VALUES ('x', 1, 1), ('y', 2, 2.5), ('z', NULL, NULL);"
     "UPDATE {t} SET n = n * 10, f = f / 2 WHERE code <> 'x'; DELETE FROM {t} WHERE code = 'z'",
     "SELECT code, n, f FROM {t} ORDER BY code"),
    ("CREATE TABLE IF NOT EXISTS {t} (id INTEGER PRIMARY KEY, v TEXT);"
     "CREATE TABLE IF NOT EXISTS {t} (other INTEGER PRIMARY KEY);"
     "INSERT INTO {t} (id, v) VALUES (5, 'five')",
     "SELECT * FROM {t}"),
    ("CREATE TABLE {t} (id INTEGER PRIMARY KEY, v TEXT); INSERT INTO {t} VALUES (1, 'old');"
     "DROP TABLE {t}; CREATE TABLE {t} (id INTEGER PRIMARY KEY, w REAL);"
     "INSERT INTO {t} VALUES (2, 2.5)",
     "SELECT * FROM {t}"),
    ("DROP TABLE IF EXISTS {t}; CREATE TABLE {t} (id INTEGER PRIMARY KEY, name TEXT);"
     "INSERT INTO {t} SELECT id, UPPER(name) FROM emp WHERE dept_id = 1",
     "SELECT * FROM {t} ORDER BY id"),
    ("CREATE TABLE {t} (Id INTEGER PRIMARY KEY, Label TEXT);"
     "INSERT INTO {t} (ID, label) VALUES (1, 'a'), (2, 'b');"
     "UPDATE {t} SET LABEL = label || '!' WHERE iD = 2",
     "SELECT id, LABEL FROM {t} ORDER BY ID"),
    ("CREATE TABLE {t} (id INTEGER PRIMARY KEY, dept INTEGER);"
     "CREATE TABLE {u} (id INTEGER PRIMARY KEY, name TEXT);"
     "INSERT INTO {u} VALUES (1, 'eng'), (2, 'ops');"
     "INSERT INTO {t} VALUES (10, 1), (11, 2), (12, 1), (13, 3)",
     "SELECT {u}.name, COUNT(*) FROM {t} LEFT JOIN {u} ON {u}.id = {t}.dept "
     "GROUP BY {u}.name ORDER BY {u}.name"),
    ("CREATE TABLE {t} (id INTEGER PRIMARY KEY, v INTEGER);"
     "INSERT INTO {t} VALUES (1, 10), (2, 20), (3, 30);"
     "UPDATE {t} SET v = v + (SELECT MAX(v) FROM {t}) WHERE id IN (SELECT id FROM {t} "
     "WHERE v < 25)",
     "SELECT * FROM {t} ORDER BY id"),
    ("CREATE TABLE {t} (id INTEGER PRIMARY KEY, flag BOOLEAN, n INTEGER);"
     "INSERT INTO {t} VALUES (1, TRUE, '7'), (2, 1 > 2, 3.0), (3, NULL, ' 4 ')",
     "SELECT id, flag, n, flag = 1, TYPEOF(n) FROM {t} ORDER BY id"),
]

_script_names = iter(range(10**6))


@pytest.mark.parametrize("script,check", SCRIPTS, ids=[s[:60] for s, _ in SCRIPTS])
def test_script_as_sqlite3(both, script, check):
    c, _ = both
    n = next(_script_names)
    names = {"t": f"s{n}_t", "u": f"s{n}_u"}
    db = _sqlite_db()
    db.executescript(script.format(**names))
    c.sql(script.format(**names))
    cursor = db.execute(check.format(**names))
    result = c.sql(check.format(**names))
    assert _typed(result.tuples()) == _typed(cursor.fetchall())
    assert result.columns == [d[0] for d in cursor.description]
    db.close()
