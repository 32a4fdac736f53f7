"""Logins against real servers: TLS (kavrels://) and plain TCP (kavrel://) listeners, SCRAM
passwords and client certificates, roles and key prefixes, the Unix socket with --unix-auth,
the password's sources, reconnections that log in again, and the users helper.

Each server serves its own database; the users are made first on its Unix socket, as the
server's own OS user (the first admin's road)."""

import os
import pathlib
import pty
import select
import socket
import struct
import subprocess
import sys
import threading
import time

import pytest

import certs
import kavrel
from conftest import Server
from kavrel import credentials, wire

# user: (role, prefix, password)
USERS = {
    "admin": ("admin", "", "Adm1n-secret-pw"),
    "writer": ("write", "", "Wr1ter-secret-pw"),
    "reader": ("read", "", "Re4der-secret-pw"),
    "app1": ("write", "app1/", "App1-secret-pw"),
    "alice": ("write", "", "Al1ce-secret-pw"),
}
SECRETS = [password for _, _, password in USERS.values()]


def password(user):
    return USERS[user][2]


def _ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


IPV6 = _ipv6_loopback()
PACKAGE = pathlib.Path(__file__).resolve().parents[1]


def _start(base, args, users, admin_login=False):
    """A server with args, its users made on the Unix socket. With --unix-auth only the first
    admin comes from the OS user; the rest are made logged in as that admin."""
    server = Server(str(base / "db"), args)
    server.start()
    server.ports = server.tcp_ports(2 if "[::1]:0" in args else 1)
    with kavrel.connect(server.db_dir) as c:
        c.users.add("admin", password("admin"), "admin")
    login = dict(user="admin", password=password("admin")) if admin_login else {}
    with kavrel.connect(server.db_dir, **login) as c:
        for name in users:
            role, prefix, pw = USERS[name]
            c.users.add(name, pw, role, prefix)
    return server


@pytest.fixture(scope="module")
def pki(tmp_path_factory):
    return certs.make(tmp_path_factory.mktemp("pki"))


@pytest.fixture(scope="module")
def tls_server(tmp_path_factory, pki):
    """TLS on 127.0.0.1 (and ::1), client certificates checked when given."""
    listen = ["--listen", "127.0.0.1:0"] + (["--listen", "[::1]:0"] if IPV6 else [])
    server = _start(tmp_path_factory.mktemp("tls"),
                    listen + ["--tls-cert", pki["server.crt"], "--tls-key", pki["server.key"],
                              "--tls-ca", pki["ca.crt"]],
                    ["writer", "reader", "app1", "alice"])
    yield server
    server.stop()


@pytest.fixture(scope="module")
def plain_server(tmp_path_factory):
    """Plain TCP on loopback, and the Unix socket needs a login too."""
    server = _start(tmp_path_factory.mktemp("plain"),
                    ["--listen", "127.0.0.1:0", "--insecure-tcp", "--unix-auth"],
                    ["writer", "reader"], admin_login=True)
    yield server
    server.stop()


@pytest.fixture
def no_password_sources(tmp_path, monkeypatch):
    """No KAVREL_PASSWORD, and a HOME without ~/.kavrelpass."""
    monkeypatch.delenv(credentials.PASSWORD_ENV, raising=False)
    monkeypatch.setenv("HOME", str(tmp_path))
    return tmp_path


def tls_url(server, user=None, host="localhost"):
    port = server.ports["[::1]" if host == "[::1]" else "127.0.0.1"]
    return f"kavrels://{user + '@' if user else ''}{host}:{port}"


def _assert_no_secret(*texts):
    for text in texts:
        for secret in SECRETS:
            assert secret not in text


# ---- logins ------------------------------------------------------------------------------


@pytest.mark.parametrize("host", ["localhost", "127.0.0.1", "[::1]"])
def test_password_login_over_tls(tls_server, pki, name, host):
    if host == "[::1]" and not IPV6:
        pytest.skip("no IPv6 loopback")
    with kavrel.connect(tls_url(tls_server, "writer", host), password=password("writer"),
                        cafile=pki["ca.crt"]) as c:
        c.put(f"{name}/k", "v")
        assert c.get(f"{name}/k") == b"v"
        assert c.scan(f"{name}/") == [(f"{name}/k".encode(), b"v")]
        _assert_no_secret(repr(c), repr(vars(c)))


