"""Every request of the protocol client against a real server."""

import json
import socket
import struct
import threading

import pytest

import kavrel
from kavrel import wire


def test_ping_and_stats(client):
    assert client.ping() is True
    stats = client.stats()
    assert isinstance(stats, dict) and stats, stats


@pytest.mark.parametrize("key,value,want_key,want_value", [
    ("plain", "world", b"plain", b"world"),
    (b"bin\x00key", b"\x00\xff\x01", b"bin\x00key", b"\x00\xff\x01"),
    ("utf8-\u00e9", "\u2205 caf\u00e9", "utf8-\u00e9".encode(), "\u2205 caf\u00e9".encode()),
    ("empty-value", b"", b"empty-value", b""),
])
def test_put_get_delete(client, name, key, value, want_key, want_value):
    key = name + "/" + key if isinstance(key, str) else name.encode() + b"/" + key
    client.put(key, value)
    assert client.get(key) == want_value
    client.delete(key)
    assert client.get(key) == b""


def test_put_overwrites(client, name):
    client.put(name, "one")
    client.put(name, "two")
    assert client.get(name) == b"two"


def test_paths(client, name):
    client.put_path(f"{name}/1/name", "alice")
    client.put_path([name, "1", "age"], "31")
    assert client.get_path([name, "1", "name"]) == b"alice"
    assert client.get_path(f"{name}/1/age") == b"31"
    # A path is the key its segments join to.
    assert client.get(f"{name}/1/name") == b"alice"
    rows = client.query(name)
    assert rows == [{"age": "31", "name": "alice"}]


def test_scan_returns_pairs_in_key_order(client, name):
    for k in ("b", "a", "c/d", "ab"):
        client.put(f"{name}/{k}", k.upper())
    client.put(f"{name}x/other", "no")
    assert client.scan(f"{name}/") == [
        (f"{name}/a".encode(), b"A"), (f"{name}/ab".encode(), b"AB"),
        (f"{name}/b".encode(), b"B"), (f"{name}/c/d".encode(), b"C/D")]
    assert client.scan(f"{name}/zz") == []


def test_scan_prefix_too_short_is_server_error(client):
    with pytest.raises(kavrel.ServerError) as e:
        client.scan("a")
    assert "Prefix too short" in e.value.text


def test_register_describe_tables(client, name):
    cols = [("id", "int", False), "name:text", kavrel.Column("score", "float", True),
            ("n", "uint", False), ("blob", "binary", True), ("ok", "bool", True)]
    client.register_table(name, cols)
    schema = client.describe(name)
    assert schema == kavrel.Schema(name, (
        kavrel.Column("id", "int", False), kavrel.Column("name", "text", False),
        kavrel.Column("score", "float", True), kavrel.Column("n", "uint", False),
        kavrel.Column("blob", "binary", True), kavrel.Column("ok", "bool", True)))
    names = [t.name for t in client.tables()]
    assert name in names and names == sorted(names)


def test_describe_unknown_table(client):
    with pytest.raises(kavrel.ServerError) as e:
        client.describe("no_such_table")
    assert e.value.text == "Table not found: no_such_table"


TYPED_ROWS = [
    ("1", {"id": 1, "name": "alice", "score": 1.5, "n": 2**64 - 1, "blob": b"\x00\x01",
           "ok": True}),
    ("2", {"id": -(2**63), "name": "comma, semi; \"q\"", "score": None, "n": 0, "blob": None,
           "ok": False}),
    ("3", {"id": 2**63 - 1, "name": "", "score": -2.25, "n": 7, "blob": b"", "ok": None}),
]


def _typed_table(client, name):
    client.register_table(name, [("id", "int", False), ("name", "text", False),
                                 ("score", "float", True), ("n", "uint", False),
                                 ("blob", "binary", True), ("ok", "bool", True)])
    for row_id, row in TYPED_ROWS:
        client.insert_row(name, row_id, row)


def test_query_typed_from_schema(client, name):
    _typed_table(client, name)
    assert client.query(name) == [row for _, row in TYPED_ROWS]


