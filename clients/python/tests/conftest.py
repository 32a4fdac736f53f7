"""Starts a real kavrel-server in a temporary directory for each test module.

The binary is $KAVREL_SERVER, by default build/release/tools/kavrel-server of the repository.
"""

import itertools
import os
import pathlib
import re
import subprocess
import sys
import time

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))

import kavrel  # noqa: E402

REPO = pathlib.Path(__file__).resolve().parents[3]
SERVER = os.environ.get("KAVREL_SERVER", str(REPO / "build/release/tools/kavrel-server"))


class Server:
    def __init__(self, db_dir, args=()):
        self.db_dir = db_dir
        self.socket = os.path.join(db_dir, "kavrel.sock")
        self.args = list(args)
        self.proc = None

    def start(self):
        if not os.path.exists(SERVER):
            pytest.fail(f"no server binary at {SERVER} (set KAVREL_SERVER)")
        self.log_path = os.path.dirname(self.db_dir) + "/server.log"
        self.log = open(self.log_path, "ab")
        self.proc = subprocess.Popen([SERVER, "--db", self.db_dir, *self.args], stdout=self.log,
                                     stderr=subprocess.STDOUT, env={**os.environ, "NO_COLOR": "1"})
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                pytest.fail(f"kavrel-server exited with status {self.proc.returncode}")
            try:
                kavrel.connect(self.db_dir).close()
                return
            except kavrel.ConnectionError:
                time.sleep(0.05)
        pytest.fail("kavrel-server did not open its socket within 30 s")

    def log_text(self):
        with open(self.log_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def tcp_ports(self, count=1):
        """The ports of the TCP listeners ({"127.0.0.1": port, "[::1]": port}), from the
        server's "Listening on HOST:PORT (TLS)" or plain TCP warning lines."""
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            found = dict(re.findall(r"(?:Listening on|listening on) (\S+):(\d+)(?: \(TLS\)| with)",
                                    self.log_text()))
            if len(found) >= count:
                return {host: int(port) for host, port in found.items()}
            if self.proc.poll() is not None:
                break
            time.sleep(0.05)
        pytest.fail(f"no TCP listener line in the server's log:\n{self.log_text()}")

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(timeout=30)
        self.log.close()


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    base = tmp_path_factory.mktemp("kavrel")
    s = Server(str(base / "db"))
    s.start()
    yield s
    s.stop()


@pytest.fixture
def client(server):
    c = kavrel.connect(server.db_dir)
    yield c
    c.close()


_names = itertools.count()


@pytest.fixture
def name():
    """A fresh table name or key prefix for each test, as tests of a module share a server."""
    return f"t{next(_names)}"