@pytest.mark.parametrize("user, given", [
    ("writer", "not-the-password"),
    ("writer", password("reader")),
    ("nobody", password("writer")),  # an unknown user looks like a wrong password
])
def test_wrong_passwords_are_refused(tls_server, pki, no_password_sources, user, given):
    url = tls_url(tls_server, user)
    with pytest.raises(kavrel.AuthenticationError) as e:
        kavrel.connect(url, password=given, cafile=pki["ca.crt"])
    assert e.value.text == "Authentication failed"
    assert e.value.error_class is kavrel.errors.ErrorClass.AUTHENTICATION_FAILED
    assert str(e.value) == f"Authentication failed (user '{user}' at {url})"
    for text in (str(e.value), repr(e.value), repr(e.value.args), repr(vars(e.value))):
        assert given not in text
    assert given not in tls_server.log_text()


@pytest.mark.parametrize("kwargs, message", [
    (dict(cafile="other_ca.crt"), "TLS: the certificate of {url} is not trusted: "),
    (dict(), "TLS: the certificate of {url} is not trusted: "),  # the system's CAs
    (dict(cafile="ca.crt", server_hostname="db.example"),
     "TLS: the certificate of {url} is not trusted: Hostname mismatch, certificate is not "
     "valid for 'db.example'."),
    (dict(cafile="ca.crt", certfile="rogue.crt", keyfile="rogue.key", password=None),
     "the connection to {url} ended while logging in: "),
    (dict(cafile="ca.crt", certfile="ca.crt", keyfile="alice.key"),
     "TLS: cannot load the client certificate "),
])
def test_tls_failures_raise_connection_errors(tls_server, pki, no_password_sources, kwargs,
                                              message):
    kwargs = {k: pki.get(v, v) for k, v in kwargs.items()}
    url = tls_url(tls_server, "writer")
    options = {"password": password("writer"), **kwargs}
    with pytest.raises(kavrel.ConnectionError) as e:
        kavrel.connect(url, **options)
    assert str(e.value).startswith(message.format(url=url))
    _assert_no_secret(str(e.value))


def test_plain_tcp_to_a_tls_listener_and_tls_to_a_plain_one(tls_server, plain_server):
    url = f"kavrel://writer@127.0.0.1:{tls_server.ports['127.0.0.1']}"
    with pytest.raises(kavrel.ConnectionError) as e:
        kavrel.connect(url, password=password("writer"))
    assert str(e.value).startswith(f"the connection to {url} ended while logging in: ")
    assert str(e.value).endswith("(does the server serve TLS there? then connect with "
                                 "kavrels://)")
    # No downgrade: kavrels:// to a plain listener never falls back to plain TCP.
    url = f"kavrels://writer@localhost:{plain_server.ports['127.0.0.1']}"
    with pytest.raises(kavrel.ConnectionError, match=f"TLS handshake with {url} failed"):
        kavrel.connect(url, password=password("writer"), connect_timeout=1)


def test_client_certificate_logs_in_its_user(tls_server, pki, monkeypatch, name):
    # A password variable is not used when a certificate logs in.
    monkeypatch.setenv(credentials.PASSWORD_ENV, "wrong")
    cert = dict(cafile=pki["ca.crt"], certfile=pki["alice.crt"], keyfile=pki["alice.key"])
    for url in (tls_url(tls_server), tls_url(tls_server, "alice")):
        with kavrel.connect(url, **cert) as c:
            c.put(f"{name}/by-certificate", "alice")
            assert c.get(f"{name}/by-certificate") == b"alice"
    with pytest.raises(kavrel.AuthenticationError) as e:
        kavrel.connect(tls_url(tls_server), cafile=pki["ca.crt"], certfile=pki["bob.crt"],
                       keyfile=pki["bob.key"])
    assert e.value.text == "Authentication required"
    assert "no user was logged in by the client certificate" in str(e.value)


# ---- roles and prefixes ------------------------------------------------------------------


def _put(c, n):
    c.put(f"{n}/x", "changed")


