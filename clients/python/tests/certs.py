"""Test certificates made with the openssl command-line tool: two CAs, a server certificate for
localhost, 127.0.0.1 and ::1, and client certificates by common name. Keys are mode 0600."""

import os
import shutil
import subprocess

import pytest

_DAYS = "2"
_EC = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]


def _openssl(*args, cwd):
    done = subprocess.run(["openssl", *args], cwd=cwd, capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"openssl {' '.join(args)} failed: {done.stderr}")


def _ca(directory, name):
    _openssl("req", "-x509", *_EC, "-keyout", f"{name}.key", "-out", f"{name}.crt",
             "-days", _DAYS, "-subj", f"/CN=kavrel test {name}",
             "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=directory)


def _leaf(directory, name, common_name, ca, extensions):
    with open(os.path.join(directory, f"{name}.ext"), "w") as f:
        f.write("basicConstraints=CA:FALSE\n"
                "subjectKeyIdentifier=hash\n"
                "authorityKeyIdentifier=keyid,issuer\n" + extensions)
    _openssl("req", *_EC, "-keyout", f"{name}.key", "-out", f"{name}.csr",
             "-subj", f"/CN={common_name}", cwd=directory)
    _openssl("x509", "-req", "-in", f"{name}.csr", "-CA", f"{ca}.crt", "-CAkey", f"{ca}.key",
             "-CAcreateserial", "-out", f"{name}.crt", "-days", _DAYS,
             "-extfile", f"{name}.ext", cwd=directory)


def make(directory):
    """{name: path} of ca.crt, other_ca.crt, server.crt/.key, and the client certificates
    alice (CN alice), bob (CN bob) and rogue (CN alice, signed by the other CA)."""
    if shutil.which("openssl") is None:
        pytest.skip("the openssl command-line tool is not installed")
    directory = os.fspath(directory)
    _ca(directory, "ca")
    _ca(directory, "other_ca")
    _leaf(directory, "server", "localhost", "ca",
          "keyUsage=critical,digitalSignature,keyEncipherment\n"
          "extendedKeyUsage=serverAuth\n"
          "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1\n")
    client = "keyUsage=critical,digitalSignature\nextendedKeyUsage=clientAuth\n"
    _leaf(directory, "alice", "alice", "ca", client)
    _leaf(directory, "bob", "bob", "ca", client)
    _leaf(directory, "rogue", "alice", "other_ca", client)
    paths = {}
    for entry in os.listdir(directory):
        path = os.path.join(directory, entry)
        if entry.endswith(".key"):
            os.chmod(path, 0o600)
        paths[entry] = path
    return paths
