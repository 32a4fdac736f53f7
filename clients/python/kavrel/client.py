"""The connection to a kavrel-server, its requests, transactions and a pool.

Thread safety: a Client may be shared between threads. Each request holds the client's lock
while it sends its frame and reads the answer, so requests from several threads are run one
after another on the one connection. A Transaction belongs to the thread that opened it (its
requests are still serialized by its client's lock). For requests that should run in parallel,
give each thread its own Client, or take them from a Pool.

Reconnection: the server closes a connection that has been idle for its time-out (30 s by
default). A Client notices it before its next request goes out (the socket reads as closed, or
the send fails on a closed socket): nothing of that request reached the server, so when no
transaction is open on the connection the client connects again and sends it, once. With a
transaction open it raises ConnectionError saying that the transaction is lost (the server
aborted it when it closed the connection); the next request connects again. A connection lost
in the middle of a request (after it was sent) is not retried, since the server may have run
it: the client is closed for good.
"""

import json
import os
import queue
import random
import select
import socket
import struct
import threading
import time
from contextlib import contextmanager

from . import wire
from .errors import ConflictError, ConnectionError, Error, ServerError


def connect(db_dir=None, socket=None, timeout=None):  # noqa: A002 - the documented keyword
    """A Client connected to the server of db_dir (its socket is db_dir/kavrel.sock) or to the
    socket path given. timeout (seconds) bounds each send and answer; None waits."""
    if socket is None:
        if db_dir is None:
            db_dir = "kavrel_data"
        socket = os.path.join(os.fspath(db_dir), "kavrel.sock")
    return Client(socket, timeout=timeout)


class _Requests:
    """The data requests shared by Client and Transaction. Keys, values and paths are bytes;
    str is accepted and encoded as UTF-8."""

    def _call(self, opcode, payload, *codes):  # pragma: no cover - overridden
        raise NotImplementedError

    def _schema_for(self, path):  # pragma: no cover - overridden
        raise NotImplementedError

    def put(self, key, value):
        """Writes value under key; durable once this returns."""
        self._call(wire.PUT, wire.encode_put(key, value), wire.OK)

    def get(self, key):
        """The value of key; b"" when absent (the server answers absent keys with an empty
        value)."""
        return self._call(wire.GET, wire.as_bytes(key, "key"), wire.VALUE)

    def delete(self, key):
        self._call(wire.DELETE, wire.as_bytes(key, "key"), wire.OK)

    def put_path(self, path, value):
        """path is "a/b/c" or a sequence of segments."""
        self._call(wire.PUT_PATH, wire.encode_path(path) + wire.as_bytes(value), wire.OK)

    def get_path(self, path):
        return self._call(wire.GET_PATH, wire.encode_path(path), wire.VALUE)

    def scan(self, prefix):
        """[(key, value), ...] of the keys starting with prefix (at least 2 bytes), in
        ascending byte order. The server leaves out keys that are not UTF-8."""
        return wire.decode_scan(self._call(wire.SCAN, wire.as_bytes(prefix, "prefix"),
                                           wire.VALUE))

    def query_toon(self, path, limit=0, offset=0, columns=None, exact_floats=False):
        """The QUERY answer as the server's TOON text: floats with six digits after the point,
        or with exact_floats the shortest text that reads back as the same double."""
        payload = wire.encode_query(path, limit, offset, columns,
                                    wire.QUERY_EXACT_FLOATS if exact_floats else 0)
        return self._call(wire.QUERY, payload, wire.VALUE).decode("utf-8")

    def query(self, path, limit=0, offset=0, columns=None):
        """The rows of a table as dicts. For a registered table each value is typed from its
        column (int, float, str, bytes, bool; None for NULL); a float is read from the server's
        text, the shortest that reads back as the same double. For path rows the values are
        texts. limit and offset 0 mean none."""
        text = self.query_toon(path, limit, offset, columns, exact_floats=True)
        return wire.parse_toon(text, self._schema_for(path))

    def insert_row(self, table, row_id, values):
        """Writes row table/row_id of a registered table as a packed row built from the dict
        values (left-out columns are NULL); SchemaError names a column that does not fit."""
        schema = self._schema_for(table)
        if schema is None:
            raise ServerError(f"Table not found: {table}")
        self.put(f"{table}/{row_id}", wire.pack_row(schema, values))

    def drop_table(self, name):
        """Drops a registered table: its schema and every row under "name/", atomically
        (inside a transaction, when it commits). ServerError "Table not found: NAME" when there
        is no such table."""
        self._call(wire.DROP_TABLE, wire.as_bytes(name, "table name"), wire.OK)

    def sql(self, text, params=None):
        """Runs SQL statements (the subset of kavrel.sql) and answers the last one's rows."""
        from .sql import execute
        return execute(self, text, params)

    def cursor(self):
        """A DB-API-like Cursor: cursor.execute(sql, params), fetchall() gives tuples and
        cursor.description names the columns."""
        from .sql import Cursor
        return Cursor(self)


