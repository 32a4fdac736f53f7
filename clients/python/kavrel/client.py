"""The connection to a kavrel-server, its requests, transactions and a pool.

Thread safety: a Client may be shared between threads. Each request holds the client's lock
while it sends its frame and reads the answer, so requests from several threads are run one
after another on the one connection. A Transaction belongs to the thread that opened it (its
requests are still serialized by its client's lock). For requests that should run in parallel,
give each thread its own Client, or take them from a Pool.

Reconnection: the server closes a connection that has been idle for its time-out (30 s by
default). A Client notices it before its next request goes out (the socket reads as closed, or
the send fails on a closed socket): nothing of that request reached the server, so when no
transaction is open on the connection the client connects again (and logs in again, when it
logs in) and sends it, once. With a transaction open it raises ConnectionError saying that the
transaction is lost (the server aborted it when it closed the connection); the next request
connects again. A connection lost in the middle of a request (after it was sent) is not
retried, since the server may have run it: the client is closed for good.
"""

import json
import os
import queue
import random
import select
import socket
import ssl
import struct
import threading
import time
from contextlib import contextmanager

from . import credentials, scram, wire
from .errors import (AuthenticationError, ConflictError, ConnectionError, CredentialsError, Error,
                     ServerError)

DEFAULT_CONNECT_TIMEOUT = 10.0


