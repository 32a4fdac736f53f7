"""Connections closed by the server while idle: the client connects again once (nothing of the
request had reached the server), unless a transaction was open on the connection, which is
then reported lost. The Pool lends only open connections. run_transaction backs off.

The server's idle close is a close of its end of the connection. A proxy between the client and
the server does the same at once, so these tests do not wait for the server's time-out; one
test waits for a server started with --timeout-ms 1000."""

import os
import select
import socket
import struct
import subprocess
import threading
import time

import pytest

import kavrel
from conftest import SERVER
from kavrel import client as client_module
from kavrel import wire


class ClosingProxy:
    """A Unix socket that passes each connection's bytes to and from the server, records the
    request frames each one carried, and can close every connection it holds from the
    server's side."""

    def __init__(self, path, upstream):
        self.path = path
        self.upstream = upstream
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(path)
        self.listener.listen(8)
        self.lock = threading.Lock()
        self.connections = []  # (client side, server side, bytes sent to the server)
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            up = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            up.connect(self.upstream)
            sent = bytearray()
            with self.lock:
                self.connections.append((conn, up, sent))
            threading.Thread(target=self._pump, args=(conn, up, sent), daemon=True).start()
            threading.Thread(target=self._pump, args=(up, conn, None), daemon=True).start()

    @staticmethod
    def _pump(src, dst, record):
        try:
            while True:
                data = src.recv(1 << 16)
                if not data:
                    break
                if record is not None:
                    record += data
                dst.sendall(data)
        except OSError:
            pass
        for s in (src, dst):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def close_all(self):
        """Closes every connection, as the server closes an idle one."""
        with self.lock:
            for conn, _, _ in self.connections:
                try:
                    conn.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass

    def requests(self):
        """Per connection, the opcodes of the request frames it carried."""
        with self.lock:
            out = []
            for _, _, sent in self.connections:
                ops, data = [], bytes(sent)
                while len(data) >= 5:
                    op, length = struct.unpack("<BI", data[:5])
                    ops.append(op)
                    data = data[5 + length:]
                out.append(ops)
            return out

    def close(self):
        self.close_all()
        self.listener.close()


@pytest.fixture
def proxy(server, tmp_path):
    p = ClosingProxy(str(tmp_path / "proxy.sock"), server.socket)
    yield p
    p.close()


def test_idle_close_connects_again_and_sends_the_request_once(proxy, name):
    c = kavrel.connect(socket=proxy.path)
    c.put(name, "1")
    proxy.close_all()
    c.put(name, "2")  # the server had closed the connection: connected again
    assert c.get(name) == b"2"
    assert not c.closed
    assert proxy.requests() == [[wire.PUT], [wire.PUT, wire.GET]]
    c.close()


def test_a_send_into_a_closed_connection_connects_again(proxy, name, monkeypatch):
    c = kavrel.connect(socket=proxy.path)
    c.ping()
    proxy.close_all()
    # Not noticed before sending: the send itself fails on the closed socket.
    monkeypatch.setattr(kavrel.Client, "_peer_closed", lambda self: False)
    c.put(name, "v")
    monkeypatch.undo()
    assert c.get(name) == b"v"
    assert proxy.requests() == [[wire.PING], [wire.PUT, wire.GET]]
    c.close()


def test_idle_close_with_a_transaction_open_reports_it_lost(proxy, name):
    c = kavrel.connect(socket=proxy.path)
    tx = c.begin()
    tx.put(name, "in the transaction")
    proxy.close_all()
    with pytest.raises(kavrel.ConnectionError) as e:
        tx.put(name, "again")
    assert f"transaction {tx.handle} is lost" in str(e.value)
    assert "nothing of it was committed" in str(e.value)
    assert tx.lost and tx.finished
    with pytest.raises(kavrel.ConnectionError, match="lost with its connection"):
        tx.commit()
    # The client itself goes on, on a new connection.
    assert not c.closed
    assert c.get(name) == b""
    assert proxy.requests() == [[wire.BEGIN_TXN, wire.IN_TXN], [wire.GET]]
    c.close()