# user, request (on the key NAME/x, "original" before), allowed, NAME/x after it
@pytest.mark.parametrize("user, request_, allowed, after", [
    ("reader", lambda c, n: c.get(f"{n}/x"), True, "original"),
    ("reader", lambda c, n: c.scan(f"{n}/"), True, "original"),
    ("reader", _put, False, "original"),
    ("reader", lambda c, n: c.delete(f"{n}/x"), False, "original"),
    ("reader", lambda c, n: c.begin(), False, "original"),
    ("writer", _put, True, "changed"),
    ("writer", lambda c, n: c.compact(), False, "original"),
    ("writer", lambda c, n: c.users.list(), False, "original"),
    ("app1", lambda c, n: c.put(f"app1/{n}", "v"), True, "original"),
    ("app1", _put, False, "original"),
    ("app1", lambda c, n: c.scan(f"{n}/"), False, "original"),
    ("admin", lambda c, n: c.users.list(), True, "original"),
])
def test_roles_and_prefixes(tls_server, pki, name, user, request_, allowed, after):
    with kavrel.connect(tls_server.db_dir) as own:  # trusted by the socket's mode
        own.put(f"{name}/x", "original")
    with kavrel.connect(tls_url(tls_server, user), password=password(user),
                        cafile=pki["ca.crt"]) as c:
        if allowed:
            request_(c, name)
        else:
            with pytest.raises(kavrel.PermissionDeniedError) as e:
                request_(c, name)
            assert e.value.text.startswith("Permission denied: ")
            assert c.ping()  # the connection goes on
    with kavrel.connect(tls_server.db_dir) as own:
        assert own.get(f"{name}/x") == after.encode()


# ---- plain TCP and the Unix socket -------------------------------------------------------


class RecordingProxy:
    """A TCP listener on 127.0.0.1 that passes each connection to the server's port, records
    what clients sent, and can close every connection from the server's side."""

    def __init__(self, port):
        self.upstream = ("127.0.0.1", port)
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.sent = bytearray()
        self.connections = []
        self.lock = threading.Lock()
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            up = socket.create_connection(self.upstream)
            with self.lock:
                self.connections.append(conn)
            threading.Thread(target=self._pump, args=(conn, up, True), daemon=True).start()
            threading.Thread(target=self._pump, args=(up, conn, False), daemon=True).start()

    def _pump(self, src, dst, record):
        try:
            while data := src.recv(1 << 16):
                if record:
                    with self.lock:
                        self.sent += data
                dst.sendall(data)
        except OSError:
            pass
        for s in (src, dst):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def close_all(self):
        with self.lock:
            for conn in self.connections:
                try:
                    conn.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass

    def requests(self):
        """The opcodes of the frames sent, in order."""
        with self.lock:
            data = bytes(self.sent)
        out, at = [], 0
        while at + 5 <= len(data):
            opcode, length = struct.unpack_from("<BI", data, at)
            out.append(opcode)
            at += 5 + length
        return out

    def close(self):
        self.listener.close()
        self.close_all()


def test_plain_tcp_logs_in_without_the_password_on_the_wire_and_again_after_a_close(
        plain_server, name):
    proxy = RecordingProxy(plain_server.ports["127.0.0.1"])
    try:
        c = kavrel.connect(f"kavrel://writer@127.0.0.1:{proxy.port}", password=password("writer"))
        c.put(f"{name}/k", "1")
        assert proxy.requests() == [wire.AUTH, wire.AUTH, wire.PUT]
        proxy.close_all()  # as the server closes an idle connection
        deadline = time.monotonic() + 5
        while c.is_alive() and time.monotonic() < deadline:
            time.sleep(0.01)
        assert c.get(f"{name}/k") == b"1"  # connected and logged in again
        assert proxy.requests() == [wire.AUTH, wire.AUTH, wire.PUT, wire.AUTH, wire.AUTH,
                                    wire.GET]
        c.close()
        assert password("writer").encode() not in proxy.sent
        assert b"n,,n=writer,r=" in proxy.sent
    finally:
        proxy.close()


def test_unix_socket_login_with_unix_auth(plain_server, no_password_sources, name):
    with kavrel.connect(plain_server.db_dir) as c:
        with pytest.raises(kavrel.AuthenticationError) as e:
            c.ping()
        assert e.value.text == "Authentication required"
    with kavrel.connect(plain_server.db_dir, user="writer", password=password("writer")) as c:
        c.put(f"{name}/unix", "yes")
        assert c.get(f"{name}/unix") == b"yes"
    with pytest.raises(kavrel.AuthenticationError, match="Authentication failed"):
        kavrel.connect(plain_server.db_dir, user="writer", password="wrong")
    with kavrel.connect(plain_server.db_dir, user="reader", password=password("reader")) as c:
        with pytest.raises(kavrel.PermissionDeniedError):
            c.put(f"{name}/unix", "no")