# run_transaction's defaults: the number of runs after the first, and the back-off between runs:
# a random wait from 0 to min(BACKOFF_MAX, BACKOFF_BASE * 2**k) seconds after the k-th conflict.
DEFAULT_RETRIES = 30
BACKOFF_BASE = 0.001
BACKOFF_MAX = 0.1

# Test hooks: how run_transaction waits and draws its jitter.
_sleep = time.sleep
_uniform = random.uniform


class Client(_Requests):
    """One connection to the server; see the module's notes on threads and reconnection."""

    def __init__(self, socket_path, timeout=None):
        self.socket_path = os.fspath(socket_path)
        self.timeout = timeout
        self._lock = threading.Lock()  # held for one request's send and answer
        self._open = {}  # handle -> Transaction begun on this connection and not finished
        self._dead = None  # why the client is closed for good (None: usable)
        self._sock = self._connect()

    # ---- connection ----

    def _connect(self):
        sock = _socket_module.socket(_socket_module.AF_UNIX, _socket_module.SOCK_STREAM)
        sock.settimeout(self.timeout)
        try:
            sock.connect(self.socket_path)
        except OSError as e:
            sock.close()
            raise ConnectionError(f"cannot connect to {self.socket_path}: {e}") from None
        return sock

    def close(self):
        with self._lock:
            self._drop_socket("the connection is closed")

    @property
    def closed(self):
        """True once close() was called or a connection broke in the middle of a request. A
        connection that the server closed while idle does not count: the next request connects
        again."""
        return self._dead is not None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _drop_socket(self, dead=None):
        """Closes the socket; `dead` (a reason) closes the client for good. The open
        transactions are lost with the connection: answers their handles."""
        if self._sock is not None:
            self._sock.close()
            self._sock = None
        if dead is not None and self._dead is None:
            self._dead = dead
        lost = sorted(self._open)
        for tx in list(self._open.values()):
            tx.finished = True
            tx.lost = True
        self._open.clear()
        return lost

    def _peer_closed(self):
        """True when the server has closed the connection (its end reads as closed) while no
        request was under way. Never blocks."""
        poller = select.poll()
        poller.register(self._sock, select.POLLIN)
        if not poller.poll(0):
            return False  # nothing to read: open
        try:
            return self._sock.recv(1, _socket_module.MSG_PEEK) == b""
        except OSError:
            return True  # reset

    def is_alive(self):
        """False when the client is closed, or the server has closed its connection (the next
        request would connect again). Sends nothing."""
        with self._lock:
            return self._dead is None and self._sock is not None and not self._peer_closed()

    def _closed_by_server(self, cause):
        """The server closed the connection before the request went out (nothing of it was
        read): with transactions open, they are lost and ConnectionError says so; otherwise
        the connection is made again, for the request to be sent once more."""
        lost = self._drop_socket()
        if lost:
            handles = ", ".join(str(h) for h in lost)
            noun = "transaction" if len(lost) == 1 else "transactions"
            raise ConnectionError(
                f"the server closed the connection to {self.socket_path} ({cause}): the open "
                f"{noun} {handles} is lost, nothing of it was committed; the next request "
                "connects again")
        self._sock = self._connect()

    def _recv_exact(self, n):
        chunks = []
        while n > 0:
            chunk = self._sock.recv(min(n, 1 << 20))
            if not chunk:
                raise ConnectionError("the server closed the connection")
            chunks.append(chunk)
            n -= len(chunk)
        return b"".join(chunks)

    def _send(self, data):
        """Sends a whole frame, connecting again (once) when the server had closed the
        connection before any of it was read."""
        if self._sock is None:
            self._sock = self._connect()  # the server's close was reported by the last request
        elif self._peer_closed():
            self._closed_by_server("idle connection closed")
        try:
            self._sock.sendall(data)
            return
        except (BrokenPipeError, ConnectionResetError):
            # The server had closed the connection: an incomplete frame is never run.
            self._closed_by_server("closed before the request was sent")
        self._sock.sendall(data)

    def _round_trip(self, opcode, payload):
        """(answer code, payload). A connection lost once the request was sent closes the
        client for good: every later request raises ConnectionError (its transactions are gone
        with it)."""
        data = wire.frame(opcode, payload)  # refuses oversized requests before sending
        with self._lock:
            if self._dead is not None:
                raise ConnectionError(self._dead)
            try:
                self._send(data)
                code, length = struct.unpack("<BI", self._recv_exact(wire.FRAME_HEADER_SIZE))
                return code, self._recv_exact(length)
            except ConnectionError as e:
                if self._sock is not None:  # lost mid-request
                    raise self._lost(str(e)) from None
                raise
            except BaseException as e:
                # A frame cut short (an error, a timeout, Ctrl-C) leaves the stream out of step
                # with the answers, so the connection cannot be used again.
                if isinstance(e, OSError):
                    raise self._lost(f"connection to {self.socket_path} lost: {e}") from None
                self._drop_socket("the connection was abandoned in the middle of a request")
                raise

    def _lost(self, reason):
        lost = self._drop_socket(reason)
        if lost:
            reason += f"; transaction {', '.join(str(h) for h in lost)} is lost with it"
            self._dead = reason
        return ConnectionError(reason)

    def _call(self, opcode, payload, *codes):
        return wire.expect(self._round_trip(opcode, payload), *codes)

    # ---- requests without a transaction ----

    def ping(self):
        """True when the server answers PONG."""
        self._call(wire.PING, b"", wire.PONG)
        return True

    def checkpoint(self):
        self._call(wire.CHECKPOINT, b"", wire.OK)

    def compact(self):
        """Compacts the log; returns once the compaction is durable."""
        self._call(wire.COMPACT, b"", wire.OK)

    def backup(self, directory):
        """Asks the server for a copy of the database at one commit point, written into
        directory: a path on the server's machine, absolute, absent or an empty directory.
        Returns once the copy is durable and in place, with the server's summary as a dict
        (path, lsn, keys, tables, bytes, encrypted); kavrel-server --db directory opens it."""
        path = os.fspath(directory)
        payload = path if isinstance(path, bytes) else path.encode("utf-8")
        return json.loads(self._call(wire.BACKUP, payload, wire.VALUE))

    def stats(self):
        """The server's statistics as a dict."""
        return json.loads(self._call(wire.STATS, b"", wire.STATS_JSON))

    def execute_sql_on_server(self, text):
        """The server's own answer to EXECUTE_SQL (a JSON refusal) as a dict."""
        return json.loads(self._call(wire.EXECUTE_SQL, wire.as_bytes(text, "SQL"), wire.VALUE))

    def register_table(self, name, columns):
        """Registers a typed table, durably. columns: Column objects, (name, type[, nullable])
        tuples or "name:type[?]" texts; types are int, uint, float, text, binary, bool."""
        self._call(wire.REGISTER_TABLE, wire.encode_schema(name, columns), wire.OK)

    def tables(self):
        """The registered tables as Schema objects, in ascending name order."""
        return wire.decode_table_list(self._call(wire.LIST_TABLES, b"", wire.VALUE))

    def describe(self, name):
        """The Schema of a registered table; ServerError "Table not found: NAME" otherwise."""
        return wire.decode_schema(self._call(wire.DESCRIBE_TABLE, wire.as_bytes(name),
                                             wire.VALUE))

    def _schema_for(self, path):
        """The Schema of the table a path names, or None when it is not registered. Asked
        afresh each time (no cache), since another client may register the table meanwhile."""
        if isinstance(path, (list, tuple)):
            path = "/".join(path)
        name = wire.as_bytes(path).decode("utf-8").split("/", 1)[0]
        try:
            return self.describe(name)
        except ServerError as e:
            if e.text.startswith("Table not found"):
                return None
            raise

    # ---- transactions ----

    def begin(self):
        """A new Transaction; prefer `with client.transaction() as tx:`."""
        (handle,) = struct.unpack("<Q", self._call(wire.BEGIN_TXN, b"", wire.TXN_ID))
        tx = Transaction(self, handle)
        self._open[handle] = tx
        return tx

    @contextmanager
    def transaction(self):
        """`with client.transaction() as tx:` runs tx's requests in one transaction, committed
        on a normal exit (ConflictError when validation fails) and aborted on an exception."""
        tx = self.begin()
        try:
            yield tx
        except BaseException:
            tx.abort_quietly()
            raise
        tx.commit()

    def run_transaction(self, fn, retries=DEFAULT_RETRIES, backoff=BACKOFF_BASE,
                        max_backoff=BACKOFF_MAX):
        """fn(tx) inside a transaction, run again (up to retries more times) when it ends in a
        conflict; answers fn's result. The last ConflictError is raised if every run fails.

        Before the k-th run again it waits a random time from 0 to min(max_backoff, backoff *
        2**(k-1)) seconds (exponential back-off with full jitter), so that transactions that
        conflicted do not meet again at once."""
        for attempt in range(retries + 1):
            try:
                with self.transaction() as tx:
                    return fn(tx)
            except ConflictError:
                if attempt == retries:
                    raise
            _sleep(_uniform(0, min(max_backoff, backoff * 2 ** attempt)))
        raise AssertionError("unreachable")


