"""SQL's tables: CREATE and DROP TABLE, one call of DDL and DML, the row key rule, and the
constructs outside the subset. Statements that write run in transactions (IN_TXN)."""

import os
import pathlib
import subprocess

import pytest

import kavrel
from conftest import SERVER
from kavrel import wire

pytestmark = pytest.mark.needs_txn


def _gone(client, table):
    """True when nothing of table is left: no schema, no row, no remembered row key."""
    with pytest.raises(kavrel.ServerError, match="Table not found"):
        client.describe(table)
    with pytest.raises(kavrel.SqlError, match=f"no such table: {table}"):
        client.sql(f"SELECT * FROM {table}")
    assert client.scan(f"{table}/") == []
    assert client.get(f"__kavrel_sql/{table}/primary_key") == b""
    return True


def test_create_then_insert_in_one_call_with_a_key_not_named_id(client, name):
    client.sql(f"CREATE TABLE {name} (code TEXT PRIMARY KEY, n INT); "
               f"INSERT INTO {name} VALUES ('b', 2), ('a', 1)")
    assert [k for k, _ in client.scan(f"{name}/")] == [f"{name}/a".encode(), f"{name}/b".encode()]
    assert client.sql(f"SELECT * FROM {name} ORDER BY code").tuples() == [("a", 1), ("b", 2)]
    with pytest.raises(kavrel.SqlError, match="UNIQUE constraint failed"):
        client.sql(f"INSERT INTO {name} VALUES ('a', 3)")


@pytest.mark.parametrize("script,message", [
    ("CREATE TABLE {t} (id INT PRIMARY KEY, v TEXT); INSERT INTO {t} VALUES (1, 'a'); "
     "INSERT INTO {t} VALUES (1, 'again')", "UNIQUE constraint failed"),
    ("CREATE TABLE {t} (id INT PRIMARY KEY, v TEXT); INSERT INTO {t} VALUES (1, 'a'); "
     "SELECT nope FROM {t}", "no such column: nope"),
    ("CREATE TABLE {t} (id INT PRIMARY KEY, v TEXT NOT NULL); INSERT INTO {t} (id) VALUES (1)",
     "not nullable"),
    ("CREATE TABLE {t} (k TEXT PRIMARY KEY); INSERT INTO {t} VALUES ('x'); "
     "CREATE TABLE {t} (k TEXT PRIMARY KEY)", "already exists"),
    ("CREATE TABLE {t} (id INT PRIMARY KEY); INSERT INTO {t} VALUES (1); "
     "SELECT SUBSTR('x', 1) FROM {t}", "not supported: the function SUBSTR()"),
])
def test_a_failing_call_leaves_nothing_behind(client, name, script, message):
    with pytest.raises(kavrel.SqlError, match=message):
        client.sql(script.format(t=name))
    assert _gone(client, name)


def test_a_failed_commit_unregisters_the_tables_the_call_made(client, name, monkeypatch):
    real_call = kavrel.Client._call

    def call(self, opcode, payload, *codes):
        if opcode == wire.COMMIT_TXN:  # the commit fails validation: the server aborts
            real_call(self, wire.ABORT_TXN, payload, wire.OK)
            raise kavrel.ConflictError("Validation error: transaction aborted: SSI validation "
                                       "failed (serialization conflict)")
        return real_call(self, opcode, payload, *codes)

    registered = []
    real_register = kavrel.Client.register_table
    monkeypatch.setattr(kavrel.Client, "_call", call)
    monkeypatch.setattr(kavrel.Client, "register_table",
                        lambda self, n, cols: registered.append(n) or real_register(self, n, cols))
    with pytest.raises(kavrel.ConflictError):
        client.sql(f"CREATE TABLE {name} (id INT PRIMARY KEY); INSERT INTO {name} VALUES (1)")
    monkeypatch.undo()
    assert registered == [name]  # registered before the commit, dropped after it failed
    assert _gone(client, name)