@pytest.mark.parametrize("limit,offset,columns,want", [
    (0, 0, ["name"], [{"name": r["name"]} for _, r in TYPED_ROWS]),
    (2, 0, ["id", "ok"], [{"id": r["id"], "ok": r["ok"]} for _, r in TYPED_ROWS[:2]]),
    (0, 1, None, [r for _, r in TYPED_ROWS[1:]]),
    (1, 2, ["score"], [{"score": -2.25}]),
    (0, 5, None, []),
])
def test_query_limit_offset_columns(client, name, limit, offset, columns, want):
    _typed_table(client, name)
    assert client.query(name, limit=limit, offset=offset, columns=columns) == want


def test_rows_written_by_python_decode_on_server_and_back(client, name):
    _typed_table(client, name)
    scanned = client.scan(f"{name}/")
    schema = client.describe(name)
    assert [kavrel.unpack_row(schema, v) for _, v in scanned] == [r for _, r in TYPED_ROWS]


@pytest.mark.parametrize("row,message", [
    ({"id": 1}, "column 'name' (text) is not nullable"),
    ({"id": "x", "name": "a"}, "column 'id' (int): 'x' is not a whole number"),
    ({"id": 2**63, "name": "a"}, "column 'id' (int)"),
    ({"id": 1, "name": "a", "n": -1}, "column 'n' (uint)"),
    ({"id": 1, "name": "a", "nope": 1}, "has no column 'nope'"),
    ({"id": 1, "name": "a", "score": "1.5"}, "column 'score' (float)"),
])
def test_insert_row_refuses_bad_values(client, name, row, message):
    client.register_table(name, [("id", "int", False), ("name", "text", False),
                                 ("score", "float", True), ("n", "uint", True)])
    with pytest.raises(kavrel.SchemaError) as e:
        client.insert_row(name, 1, row)
    assert message in str(e.value)
    assert client.scan(f"{name}/") == []


def test_checkpoint_keeps_data(client, name):
    client.put(name, "kept")
    client.checkpoint()
    assert client.get(name) == b"kept"


def test_oversized_value_refused_before_sending(client, name):
    with pytest.raises(kavrel.RequestTooLargeError):
        client.put(name, b"x" * kavrel.MAX_MESSAGE_SIZE)
    # Nothing was sent: the connection still works.
    assert client.ping()
    # A payload of exactly the limit is accepted by the server.
    key = name.encode()
    value = b"y" * (kavrel.MAX_MESSAGE_SIZE - 4 - len(key))
    client.put(key, value)
    assert client.get(key) == value


def test_server_sql_refusal_names_python_sdk(client):
    answer = client.execute_sql_on_server("SELECT 1")
    assert "Python SDK" in json.dumps(answer)


def test_connect_to_missing_socket_is_connection_error(tmp_path):
    with pytest.raises(kavrel.ConnectionError):
        kavrel.connect(tmp_path)
    with pytest.raises(kavrel.Error):
        kavrel.connect(socket=str(tmp_path / "none.sock"))


def listening(tmp_path, name):
    """A socket that accepts connections and never answers by itself: (path, listener)."""
    path = str(tmp_path / name)
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(path)
    listener.listen(1)
    return path, listener


def answer_once(listener, answer):
    """Accepts one connection, reads its request, sends `answer` and hangs up (a thread)."""

    def serve():
        conn, _ = listener.accept()
        conn.recv(100)
        conn.sendall(answer)
        conn.close()

    t = threading.Thread(target=serve)
    t.start()
    return t


def test_lost_connection_is_connection_error(tmp_path):
    path, listener = listening(tmp_path, "fake.sock")
    # A VALUE answer that promises 10 bytes, then the hang-up mid-answer.
    t = answer_once(listener, struct.pack("<BI", wire.VALUE, 10) + b"abc")
    c = kavrel.connect(socket=path)
    with pytest.raises(kavrel.ConnectionError):
        c.get("k")
    t.join()
    with pytest.raises(kavrel.ConnectionError):
        c.ping()
    listener.close()


def test_client_shared_between_threads(client, name):
    errors = []

    def work(t):
        try:
            for i in range(50):
                client.put(f"{name}/{t}/{i}", f"{t}:{i}")
                assert client.get(f"{name}/{t}/{i}") == f"{t}:{i}".encode()
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert len(client.scan(f"{name}/")) == 200