def connect(db_dir=None, socket=None, timeout=None, *, user=None, password=None,  # noqa: A002
            passfile=None, cafile=None, certfile=None, keyfile=None, ssl_context=None,
            server_hostname=None, connect_timeout=None):
    """A Client connected to a server.

    db_dir is a database directory (its socket is db_dir/kavrel.sock) or a URL:
    "kavrels://USER@HOST:PORT" (TLS) or "kavrel://USER@HOST:PORT" (plain TCP, for a server run
    with --insecure-tcp on loopback); an IPv6 host is written in brackets. socket= gives the
    Unix socket's path instead. timeout (seconds) bounds each send and answer; None waits.

    Logins: over TCP the client logs in with SCRAM-SHA-256 as the URL's user (or user=); on
    the Unix socket it logs in when user= is given (servers run with --unix-auth). The password
    comes from password=, else $KAVREL_PASSWORD, else the first matching line of ~/.kavrelpass
    (or passfile=). With a client certificate (certfile=, keyfile=) and no password= the server
    logs in the user the certificate names, and no password is looked for.

    TLS: the server's certificate is verified against cafile= (else the system's CAs) and must
    name the host (or server_hostname=); TLS 1.2 at least. ssl_context= replaces all of that
    with a context of the caller's. connect_timeout (seconds, default 10) bounds the TCP
    connect, the handshake and the login."""
    options = dict(user=user, password=password, passfile=passfile, cafile=cafile,
                   certfile=certfile, keyfile=keyfile, ssl_context=ssl_context,
                   server_hostname=server_hostname, connect_timeout=connect_timeout)
    if credentials.is_url(db_dir):
        if socket is not None:
            raise ValueError("give either a URL or socket=, not both")
        return Client(db_dir, timeout=timeout, **options)
    if socket is None:
        if db_dir is None:
            db_dir = "kavrel_data"
        socket = os.path.join(os.fspath(db_dir), "kavrel.sock")
    return Client(socket, timeout=timeout, **options)


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

    def __init__(self, socket_path, timeout=None, *, user=None, password=None, passfile=None,
                 cafile=None, certfile=None, keyfile=None, ssl_context=None,
                 server_hostname=None, connect_timeout=None):
        """socket_path: a Unix socket's path, or a kavrel:// or kavrels:// URL; the other
        arguments are connect()'s."""
        self.timeout = timeout
        self.connect_timeout = (DEFAULT_CONNECT_TIMEOUT if connect_timeout is None
                                else connect_timeout)
        self._lock = threading.Lock()  # held for one request's send and answer
        self._open = {}  # handle -> Transaction begun on this connection and not finished
        self._dead = None  # why the client is closed for good (None: usable)
        self._pushback = b""  # bytes read ahead while checking a TLS connection
        self._tls = None  # the SSLContext of a kavrels:// connection
        self._client_cert = certfile is not None or ssl_context is not None
        if credentials.is_url(socket_path):
            self.endpoint = credentials.parse_url(socket_path)
            self.socket_path = None
            if user is not None and self.endpoint.user not in (None, user):
                raise ValueError(f"the URL names the user {self.endpoint.user!r} and user= "
                                 f"{user!r}: give one")
            self.user = self.endpoint.user if self.endpoint.user is not None else user
            self.endpoint = credentials.Endpoint(self.endpoint.host, self.endpoint.port,
                                                 self.endpoint.tls, self.user)
            self._where = str(self.endpoint)
            if self.endpoint.tls:
                self._tls = ssl_context or _tls_context(cafile, certfile, keyfile)
                self._server_hostname = server_hostname or self.endpoint.host
            elif any(x is not None for x in (cafile, certfile, keyfile, ssl_context,
                                              server_hostname)):
                raise ValueError("cafile=, certfile=, keyfile=, ssl_context= and "
                                 "server_hostname= are for kavrels:// (TLS) URLs")
            by_certificate = self.endpoint.tls and password is None and (
                certfile is not None or (ssl_context is not None and self.user is None))
            if by_certificate:
                self._password = None  # the certificate logs in the user it names
            elif self.user is None:
                raise CredentialsError(
                    f"{self._where} names no user: write "
                    f"{'kavrels' if self.endpoint.tls else 'kavrel'}://USER@"
                    f"{self.endpoint.host_text}:{self.endpoint.port}"
                    + (", or give a client certificate (certfile=)" if self.endpoint.tls
                       else ""))
            else:
                self._password = self._find_password(password, passfile, self.endpoint.host,
                                                     self.endpoint.port)
        else:
            if any(x is not None for x in (cafile, certfile, keyfile, ssl_context,
                                           server_hostname)):
                raise ValueError("cafile=, certfile=, keyfile=, ssl_context= and "
                                 "server_hostname= are for kavrels:// (TLS) URLs")
            self.endpoint = None
            self.socket_path = os.fspath(socket_path)
            self._where = self.socket_path
            self.user = user
            self._password = None
            if user is None and password is not None:
                raise ValueError("password= needs user= on the Unix socket")
            if user is not None:
                self._password = self._find_password(
                    password, passfile, os.path.abspath(self.socket_path), "")
        self._sock = self._connect()

    def _find_password(self, password, passfile, host, port):
        found = credentials.find_password(password, host, port, self.user, passfile)
        if found is None:
            raise CredentialsError(
                f"no password for user {self.user!r} at {self._where}: give password=, set "
                f"{credentials.PASSWORD_ENV}, or add a line to "
                f"{passfile if passfile is not None else '~/' + credentials.PASSFILE_NAME}",
                user=self.user, no_password=True)
        return found

    def __repr__(self):
        state = " closed" if self._dead is not None else ""
        user = f" user={self.user!r}" if self.user is not None else ""
        return f"<kavrel.Client {self._where}{user}{state}>"

    # ---- connection ----

    def _connect(self):
        """A new connection, logged in when the client logs in."""
        self._pushback = b""
        sock = self._open_tcp() if self.endpoint is not None else self._open_unix()
        try:
            if self._password is not None:
                self._log_in(sock)
            elif self.endpoint is not None:
                # A certificate's user is logged in at the first request: PING finds out now
                # whether it names one (and whether the server accepted the certificate).
                code, payload = self._exchange(sock, wire.PING, b"")
                if code != wire.PONG:
                    err = _error_of(code, payload)
                    if isinstance(err, AuthenticationError):
                        err.detail = ("no user was logged in by the client certificate: its "
                                      "common name is none of the server's users, or the "
                                      "server does not check client certificates (--tls-ca)")
                    raise err
            sock.settimeout(self.timeout)
        except BaseException:
            sock.close()
            raise
        return sock

    def _open_unix(self):
        sock = _socket_module.socket(_socket_module.AF_UNIX, _socket_module.SOCK_STREAM)
        sock.settimeout(self.timeout)
        try:
            sock.connect(self.socket_path)
        except OSError as e:
            sock.close()
            raise ConnectionError(f"cannot connect to {self.socket_path}: {e}") from None
        return sock

    def _open_tcp(self):
        address = (self.endpoint.host, self.endpoint.port)
        try:
            sock = _socket_module.create_connection(address, timeout=self.connect_timeout)
        except OSError as e:
            raise ConnectionError(f"cannot connect to {self._where}: {e}") from None
        try:
            sock.setsockopt(_socket_module.IPPROTO_TCP, _socket_module.TCP_NODELAY, 1)
            if self._tls is not None:
                sock = self._tls.wrap_socket(sock, server_hostname=self._server_hostname)
        except ssl.SSLCertVerificationError as e:
            sock.close()
            raise ConnectionError(
                f"TLS: the certificate of {self._where} is not trusted: "
                f"{e.verify_message or e.reason} (the server's certificate must be signed by a "
                "CA of cafile=, else of the system's store, and name the host)") from None
        except (ssl.SSLError, OSError) as e:
            sock.close()
            raise ConnectionError(f"TLS handshake with {self._where} failed: "
                                  f"{_tls_error_text(e)}") from None
        return sock

    def _exchange(self, sock, opcode, payload):
        """One request and its answer on a connection being set up: (code, payload)."""
        try:
            sock.sendall(wire.frame(opcode, payload))
            code, length = struct.unpack("<BI", _recv_exact(sock, wire.FRAME_HEADER_SIZE))
            return code, _recv_exact(sock, length)
        except (ssl.SSLError, OSError, ConnectionError) as e:
            raise ConnectionError(f"the connection to {self._where} ended while logging in: "
                                  f"{_tls_error_text(e)}{self._setup_hint()}") from None

    def _setup_hint(self):
        """What a connection that ends at its first request most likely means."""
        if self.endpoint is None:
            return ""
        if self._tls is None:
            return " (does the server serve TLS there? then connect with kavrels://)"
        if self._client_cert:
            return (" (the server may have refused the client certificate: is it signed by a "
                    "CA of the server's --tls-ca?)")
        return " (the server may require a client certificate: certfile=, keyfile=)"

    def _log_in(self, sock):
        """SCRAM-SHA-256 as self.user; AuthenticationError with the server's text when it
        refuses, ConnectionError when the server cannot prove that it holds the verifier."""
        exchange = scram.ClientExchange(self.user, self._password.reveal())
        code, payload = self._exchange(
            sock, wire.AUTH, wire.encode_auth(1, exchange.first(), scram.MECHANISM))
        server_first = self._login_answer(code, payload)
        try:
            client_final = exchange.final(server_first)
        except scram.ScramError as e:
            raise ConnectionError(f"login to {self._where} refused by the client: {e}") from None
        code, payload = self._exchange(sock, wire.AUTH, wire.encode_auth(2, client_final))
        server_final = self._login_answer(code, payload)
        try:
            exchange.verify(server_final)
        except scram.ScramError as e:
            raise ConnectionError(
                f"login to {self._where}: {e}: the server did not prove that it knows the "
                f"password verifier of user {self.user!r}, so it is not trusted; the connection "
                "is closed") from None

    def _login_answer(self, code, payload):
        if code == wire.VALUE:
            return payload.decode("utf-8", "replace")
        err = _error_of(code, payload)
        if isinstance(err, AuthenticationError):
            err.detail = f"user {self.user!r} at {self._where}"
        raise err

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
        if self._pushback or (self._tls is not None and self._sock.pending()):
            return False
        poller = select.poll()
        poller.register(self._sock, select.POLLIN)
        if not poller.poll(0):
            return False  # nothing to read: open
        if self._tls is None:
            try:
                return self._sock.recv(1, _socket_module.MSG_PEEK) == b""
            except OSError:
                return True  # reset
        # TLS: what is readable may be a record of the protocol (a session ticket) rather than
        # data; read without waiting, and keep a byte read ahead.
        timeout = self._sock.gettimeout()
        self._sock.settimeout(0)
        try:
            data = self._sock.recv(1)
        except (ssl.SSLWantReadError, ssl.SSLWantWriteError, BlockingIOError):
            return False
        except OSError:
            return True  # reset, or the TLS session ended badly
        finally:
            self._sock.settimeout(timeout)
        self._pushback += data
        return data == b""

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
                f"the server closed the connection to {self._where} ({cause}): the open "
                f"{noun} {handles} is lost, nothing of it was committed; the next request "
                "connects again")
        self._sock = self._connect()

    def _recv_exact(self, n):
        head, self._pushback = self._pushback[:n], self._pushback[n:]
        return head + _recv_exact(self._sock, n - len(head))

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
        except (BrokenPipeError, ConnectionResetError, ssl.SSLEOFError):
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
                if self._sock is None:
                    raise  # connecting again failed (a refused login): nothing was sent
                # A frame cut short (an error, a timeout, Ctrl-C) leaves the stream out of step
                # with the answers, so the connection cannot be used again.
                if isinstance(e, OSError):
                    raise self._lost(f"connection to {self._where} lost: {e}") from None
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

    @property
    def users(self):
        """User management (USERS): add, passwd, delete, list; see Users."""
        return Users(self)

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


