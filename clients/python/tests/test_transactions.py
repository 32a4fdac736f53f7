"""Transactions (IN_TXN, 0x11) and COMPACT (0x10), and the SQL statements that write, which run
inside a transaction. Every test here needs those requests on the server."""

import sqlite3
import threading

import pytest

import kavrel

pytestmark = pytest.mark.needs_txn


def test_commit_makes_writes_visible(client, server, name):
    other = kavrel.connect(server.db_dir)
    with client.transaction() as tx:
        tx.put(f"{name}/a", "1")
        tx.put_path([name, "b"], "2")
        assert tx.get(f"{name}/a") == b"1"  # its own write
        assert other.get(f"{name}/a") == b""  # not yet for others
        assert tx.scan(f"{name}/") == [(f"{name}/a".encode(), b"1"), (f"{name}/b".encode(), b"2")]
    assert other.get(f"{name}/a") == b"1"
    assert other.get_path(f"{name}/b") == b"2"
    other.close()


def test_exception_aborts(client, name):
    client.put(f"{name}/keep", "old")
    with pytest.raises(RuntimeError):
        with client.transaction() as tx:
            tx.put(f"{name}/keep", "new")
            tx.delete(f"{name}/keep")
            raise RuntimeError("boom")
    assert client.get(f"{name}/keep") == b"old"


def test_write_write_conflict_raises_conflict_error(client, server, name):
    other = kavrel.connect(server.db_dir)
    tx1 = client.begin()
    tx2 = other.begin()
    tx1.put(f"{name}/k", "one")
    with pytest.raises(kavrel.ConflictError) as e:
        tx2.put(f"{name}/k", "two")
        tx2.commit()
    assert "aborted" in e.value.text
    tx1.commit()
    assert client.get(f"{name}/k") == b"one"
    other.close()


def test_serialization_conflict_on_commit(client, server, name):
    client.put(f"{name}/x", "0")
    client.put(f"{name}/y", "0")
    other = kavrel.connect(server.db_dir)
    tx1, tx2 = client.begin(), other.begin()
    # Write skew: each reads what the other writes.
    tx1.get(f"{name}/x")
    tx2.get(f"{name}/y")
    tx1.put(f"{name}/y", "1")
    tx2.put(f"{name}/x", "1")
    tx1.commit()
    with pytest.raises(kavrel.ConflictError):
        tx2.commit()
    other.close()


def test_unknown_handle_is_server_error(client):
    tx = kavrel.Transaction(client, 987654321)
    with pytest.raises(kavrel.ServerError) as e:
        tx.get("anything")
    assert e.value.text == "Transaction not found: 987654321"
    assert not isinstance(e.value, kavrel.ConflictError)


def test_run_transaction_retries_conflicts(client, server, name):
    client.put(f"{name}/counter", "0")
    other = kavrel.connect(server.db_dir)
    attempts = []

    def increment(tx):
        attempts.append(1)
        value = int(tx.get(f"{name}/counter"))
        if len(attempts) == 1:  # someone else commits in between, once
            other.put(f"{name}/counter", "100")
        tx.put(f"{name}/counter", str(value + 1))
        return value + 1

    assert client.run_transaction(increment, retries=3) == 101
    assert len(attempts) == 2
    assert client.get(f"{name}/counter") == b"101"
    other.close()


def test_run_transaction_gives_up(client, server, name):
    other = kavrel.connect(server.db_dir)

    def always_conflicts(tx):
        tx.get(f"{name}/c")
        other.put(f"{name}/c", "x")
        tx.put(f"{name}/c", "y")

    with pytest.raises(kavrel.ConflictError):
        client.run_transaction(always_conflicts, retries=2)
    other.close()


def test_concurrent_increments_are_serializable(server, name):
    with kavrel.connect(server.db_dir) as c:
        c.put(f"{name}/n", "0")
    errors = []

    def work():
        try:
            with kavrel.connect(server.db_dir) as c:
                for _ in range(10):
                    c.run_transaction(
                        lambda tx: tx.put(f"{name}/n", str(int(tx.get(f"{name}/n")) + 1)),
                        retries=1000)
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=work) for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    with kavrel.connect(server.db_dir) as c:
        assert c.get(f"{name}/n") == b"30"


def test_query_inside_transaction_sees_own_rows(client, name):
    client.register_table(name, [("id", "int", False), ("v", "text", True)])
    with client.transaction() as tx:
        tx.insert_row(name, 1, {"id": 1, "v": "a"})
        assert tx.query(name) == [{"id": 1, "v": "a"}]
    assert client.query(name) == [{"id": 1, "v": "a"}]


def test_compact_keeps_data(client, name):
    client.put(name, "v1")
    client.put(name, "v2")
    client.compact()
    assert client.get(name) == b"v2"