@pytest.mark.parametrize("env, passfile_line, mode, outcome", [
    (password("writer"), None, None, "ok"),
    (None, "127.0.0.1:{port}:writer:{pw}", 0o600, "ok"),
    (None, "*:*:writer:{pw}", 0o600, "ok"),
    (None, "# a comment\n*:{port}:*:{pw}", 0o600, "ok"),
    (None, "localhost:{port}:writer:{pw}", 0o600, "no password"),  # another host's line
    (None, "*:*:writer:{pw}", 0o644, "mode 0644"),
    ("wrong", "*:*:writer:{pw}", 0o600, "Authentication failed"),  # the variable comes first
])
def test_password_sources(plain_server, no_password_sources, monkeypatch, env, passfile_line,
                          mode, outcome):
    port = plain_server.ports["127.0.0.1"]
    if env is not None:
        monkeypatch.setenv(credentials.PASSWORD_ENV, env)
    if passfile_line is not None:
        path = no_password_sources / ".kavrelpass"
        path.write_text(passfile_line.format(port=port, pw=password("writer")) + "\n")
        os.chmod(path, mode)
    url = f"kavrel://writer@127.0.0.1:{port}"
    if outcome == "ok":
        with kavrel.connect(url) as c:
            assert c.ping()
        return
    with pytest.raises(kavrel.Error, match=outcome) as e:
        kavrel.connect(url)
    _assert_no_secret(str(e.value))


# ---- users -------------------------------------------------------------------------------


def test_users_helper(tls_server, pki, no_password_sources):
    url = tls_url(tls_server, "carol")
    tls = dict(cafile=pki["ca.crt"])
    with kavrel.connect(tls_url(tls_server, "admin"), password=password("admin"), **tls) as admin:
        admin.users.add("carol", "first-pw", role="write", prefix="carol/")
        with pytest.raises(kavrel.ServerError, match="User already exists: carol"):
            admin.users.add("carol", "other-pw")
        assert {"name": "carol", "role": "write", "prefix": "carol/"} in admin.users.list()
        with kavrel.connect(url, password="first-pw", **tls) as c:
            c.put("carol/x", "1")
        admin.users.passwd("carol", "second-pw")
        with pytest.raises(kavrel.AuthenticationError):
            kavrel.connect(url, password="first-pw", **tls)
        kavrel.connect(url, password="second-pw", **tls).close()
        admin.users.delete("carol")
        with pytest.raises(kavrel.AuthenticationError):
            kavrel.connect(url, password="second-pw", **tls)
        with pytest.raises(kavrel.ServerError, match="User not found: carol"):
            admin.users.delete("carol")
        assert "carol" not in [u["name"] for u in admin.users.list()]
    assert "first-pw" not in tls_server.log_text() and "second-pw" not in tls_server.log_text()


# ---- a server that requires certificates and closes idle connections ------------------------


@pytest.fixture(scope="module")
def strict_server(tmp_path_factory, pki):
    server = Server(str(tmp_path_factory.mktemp("strict") / "db"),
                    ["--listen", "127.0.0.1:0", "--tls-cert", pki["server.crt"],
                     "--tls-key", pki["server.key"], "--tls-ca", pki["ca.crt"],
                     "--tls-client-cert", "require", "--timeout-ms", "1000"])
    server.start()
    server.ports = server.tcp_ports()
    with kavrel.connect(server.db_dir) as c:
        c.users.add("writer", password("writer"), "write")
        c.users.add("alice", password("alice"), "read")  # the certificate's user can only read
    yield server
    server.stop()


def test_required_client_certificate(strict_server, pki):
    # The server's alert says it, or the connection ends at the first request: either way the
    # text says that a client certificate is wanted.
    with pytest.raises(kavrel.ConnectionError, match="require[s]? a client certificate"):
        kavrel.connect(tls_url(strict_server, "writer"), password=password("writer"),
                       cafile=pki["ca.crt"])


def test_tls_connection_closed_while_idle_logs_in_again(strict_server, pki, name):
    """A password given with a certificate logs in by the password: after the server closed the
    idle connection, the client connects again and logs in as writer again (alice, the
    certificate's user, could not write)."""
    c = kavrel.connect(tls_url(strict_server, "writer"), password=password("writer"),
                       cafile=pki["ca.crt"], certfile=pki["alice.crt"], keyfile=pki["alice.key"])
    c.put(f"{name}/a", "1")
    deadline = time.monotonic() + 10
    while c.is_alive() and time.monotonic() < deadline:
        time.sleep(0.1)
    assert not c.is_alive()
    c.put(f"{name}/b", "2")
    assert c.get(f"{name}/a") == b"1" and not c.closed
    c.close()


def test_pool_over_tls(tls_server, pki, name):
    pool = kavrel.Pool(tls_url(tls_server, "writer"), password=password("writer"),
                       cafile=pki["ca.crt"], size=2)
    _assert_no_secret(repr(vars(pool)))
    with pool.client() as a, pool.client() as b:
        a.put(f"{name}/p", "1")
        assert b.get(f"{name}/p") == b"1"
    pool.close()