class Users:
    """The server's users, for an admin user, or for the server's own OS user on its Unix socket
    (who makes the first admin). Passwords are turned into SCRAM verifiers here: the server
    stores the verifier, and the password never crosses the wire."""

    def __init__(self, client):
        self._client = client

    def add(self, name, password, role="read", prefix=""):
        """A new user with a role ("read", "write" or "admin") and a key prefix ("" for every
        key); ServerError "User already exists: NAME" when there is one."""
        payload = wire.encode_users(wire.USERS_ADD, name, role, prefix, scram.verifier(password))
        self._client._call(wire.USERS, payload, wire.OK)

    def passwd(self, name, password):
        """A new password for a user; ServerError "User not found: NAME" when there is none."""
        payload = wire.encode_users(wire.USERS_PASSWD, name, verifier=scram.verifier(password))
        self._client._call(wire.USERS, payload, wire.OK)

    def delete(self, name):
        """Removes a user; ServerError "User not found: NAME" when there is none."""
        self._client._call(wire.USERS, wire.encode_users(wire.USERS_DELETE, name), wire.OK)

    def list(self):
        """The users as dicts {"name", "role", "prefix"}, by name."""
        return json.loads(self._client._call(wire.USERS, wire.encode_users(wire.USERS_LIST),
                                             wire.VALUE))


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
    with a transaction still open is closed rather than lent again.

    db_dir, socket, timeout and the keyword options (user=, password=, cafile=, ...) are
    connect()'s; a password is kept as a credentials.Secret."""

    def __init__(self, db_dir=None, socket=None, size=4, timeout=None, **options):  # noqa: A002
        if options.get("password") is not None:
            options["password"] = credentials.Secret(options["password"])
        self._args = dict(db_dir=db_dir, socket=socket, timeout=timeout, **options)
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