@pytest.mark.parametrize("statement,message", [
    ("CREATE TABLE {t} (a INT, b TEXT)", "has no row key. Declare one INTEGER or TEXT column "
     "PRIMARY KEY"),
    ("CREATE TABLE {t} (id REAL, b TEXT)", "its row key column id is REAL"),
    ("CREATE TABLE {t} (a REAL PRIMARY KEY, id INT)", "its row key column a is REAL"),
    ("CREATE TABLE {t} (a BLOB PRIMARY KEY)", "its row key column a is BLOB"),
    ("CREATE TABLE {t} (id INT, ID TEXT)", "duplicate column name: ID"),
    ("CREATE TABLE {t} (a INT, b INT, PRIMARY KEY (a, b))", "PRIMARY KEY of several columns"),
    ("CREATE TABLE {t} (id INTEGER PRIMARY KEY AUTOINCREMENT)", "AUTOINCREMENT"),
    ("CREATE TABLE {t} (id INT PRIMARY KEY, v TEXT UNIQUE)", "constraint UNIQUE of column v"),
    ("CREATE TABLE {t} (id INT PRIMARY KEY, d DATE)", "column type DATE of column d"),
])
def test_create_table_refusals(client, name, statement, message):
    with pytest.raises(kavrel.SqlError) as e:
        client.sql(statement.format(t=name))
    assert message in str(e.value)
    assert _gone(client, name)


def test_table_without_a_declared_key_uses_its_id_column(client, name):
    client.sql(f"CREATE TABLE {name} (v TEXT, ID INTEGER)")
    assert client.describe(name).columns[1] == kavrel.Column("ID", "int", False)
    client.sql(f"INSERT INTO {name} VALUES ('x', 3)")
    assert client.scan(f"{name}/")[0][0] == f"{name}/3".encode()


def test_create_if_not_exists_and_names_that_differ_in_case(client, name):
    upper = name.upper()
    client.sql(f"CREATE TABLE {upper} (Id INTEGER PRIMARY KEY, Val TEXT)")
    assert client.describe(upper).names() == ["Id", "Val"]  # kept as written
    with pytest.raises(kavrel.SqlError, match=f"table {upper} already exists"):
        client.sql(f"CREATE TABLE {name} (id INTEGER PRIMARY KEY)")
    client.sql(f"CREATE TABLE IF NOT EXISTS {name} (id INTEGER PRIMARY KEY)")
    client.sql(f"INSERT INTO {name} (ID, VAL) VALUES (1, 'a')")
    assert client.sql(f"SELECT id, val FROM {name}").tuples() == [(1, "a")]
    assert client.sql(f"SELECT id, val FROM {name}").columns == ["Id", "Val"]
    # Quoted names too, as in sqlite3.
    assert client.sql(f'SELECT "val" FROM "{name}"').tuples() == [("a",)]
    assert client.sql(f'SELECT "Val" FROM "{upper}"').tuples() == [("a",)]


def test_names_that_match_two_tables_need_their_exact_case(client, name):
    client.register_table(f"{name}x", [("id", "int", False)])
    client.register_table(f"{name.upper()}X", [("id", "int", False)])
    for ident in (f"{name}X", f'"{name}X"'):
        with pytest.raises(kavrel.SqlError, match="ambiguous table name"):
            client.sql(f"SELECT * FROM {ident}")
    assert client.sql(f'SELECT * FROM "{name}x"') == []
    assert client.sql(f"SELECT * FROM {name.upper()}X") == []