def test_pool_lends_distinct_clients(server, name):
    pool = kavrel.Pool(server.db_dir, size=2)
    with pool.client() as a, pool.client() as b:
        assert a is not b
        a.put(name, "v")
        assert b.get(name) == b"v"
    with pool.client() as c:
        assert c in (a, b)  # returned clients are reused
    pool.close()


def test_timeout_is_connection_error_and_closes(tmp_path):
    path, listener = listening(tmp_path, "silent.sock")
    c = kavrel.connect(socket=path, timeout=0.2)
    with pytest.raises(kavrel.ConnectionError) as e:
        c.ping()  # accepted by the backlog, never answered
    assert "lost" in str(e.value)
    assert c.closed
    listener.close()


def test_unexpected_answer_code_is_connection_error(tmp_path):
    path, listener = listening(tmp_path, "odd.sock")
    t = answer_once(listener, struct.pack("<BI", wire.OK, 0))  # OK where PONG is due
    with pytest.raises(kavrel.ConnectionError) as e:
        kavrel.connect(socket=path).ping()
    assert "unexpected answer code 0x80" in str(e.value)
    t.join()
    listener.close()


def test_transaction_handles_without_requests(client):
    tx = client.begin()
    assert isinstance(tx.commit(), int)
    with pytest.raises(kavrel.Error, match="is finished"):
        tx.commit()
    tx = client.begin()
    tx.abort()
    with pytest.raises(kavrel.Error, match="is finished"):
        tx.put("k", "v")  # refused before sending
    with pytest.raises(kavrel.ServerError) as e:
        kavrel.Transaction(client, tx.handle).abort()  # the server forgot the handle
    assert "not found" in e.value.text.lower()
    with pytest.raises(kavrel.Error, match="cannot run inside a transaction"):
        client.begin()._call(kavrel.wire.CHECKPOINT, b"", kavrel.wire.OK)


def test_transaction_context_commits_or_aborts(client):
    with client.transaction() as tx:
        pass
    assert tx.finished
    with pytest.raises(KeyError):
        with client.transaction() as tx:
            raise KeyError("x")
    # Aborted: the server no longer knows the handle.
    with pytest.raises(kavrel.ServerError):
        kavrel.Transaction(client, tx.handle).commit()


@pytest.mark.parametrize("failures,retries,want_calls,raises", [
    (0, 3, 1, False), (2, 3, 3, False), (3, 3, 4, False), (4, 3, 4, True), (1, 0, 1, True),
])
def test_run_transaction_retry_count(client, failures, retries, want_calls, raises):
    calls = []

    def fn(tx):
        calls.append(tx.handle)
        if len(calls) <= failures:
            raise kavrel.ConflictError("Write-write conflict: transaction aborted")
        return "done"

    if raises:
        with pytest.raises(kavrel.ConflictError):
            client.run_transaction(fn, retries=retries)
    else:
        assert client.run_transaction(fn, retries=retries) == "done"
    assert len(calls) == want_calls
    assert len(set(calls)) == want_calls  # a new transaction for every run


@pytest.mark.parametrize("text,kind", [
    ("Internal error: Write-write conflict detected", kavrel.ConflictError),
    ("Validation error: transaction aborted: SSI validation failed (serialization conflict) "
     "or transaction not found", kavrel.ConflictError),
    ("Transaction not found: 5", kavrel.ServerError),
    ("Table not found: t", kavrel.ServerError),
])
def test_error_texts_map_to_exceptions(text, kind):
    err = kavrel.errors.server_error(text)
    assert type(err) is kind and err.text == text


FLOATS = [0.1234567891, 1e300, -1e-300, 1 / 3, 2.5, 100.0, -0.0, 5e-324, 1.7976931348623157e308,
          123456789.123456789, float("inf"), float("-inf")]


def test_query_floats_read_back_exactly(client, name):
    """QUERY's text gives each float as the shortest text that reads back as the same double,
    so query() types them exactly."""
    client.register_table(name, [("id", "int", False), ("f", "float", True)])
    for i, f in enumerate(FLOATS):
        client.insert_row(name, i, {"id": i, "f": f})
    got = {r["id"]: r["f"] for r in client.query(name)}
    assert [got[i] for i in range(len(FLOATS))] == FLOATS
    assert [repr(got[i]) for i in range(len(FLOATS))] == [repr(f) for f in FLOATS]