class Transaction(_Requests):
    """A transaction handle: its data requests travel inside IN_TXN and see one snapshot.

    After commit() or abort() (or a conflict, which aborts it on the server) the handle is
    finished and further requests raise Error.
    """

    def __init__(self, client, handle):
        self.client = client
        self.handle = handle
        self.finished = False
        self.lost = False  # True when its connection was closed before it finished
        # The tables it created through SQL (registered when it commits) and the tables it
        # dropped (None), by name, as its later statements see them; sql_created in order.
        self.sql_tables = {}
        self.sql_created = []

    def _check_open(self):
        if self.lost:
            raise ConnectionError(f"transaction {self.handle} was lost with its connection")
        if self.finished:
            raise Error(f"transaction {self.handle} is finished")

    def _finish(self):
        self.finished = True
        self.client._open.pop(self.handle, None)

    def _call(self, opcode, payload, *codes):
        if opcode not in wire.IN_TXN_OPCODES:
            raise Error(f"request 0x{opcode:02x} cannot run inside a transaction")
        self._check_open()
        try:
            return self.client._call(
                wire.IN_TXN, struct.pack("<QB", self.handle, opcode) + payload, *codes)
        except ServerError as e:
            if isinstance(e, ConflictError) or e.ends_transaction:
                self._finish()  # the server aborted it and forgot the handle
            raise

    def _schema_for(self, path):
        if isinstance(path, (list, tuple)):
            path = "/".join(path)
        name = wire.as_bytes(path).decode("utf-8").split("/", 1)[0]
        if name in self.sql_tables:
            table = self.sql_tables[name]
            return None if table is None else table.schema
        return self.client._schema_for(path)

    def drop_table(self, name):
        """Drops a table inside the transaction: its rows are deleted at once (for this
        transaction), its schema when it commits."""
        super().drop_table(name)
        self.sql_tables[name] = None

    def commit(self):
        """Commits; answers the commit timestamp. ConflictError when validation fails.

        The tables created by its SQL statements are registered first and dropped again if
        the commit fails; a table that replaces one it dropped is registered once the commit
        has removed the old one."""
        self._check_open()
        registered, later = [], []
        try:
            for name in self.sql_created:
                table = self.sql_tables.get(name)
                if table is None:
                    continue
                if table.replaces is not None:
                    later.append(table)
                else:
                    self.client.register_table(name, table.schema.columns)
                    registered.append(name)
        except BaseException:
            self.abort_quietly()
            self._drop_quietly(registered)
            raise
        try:
            (ts,) = struct.unpack("<Q", self.client._call(
                wire.COMMIT_TXN, struct.pack("<Q", self.handle), wire.TXN_ID))
        except BaseException:
            self._drop_quietly(registered)
            raise
        finally:
            self._finish()
        for table in later:
            self.client.register_table(table.name, table.schema.columns)
        return ts

    def _drop_quietly(self, names):
        for name in reversed(names):
            try:
                self.client.drop_table(name)
            except Error:
                pass  # the error that ended the transaction is the one to report

    def abort(self):
        self._check_open()
        try:
            self.client._call(wire.ABORT_TXN, struct.pack("<Q", self.handle), wire.OK)
        finally:
            self._finish()

    def abort_quietly(self):
        """Aborts unless finished; a handle the server has already forgotten is no error."""
        if self.finished:
            return
        try:
            self.abort()
        except (ServerError, ConnectionError):
            pass  # a lost connection took the transaction with it


class Pool:
    """Up to `size` Clients to one server for multi-threaded use:
    `with pool.client() as c:` lends one client to the calling thread. Thread-safe.

    A client is lent only with an open connection: one that is closed, or whose connection the
    server has closed while it waited in the pool, is replaced by a new one. A client given back
    with a transaction still open is closed rather than lent again."""

    def __init__(self, db_dir=None, socket=None, size=4, timeout=None):  # noqa: A002
        self._args = dict(db_dir=db_dir, socket=socket, timeout=timeout)
        self._idle = queue.LifoQueue()
        self._slots = threading.BoundedSemaphore(size)
        self._closed = False

    @contextmanager
    def client(self):
        self._slots.acquire()
        try:
            c = None
            while c is None:
                try:
                    c = self._idle.get_nowait()
                except queue.Empty:
                    c = connect(**self._args)
                    break
                if not c.is_alive():
                    c.close()
                    c = None
            try:
                yield c
            finally:
                if c.closed or c._open or self._closed:
                    c.close()
                else:
                    self._idle.put(c)
        finally:
            self._slots.release()

    def close(self):
        self._closed = True
        while True:
            try:
                self._idle.get_nowait().close()
            except queue.Empty:
                return


_socket_module = socket