def _recv_exact(sock, n):
    chunks = []
    while n > 0:
        chunk = sock.recv(min(n, 1 << 20))
        if not chunk:
            raise ConnectionError("the server closed the connection")
        chunks.append(chunk)
        n -= len(chunk)
    return b"".join(chunks)


def _error_of(code, payload):
    """The exception for an answer that is not the one expected."""
    if code == wire.ERROR:
        return wire.server_error(payload.decode("utf-8", "replace"))
    return ConnectionError(f"unexpected answer code 0x{code:02x}")


def _no_key_password():
    raise ConnectionError("the client's key file is encrypted; give an ssl_context= that "
                          "loads it with its password")


def _tls_context(cafile, certfile, keyfile):
    """The SSLContext of kavrels:// connections: the server verified against cafile (else the
    system's CAs) and its host name checked, TLS 1.2 at least, the client certificate loaded."""
    if keyfile is not None and certfile is None:
        raise ValueError("keyfile= needs certfile=")
    try:
        context = ssl.create_default_context(ssl.Purpose.SERVER_AUTH, cafile=cafile)
    except ssl.SSLError as e:  # before OSError, its base
        raise ConnectionError(f"TLS: the CA file {cafile} holds no usable certificate: "
                              f"{_tls_error_text(e)}") from None
    except OSError as e:
        raise ConnectionError(f"TLS: cannot read the CA file {cafile}: "
                              f"{e.strerror or e}") from None
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.check_hostname = True
    context.verify_mode = ssl.CERT_REQUIRED
    if certfile is not None:
        try:
            context.load_cert_chain(certfile, keyfile, password=_no_key_password)
        except ssl.SSLError as e:  # before OSError, its base
            raise ConnectionError(f"TLS: cannot load the client certificate {certfile} with "
                                  f"its key: {_tls_error_text(e)}") from None
        except OSError as e:
            raise ConnectionError(f"TLS: cannot read the client certificate or key "
                                  f"({certfile}, {keyfile or certfile}): "
                                  f"{e.strerror or e}") from None
    return context


# What the server's TLS alerts and the handshake's failures mean, by OpenSSL's reason.
_TLS_HINTS = {
    "WRONG_VERSION_NUMBER": "the server does not speak TLS there (for plain TCP use kavrel://)",
    "TLSV13_ALERT_CERTIFICATE_REQUIRED": "the server requires a client certificate "
                                         "(certfile=, keyfile=)",
    "SSLV3_ALERT_BAD_CERTIFICATE": "the server refused the client certificate",
    "TLSV1_ALERT_UNKNOWN_CA": "the server does not trust the client certificate's CA",
    "SSLV3_ALERT_CERTIFICATE_EXPIRED": "the server refused the client certificate: expired",
    "TLSV1_ALERT_PROTOCOL_VERSION": "no TLS version both sides accept (1.2 at least here)",
    "UNSUPPORTED_PROTOCOL": "no TLS version both sides accept (1.2 at least here)",
}


def _tls_error_text(e):
    reason = getattr(e, "reason", None)
    if reason in _TLS_HINTS:
        return f"{_TLS_HINTS[reason]} [{reason}]"
    if isinstance(e, ssl.SSLError):
        return str(reason or e)
    return str(e)


_socket_module = socket