def test_create_table_inside_a_transaction(client, server, name):
    other = kavrel.connect(server.db_dir)
    with pytest.raises(RuntimeError):
        with client.transaction() as tx:
            tx.sql(f"CREATE TABLE {name} (k TEXT PRIMARY KEY, n INT)")
            tx.sql(f"INSERT INTO {name} VALUES ('a', 1)")
            raise RuntimeError("abort")
    assert _gone(client, name)
    with client.transaction() as tx:
        tx.sql(f"CREATE TABLE {name} (k TEXT PRIMARY KEY, n INT)")
        tx.sql(f"INSERT INTO {name} VALUES ('a', 1)")
        assert tx.sql(f"SELECT * FROM {name}").tuples() == [("a", 1)]
        tx.insert_row(name, "b", {"k": "b", "n": 2})  # its other requests see the table too
        with pytest.raises(kavrel.SqlError, match="no such table"):
            other.sql(f"SELECT * FROM {name}")  # not before the commit
    assert other.sql(f"SELECT * FROM {name} ORDER BY k").tuples() == [("a", 1), ("b", 2)]
    other.close()


# ---- DROP TABLE (the server's DROP_TABLE, 0x14) -----------------------------------------------


def _people(client, table):
    client.sql(f"CREATE TABLE {table} (id INT PRIMARY KEY, name TEXT); "
               f"INSERT INTO {table} VALUES (1, 'ann'), (2, 'bob')")


def test_client_drop_table(client, name):
    _people(client, name)
    client.put_path([name, "1", "extra"], "a path below a row")
    client.drop_table(name)
    with pytest.raises(kavrel.ServerError, match="Table not found"):
        client.describe(name)
    assert client.scan(f"{name}/") == []
    with pytest.raises(kavrel.ServerError) as e:
        client.drop_table(name)
    assert e.value.text == f"Table not found: {name}"


def test_transaction_drop_table_commits_or_aborts(client, name):
    _people(client, name)
    with pytest.raises(RuntimeError):
        with client.transaction() as tx:
            tx.drop_table(name)
            raise RuntimeError("abort")
    assert client.sql(f"SELECT COUNT(*) AS n FROM {name}") == [{"n": 2}]
    with client.transaction() as tx:
        tx.drop_table(name)
    with pytest.raises(kavrel.ServerError, match="Table not found"):
        client.describe(name)
    assert client.scan(f"{name}/") == []


def test_sql_drop_table(client, name):
    _people(client, name)
    client.sql(f"DROP TABLE {name.upper()}")
    assert _gone(client, name)
    with pytest.raises(kavrel.SqlError, match=f"no such table: {name}"):
        client.sql(f"DROP TABLE {name}")
    client.sql(f"DROP TABLE IF EXISTS {name}")
    # The name can be used again, with another schema and another key.
    client.sql(f"CREATE TABLE {name} (code TEXT PRIMARY KEY)")
    client.sql(f"INSERT INTO {name} VALUES ('x')")
    assert client.sql(f"SELECT * FROM {name}").tuples() == [("x",)]


def test_sql_drop_and_create_again_in_one_call(client, name):
    _people(client, name)
    client.sql(f"DROP TABLE {name}; CREATE TABLE {name} (k TEXT PRIMARY KEY, n REAL); "
               f"INSERT INTO {name} VALUES ('1', 0.5)")
    assert client.describe(name).names() == ["k", "n"]
    assert client.sql(f"SELECT * FROM {name}").tuples() == [("1", 0.5)]
    assert [k for k, _ in client.scan(f"{name}/")] == [f"{name}/1".encode()]
    assert client.get(f"__kavrel_sql/{name}/primary_key") == b"k"


def test_sql_drop_fails_with_the_call(client, name):
    _people(client, name)
    with pytest.raises(kavrel.SqlError, match=f"no such table: {name}"):
        client.sql(f"DROP TABLE {name}; SELECT * FROM {name}")
    assert client.sql(f"SELECT COUNT(*) FROM {name}").tuples() == [(2,)]