# ---- kavrel-sql ---------------------------------------------------------------------------


def _sql_shell_env(home):
    env = {k: v for k, v in os.environ.items() if k != credentials.PASSWORD_ENV}
    return {**env, "PYTHONPATH": str(PACKAGE), "HOME": str(home), "TERM": "dumb"}


def test_kavrel_sql_over_tls_with_the_password_from_the_environment(tls_server, pki, tmp_path):
    env = {**_sql_shell_env(tmp_path), credentials.PASSWORD_ENV: password("writer")}
    done = subprocess.run(
        [sys.executable, "-m", "kavrel.sql_shell", "-u", tls_url(tls_server, "writer"),
         "--ca", pki["ca.crt"], "-c", "SELECT 6 * 7 AS answer", "--mode", "csv"],
        capture_output=True, text=True, env=env, timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (0, "answer\n42\n", "")
    env[credentials.PASSWORD_ENV] = "wrong"
    done = subprocess.run(
        [sys.executable, "-m", "kavrel.sql_shell", "-u", tls_url(tls_server, "writer"),
         "--ca", pki["other_ca.crt"], "-c", "SELECT 1"],
        capture_output=True, text=True, env=env, timeout=60)
    assert done.returncode == 1
    assert done.stderr.startswith("Error: TLS: the certificate of kavrels://writer@localhost:")


def test_kavrel_sql_asks_for_the_password_on_a_terminal(plain_server, tmp_path):
    url = f"kavrel://writer@127.0.0.1:{plain_server.ports['127.0.0.1']}"
    pid, fd = pty.fork()
    if pid == 0:  # the child: kavrel-sql on the terminal
        os.execve(sys.executable, [sys.executable, "-m", "kavrel.sql_shell", "-u", url, "-c",
                                   "SELECT 6 * 7 AS answer", "--mode", "csv"],
                  _sql_shell_env(tmp_path))
    output = b""

    def read_until(text, seconds=30):
        nonlocal output
        deadline = time.monotonic() + seconds
        while text.encode() not in output and time.monotonic() < deadline:
            if select.select([fd], [], [], 0.1)[0]:
                try:
                    output += os.read(fd, 4096)
                except OSError:
                    break
        return text.encode() in output

    try:
        assert read_until("Password for writer: ")
        os.write(fd, password("writer").encode() + b"\n")
        assert read_until("42")
        _, status = os.waitpid(pid, 0)
    finally:
        os.close(fd)
    assert os.waitstatus_to_exitcode(status) == 0
    assert password("writer").encode() not in output  # not echoed


# ---- a server that does not know the verifier -------------------------------------------


def _impostor(listener, server_final):
    """Answers one login as a server without the user's verifier would: any salt, and a
    made-up signature."""
    conn, _ = listener.accept()
    with conn:
        def read_frame():
            head = b""
            while len(head) < 5:
                head += conn.recv(5 - len(head))
            opcode, length = struct.unpack("<BI", head)
            body = b""
            while len(body) < length:
                body += conn.recv(length - len(body))
            return opcode, body

        def answer(text):
            conn.sendall(struct.pack("<BI", wire.VALUE, len(text)) + text.encode())

        _, first = read_frame()
        nonce = first.decode().rsplit("r=", 1)[1]
        answer(f"r={nonce}IMPOSTOR,s=c2FsdHNhbHRzYWx0c2FsdA==,i=4096")
        read_frame()
        answer(server_final)
        conn.recv(1)  # until the client closes


@pytest.mark.parametrize("server_final, message", [
    ("v=" + "A" * 43 + "=", "the server's signature does not hold"),
    ("e=other-error", "the server refused: other-error"),
])
def test_a_server_that_cannot_prove_the_verifier_is_not_trusted(server_final, message):
    listener = socket.create_server(("127.0.0.1", 0))
    thread = threading.Thread(target=_impostor, args=(listener, server_final), daemon=True)
    thread.start()
    url = f"kavrel://writer@127.0.0.1:{listener.getsockname()[1]}"
    with pytest.raises(kavrel.ConnectionError) as e:
        kavrel.connect(url, password=password("writer"))
    assert str(e.value) == (f"login to {url}: {message}: the server did not prove that it knows "
                            "the password verifier of user 'writer', so it is not trusted; the "
                            "connection is closed")
    thread.join(10)
    listener.close()