def test_a_request_outside_the_transaction_also_reports_it_lost(proxy, name):
    c = kavrel.connect(socket=proxy.path)
    with pytest.raises(kavrel.ConnectionError, match="is lost"):
        with c.transaction() as tx:
            tx.put(name, "x")
            proxy.close_all()
            c.ping()
    assert c.ping()
    assert c.get(name) == b""
    c.close()


def test_pool_never_lends_a_closed_connection(proxy, name):
    pool = kavrel.Pool(socket=proxy.path, size=2)
    with pool.client() as a:
        a.put(name, "v")
    proxy.close_all()
    with pool.client() as b:
        assert b is not a and a.closed
        assert b.is_alive()
        assert b.get(name) == b"v"
    with pool.client() as c:
        assert c is b
        c.begin()  # given back with a transaction open: not lent again
    assert c.closed
    with pool.client() as d:
        assert d is not c and d.is_alive()
    pool.close()


def test_a_user_close_is_final(proxy):
    c = kavrel.connect(socket=proxy.path)
    c.close()
    assert c.closed and not c.is_alive()
    with pytest.raises(kavrel.ConnectionError, match="closed"):
        c.ping()


def _wait_closed_by_server(sock, seconds):
    """Waits until the server has closed the connection of sock (it reads as ended)."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if select.select([sock], [], [], 0.1)[0]:
            return sock.recv(1, socket.MSG_PEEK) == b""
    return False


def test_server_idle_timeout(tmp_path, name):
    """A server with --timeout-ms 1000 closes idle connections after a second (a server that
    closes them after its fixed 30 s makes this test wait that long)."""
    db = str(tmp_path / "db")
    log = open(tmp_path / "server.log", "wb")
    proc = subprocess.Popen([SERVER, "--db", db, "--timeout-ms", "1000"], stdout=log,
                            stderr=subprocess.STDOUT, env={**os.environ, "NO_COLOR": "1"})
    try:
        deadline = time.monotonic() + 30
        while True:
            try:
                plain = kavrel.connect(db)
                break
            except kavrel.ConnectionError:
                assert time.monotonic() < deadline and proc.poll() is None
                time.sleep(0.05)
        in_txn = kavrel.connect(db)
        plain.put(name, "before")
        tx = in_txn.begin()
        tx.put(name, "never committed")
        assert _wait_closed_by_server(plain._sock, 45)
        assert _wait_closed_by_server(in_txn._sock, 5)
        assert plain.get(name) == b"before"  # connected again
        with pytest.raises(kavrel.ConnectionError, match=f"transaction {tx.handle} is lost"):
            tx.commit()
        assert in_txn.get(name) == b"before"
    finally:
        proc.terminate()
        proc.wait(timeout=30)
        log.close()


def test_run_transaction_backs_off_exponentially_with_jitter(client, monkeypatch):
    bounds, waits = [], []
    monkeypatch.setattr(client_module, "_uniform", lambda lo, hi: bounds.append((lo, hi)) or hi / 2)
    monkeypatch.setattr(client_module, "_sleep", waits.append)
    calls = []

    def fn(tx):
        calls.append(1)
        if len(calls) <= 9:
            raise kavrel.ConflictError("Write-write conflict: transaction aborted")
        return "done"

    assert client.run_transaction(fn, backoff=0.001, max_backoff=0.1) == "done"
    want = [min(0.1, 0.001 * 2**k) for k in range(9)]
    assert bounds == [(0, b) for b in want]
    assert waits == [b / 2 for b in want]
    assert want[-1] == 0.1  # capped


def test_run_transaction_default_retries_hold_under_contention(server, name):
    """4 threads incrementing one counter, with the default retries: no increment gives up."""
    with kavrel.connect(server.db_dir) as c:
        c.put(name, "0")
    errors = []

    def work():
        try:
            with kavrel.connect(server.db_dir) as c:
                for _ in range(40):
                    c.run_transaction(lambda tx: tx.put(name, str(int(tx.get(name)) + 1)))
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    with kavrel.connect(server.db_dir) as c:
        assert c.get(name) == b"160"