def test_sql_drop_inside_a_transaction(client, name):
    _people(client, name)
    tx = client.begin()
    tx.sql(f"DROP TABLE {name}")
    for statement in (f"DROP TABLE {name}", f"SELECT * FROM {name}"):
        with pytest.raises(kavrel.SqlError, match="no such table"):
            tx.sql(statement)
    assert tx.query(name) == []  # its rows are gone for the transaction
    assert client.sql(f"SELECT COUNT(*) FROM {name}").tuples() == [(2,)]  # not yet for others
    tx.abort()
    assert client.sql(f"SELECT COUNT(*) FROM {name}").tuples() == [(2,)]
    with client.transaction() as tx:
        tx.sql(f"DROP TABLE {name}")
    assert _gone(client, name)


# ---- the row key --------------------------------------------------------------------------


def test_rows_written_without_sql_keep_their_keys(client, name):
    client.sql(f"CREATE TABLE {name} (id INT PRIMARY KEY, v TEXT)")
    client.insert_row(name, 7, {"id": 7, "v": "by insert_row"})
    client.put_path([name, "8"], "raw")  # too short to be a row
    client.insert_row(name, 5, {"id": 9, "v": "key 5, id column 9"})
    client.put(f"{name}/07", kavrel.pack_row(client.describe(name), {"id": 7, "v": "t/07"}))
    for key in (7, 8, 5):
        with pytest.raises(kavrel.SqlError, match="UNIQUE constraint failed"):
            client.sql(f"INSERT INTO {name} VALUES (?, 'again')", [key])
    # The row under key 5 is row 5 for SQL; 9 is free.
    client.sql(f"INSERT INTO {name} VALUES (9, 'by SQL')")
    assert client.sql(f"SELECT id, v FROM {name} ORDER BY id").tuples() == [
        (5, "key 5, id column 9"), (7, "by insert_row"), (9, "by SQL")]
    with pytest.raises(kavrel.SqlError, match="UNIQUE constraint failed"):
        client.sql(f"UPDATE {name} SET id = 9 WHERE id = 5")
    # Rewritten by SQL, the row's id column holds its key again (QUERY answers every packed
    # row in key order: t/07, t/5, t/7, t/9).
    client.sql(f"UPDATE {name} SET v = 'fixed' WHERE id = 5")
    assert client.query(name, columns=["id"]) == [{"id": 7}, {"id": 5}, {"id": 7}, {"id": 9}]


def test_rows_written_by_kavrel_cli_keep_their_keys(server, client, name):
    cli = pathlib.Path(SERVER).with_name("kavrel-cli")
    assert cli.exists(), f"no kavrel-cli beside {SERVER}"
    client.sql(f"CREATE TABLE {name} (id INT PRIMARY KEY, v TEXT)")

    def run(*args):
        subprocess.run([str(cli), "-s", server.socket, *args], check=True, capture_output=True,
                       env={**os.environ, "NO_COLOR": "1"})

    run("insert", name, "3", "id=3", "v=from the cli")
    run("insert", name, "4", "id=40", "v=id column 40")
    run("put-path", f"{name}/6", "raw")
    for key in (3, 4, 6):
        with pytest.raises(kavrel.SqlError, match="UNIQUE constraint failed"):
            client.sql(f"INSERT INTO {name} (id) VALUES ({key})")
    client.sql(f"INSERT INTO {name} (id, v) VALUES (40, 'by SQL')")
    assert client.sql(f"SELECT id FROM {name} ORDER BY id").tuples() == [(3,), (4,), (40,)]


# ---- outside the subset -------------------------------------------------------------------