def test_sql_writes_then_reads(client, name):
    client.sql(f"CREATE TABLE {name} (id INT PRIMARY KEY, name TEXT NOT NULL, score FLOAT)")
    r = client.sql(f"INSERT INTO {name} (id, name, score) VALUES (?, ?, ?), (2, 'bob', NULL)",
                   [1, "alice", 2.5])
    assert r.rowcount == 2
    assert client.sql(f"SELECT * FROM {name} ORDER BY id") == [
        {"id": 1, "name": "alice", "score": 2.5}, {"id": 2, "name": "bob", "score": None}]
    assert client.sql(f"UPDATE {name} SET score = score + 1 WHERE id = 1").rowcount == 1
    assert client.sql(f"DELETE FROM {name} WHERE score IS NULL").rowcount == 1
    assert client.sql(f"SELECT id, score FROM {name}") == [{"id": 1, "score": 3.5}]
    with pytest.raises(kavrel.SqlError):
        client.sql(f"INSERT INTO {name} (id, name) VALUES (1, 'again')")


# Statements applied in turn to both; after each, the whole table must read the same.
WRITES = [
    ("INSERT INTO {t} (id, owner, balance, note) VALUES (1, 'ann', 100, NULL)", ()),
    ("INSERT INTO {t} (id, owner, balance) VALUES (2, 'ben', 50), (3, 'cy', 0), (10, 'dee', 7)",
     ()),
    ("INSERT INTO {t} VALUES (?, ?, ?, ?)", (4, "eve", -20, "new")),
    ("INSERT INTO {t} VALUES ('5', 55, ' 12 ', 3.5)", ()),  # converted by column affinity
    ("UPDATE {t} SET balance = balance + 5 WHERE balance < 60", ()),
    ("UPDATE {t} SET note = 'rich' WHERE balance >= 100 OR owner LIKE 'D%'", ()),
    ("UPDATE {t} SET balance = balance * 2, note = owner || '!' WHERE id IN (2, 3)", ()),
    ("UPDATE {t} SET note = NULL WHERE note IS NOT NULL AND id <> 1", ()),
    ("UPDATE {t} SET id = 30 WHERE id = 3", ()),  # the row key moves
    ("DELETE FROM {t} WHERE balance < ?", (0,)),
    ("UPDATE {t} SET balance = 0", ()),
    ("DELETE FROM {t} WHERE id = 999", ()),
    ("DELETE FROM {t}", ()),
]


def test_writes_match_sqlite3(client, name):
    db = sqlite3.connect(":memory:")
    create = "CREATE TABLE {t} (id INT PRIMARY KEY, owner TEXT NOT NULL, balance INT, note TEXT)"
    db.execute(create.format(t=name))
    client.sql(create.format(t=name))
    for statement, params in WRITES:
        text = statement.format(t=name)
        want = db.execute(text, params).rowcount
        assert client.sql(text, params).rowcount == want, text
        select = f"SELECT * FROM {name} ORDER BY id"
        assert client.sql(select).tuples() == db.execute(select).fetchall(), text


@pytest.mark.parametrize("statement,message", [
    ("INSERT INTO {t} (id, owner) VALUES (1, 'dup')", "UNIQUE constraint failed"),
    ("INSERT INTO {t} (owner) VALUES ('no key')", "NOT NULL constraint failed"),
    ("INSERT INTO {t} (id) VALUES (7)", "column 'owner' (text) is not nullable"),
    ("INSERT INTO {t} (id, owner, balance) VALUES (7, 'x', 'lots')", "column 'balance' (int)"),
    ("UPDATE {t} SET id = 2 WHERE id = 1", "UNIQUE constraint failed"),
    ("INSERT INTO {t} (id, nope) VALUES (7, 1)", "no column named nope"),
])
def test_failed_statement_writes_nothing(client, name, statement, message):
    client.sql(f"CREATE TABLE {name} (id INT PRIMARY KEY, owner TEXT NOT NULL, balance INT)")
    client.sql(f"INSERT INTO {name} (id, owner) VALUES (1, 'a'), (2, 'b')")
    before = client.scan(f"{name}/")
    with pytest.raises(kavrel.SqlError) as e:
        # The first row is written before the failing one: the transaction undoes it.
        client.sql(f"INSERT INTO {name} (id, owner) VALUES (50, 'first'); "
                   + statement.format(t=name))
    assert message in str(e.value)
    assert client.scan(f"{name}/") == before


def test_sql_inside_an_open_transaction(client, name):
    client.sql(f"CREATE TABLE {name} (id INT, v TEXT)")  # no PRIMARY KEY: the id column
    with client.transaction() as tx:
        tx.sql(f"INSERT INTO {name} (id, v) VALUES (1, 'a')")
        assert tx.sql(f"SELECT v FROM {name}") == [{"v": "a"}]
        assert client.sql(f"SELECT v FROM {name}") == []
    assert client.sql(f"SELECT v FROM {name}") == [{"v": "a"}]


def test_several_statements_run_in_one_transaction(client, name, monkeypatch):
    client.sql(f"CREATE TABLE {name} (id INT, v INT)")
    begun = []
    real_begin = client.begin
    monkeypatch.setattr(client, "begin", lambda: begun.append(1) or real_begin())
    r = client.sql(f"INSERT INTO {name} VALUES (1, 10); INSERT INTO {name} VALUES (2, 20); "
                   f"SELECT SUM(v) AS s FROM {name}")
    assert r == [{"s": 30}]
    assert client.sql(f"SELECT id FROM {name}; SELECT v FROM {name} WHERE id = 2") == [{"v": 20}]
    assert begun == [1, 1]