@pytest.mark.parametrize("statement,construct", [
    ("SELECT SUBSTR(v, 1) FROM {t}", "the function SUBSTR()"),
    ("SELECT my_func(v) FROM {t}", "the function my_func()"),
    ("SELECT v FROM {t} WHERE v GLOB 'a*'", "GLOB"),
    ("SELECT COUNT(*) OVER () FROM {t}", "window functions (OVER)"),
    ("SELECT v FROM {t} UNION SELECT v FROM {t}", "UNION"),
    ("SELECT v FROM {t} WHERE EXISTS (SELECT 1 FROM {t})", "EXISTS"),
    ("WITH c AS (SELECT 1) SELECT * FROM c", "WITH"),
    ("SELECT * FROM (SELECT v FROM {t})", "a subquery in FROM"),
    ("SELECT * FROM {t} NATURAL JOIN {t} AS b", "NATURAL JOIN"),
    ("SELECT * FROM {t} a JOIN {t} b USING (id)", "USING"),
    ("SELECT * FROM {t} a FULL OUTER JOIN {t} b ON a.id = b.id", "FULL JOIN"),
    ("SELECT v COLLATE NOCASE FROM {t}", "COLLATE"),
    ("SELECT id & 1 FROM {t}", "the operator &"),
    ("SELECT (id, v) FROM {t}", "row values"),
    ("SELECT id FROM {t} WHERE v LIKE 'a!%' ESCAPE '!'", "LIKE ... ESCAPE"),
    ("SELECT * FROM {t} a WHERE v IN (SELECT v FROM {t} WHERE id = a.id)",
     "correlated subqueries"),
    ("CREATE INDEX i ON {t} (v)", "CREATE INDEX"),
    ("ALTER TABLE {t} ADD COLUMN w INT", "ALTER TABLE"),
    ("UPDATE {t} SET v = 'x' WHERE id = ?1", "the parameter ?1"),
    ("SELECT :named FROM {t}", "the parameter :named"),
    ("BEGIN", "TRANSACTION in sql()"),
    ("CREATE TABLE {t}2 AS SELECT * FROM {t}", "CREATE TABLE ... AS SELECT"),
])
def test_constructs_outside_the_subset_are_named_on_an_empty_table(client, name, statement,
                                                                   construct):
    client.sql(f"CREATE TABLE {name} (id INT PRIMARY KEY, v TEXT)")
    with pytest.raises(kavrel.NotSupportedError) as e:
        client.sql(statement.format(t=name), [1] if "?" in statement else None)
    assert str(e.value) == f"not supported: {e.value.construct}"
    assert construct in e.value.construct
    for internal in ("ANONYMOUS", "Required keyword", "<class", "sqlglot", "expressions."):
        assert internal not in str(e.value)


@pytest.mark.parametrize("statement", [
    "SELEC 1", "SELECT * FROM", "SELECT 'unterminated", "SELECT (1", "FOO BAR",
    "SELECT * FROM t WHERE", "INSERT INTO t VALUES (1",
])
def test_syntax_errors_are_reported_plainly(client, statement):
    with pytest.raises(kavrel.SqlError) as e:
        client.sql(statement)
    assert str(e.value).startswith("cannot parse SQL: ")
    for internal in ("\x1b", "Required keyword", "<class", "Line 1, Col"):
        assert internal not in str(e.value)


def test_a_select_of_several_tables_reads_one_snapshot(client, name, monkeypatch):
    _people(client, name)
    begun, committed = [], []
    real_begin = client.begin

    def begin():
        tx = real_begin()
        begun.append(tx)
        monkeypatch.setattr(tx, "commit", lambda: committed.append(tx))
        return tx

    monkeypatch.setattr(client, "begin", begin)
    rows = client.sql(f"SELECT a.name, b.name FROM {name} a JOIN {name} b ON a.id < b.id")
    assert rows.tuples() == [("ann", "bob")]
    assert client.sql(f"SELECT name FROM {name} WHERE id IN (SELECT MAX(id) FROM {name})"
                      ).tuples() == [("bob",)]
    assert len(begun) == 2 and committed == []
    assert all(tx.finished for tx in begun)  # aborted: a read has nothing to commit
    assert client.sql(f"SELECT name FROM {name} WHERE id = 1").tuples() == [("ann",)]
    assert len(begun) == 2  # one table: one SCAN, no transaction
