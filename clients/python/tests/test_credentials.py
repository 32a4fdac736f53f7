"""URLs and the password's sources: the argument, KAVREL_PASSWORD, ~/.kavrelpass. No server
needed; a refusal never shows a password."""

import os
import pickle

import pytest

import kavrel
from kavrel import credentials
from kavrel.credentials import Endpoint

PASSWORD = "Pw-0f-the-tests"


@pytest.mark.parametrize("url, endpoint, text", [
    ("kavrels://alice@db.example:7000", Endpoint("db.example", 7000, True, "alice"),
     "kavrels://alice@db.example:7000"),
    ("kavrel://alice@127.0.0.1:7000", Endpoint("127.0.0.1", 7000, False, "alice"),
     "kavrel://alice@127.0.0.1:7000"),
    ("kavrels://bob@[::1]:7000", Endpoint("::1", 7000, True, "bob"), "kavrels://bob@[::1]:7000"),
    ("kavrels://[::1]:7000/", Endpoint("::1", 7000, True, None), "kavrels://[::1]:7000"),
    ("kavrels://a%40b@h:1", Endpoint("h", 1, True, "a@b"), "kavrels://a%40b@h:1"),
    ("kavrels://Alice@DB.Example:7000", Endpoint("db.example", 7000, True, "Alice"),
     "kavrels://Alice@db.example:7000"),
])
def test_urls(url, endpoint, text):
    assert credentials.parse_url(url) == endpoint
    assert str(endpoint) == text


@pytest.mark.parametrize("url, message", [
    ("https://alice@h:1", "unknown scheme 'https'"),
    ("kavrels://alice@h", "needs a port"),
    ("kavrels://alice@:7000", "needs a host"),
    ("kavrels://alice@h:99999", "malformed kavrels:// URL"),
    ("kavrels://alice@h:port", "malformed kavrels:// URL"),
    ("kavrels://alice@[::1:7000", "malformed kavrels:// URL"),
    ("kavrels://alice@h:1/db", "without a path"),
    ("kavrels://alice@h:1?tls=0", "without a path"),
    ("kavrels://@h:1", "empty user name"),
    (f"kavrels://alice:{PASSWORD}@h:1", "a password in the URL is refused"),
])
def test_malformed_urls(url, message):
    with pytest.raises(ValueError, match=message) as e:
        credentials.parse_url(url)
    assert PASSWORD not in str(e.value)


PASSFILE = r"""# comments and blank lines are skipped

db.example:7000:alice:alice-on-db
db.example:*:bob:bob-anywhere-on-db
*:7001:alice:alice-on-7001
[::1]:7000:carol:carol-on-v6
/srv/kavrel\:x/kavrel.sock:*:dave:dave-on-socket
*:*:erin:with:colons\\and\:escapes
*:*:*:fallback
"""


@pytest.mark.parametrize("host, port, user, password", [
    ("db.example", 7000, "alice", "alice-on-db"),
    ("DB.EXAMPLE", 7000, "alice", "alice-on-db"),
    ("db.example", 7001, "alice", "alice-on-7001"),
    ("db.example", 1234, "bob", "bob-anywhere-on-db"),
    ("other", 7000, "alice", "fallback"),
    ("::1", 7000, "carol", "carol-on-v6"),
    ("/srv/kavrel:x/kavrel.sock", "", "dave", "dave-on-socket"),
    ("h", 1, "erin", "with:colons\\and:escapes"),
])
def test_password_file_lines(host, port, user, password):
    assert credentials.lookup(PASSFILE, host, port, user) == password


def test_password_file_without_a_match_and_with_a_bad_line():
    assert credentials.lookup("h:1:alice:x\n", "h", 1, "bob") is None
    with pytest.raises(kavrel.CredentialsError) as e:
        credentials.lookup(f"h:1:alice:x\nh:1:{PASSWORD}\n", "h", 1, "bob", "pf")
    assert str(e.value) == "pf line 2: expected host:port:user:password"


@pytest.fixture
def home(tmp_path, monkeypatch):
    monkeypatch.setenv("HOME", str(tmp_path))
    monkeypatch.delenv(credentials.PASSWORD_ENV, raising=False)
    return tmp_path


def _passfile(home, mode, text=f"*:*:alice:{PASSWORD}\n"):
    path = home / ".kavrelpass"
    path.write_text(text)
    os.chmod(path, mode)
    return path


@pytest.mark.parametrize("argument, env, file_mode, found", [
    ("from-argument", "from-env", 0o600, "from-argument"),
    ("", "from-env", 0o600, ""),  # an empty password given is the password
    (None, "from-env", 0o600, "from-env"),
    (None, "", 0o600, PASSWORD),  # an empty variable is no password
    (None, None, 0o600, PASSWORD),
    (None, None, 0o400, PASSWORD),
    (None, None, None, None),  # no file
])
def test_password_sources_in_order(home, monkeypatch, argument, env, file_mode, found):
    if env is not None:
        monkeypatch.setenv(credentials.PASSWORD_ENV, env)
    if file_mode is not None:
        _passfile(home, file_mode)
    secret = credentials.find_password(argument, "h", 1, "alice")
    if found is None:
        assert secret is None
    else:
        assert secret.reveal() == found


@pytest.mark.parametrize("mode", [0o644, 0o640, 0o604, 0o660, 0o606])
def test_a_password_file_others_may_read_or_change_is_refused(home, mode):
    path = _passfile(home, mode)
    with pytest.raises(kavrel.CredentialsError) as e:
        credentials.find_password(None, "h", 1, "alice")
    assert str(e.value) == (f"the password file {path} has mode {mode:04o}: others may read or "
                            f"change it, so it was not read (chmod 600 {path})")
    assert PASSWORD not in str(e.value)


def test_a_password_file_that_is_not_a_file_or_absent_when_named(home):
    (home / ".kavrelpass").mkdir()
    with pytest.raises(kavrel.CredentialsError, match="is not a regular file"):
        credentials.find_password(None, "h", 1, "alice")
    with pytest.raises(kavrel.CredentialsError, match="does not exist"):
        credentials.find_password(None, "h", 1, "alice", passfile=home / "nope")
    named = _passfile(home / ".kavrelpass", 0o600, "h:1:alice:named\n")
    assert credentials.find_password(None, "h", 1, "alice", passfile=named).reveal() == "named"


def test_secrets_do_not_show_themselves():
    secret = credentials.Secret(PASSWORD)
    assert PASSWORD not in repr(secret) and PASSWORD not in str(secret)
    assert PASSWORD not in repr([secret]) and PASSWORD not in f"{secret}"
    with pytest.raises(TypeError):
        pickle.dumps(secret)
    assert credentials.Secret(secret).reveal() == PASSWORD


@pytest.mark.parametrize("kwargs, error, message", [
    (dict(db_dir="kavrels://h:1"), kavrel.CredentialsError, "names no user"),
    (dict(db_dir="kavrel://h:1"), kavrel.CredentialsError, "names no user"),
    (dict(db_dir="kavrels://alice@h:1"), kavrel.CredentialsError,
     "no password for user 'alice' at kavrels://alice@h:1"),
    (dict(db_dir="kavrels://alice@h:1", user="bob", password=PASSWORD), ValueError,
     "names the user 'alice' and user= 'bob'"),
    (dict(db_dir="kavrels://alice@h:1", socket="/x", password=PASSWORD), ValueError,
     "not both"),
    (dict(db_dir="kavrel://alice@h:1", password=PASSWORD, cafile="ca.crt"), ValueError,
     "for kavrels:// \\(TLS\\) URLs"),
    (dict(db_dir="/tmp/db", cafile="ca.crt"), ValueError, "for kavrels:// \\(TLS\\) URLs"),
    (dict(db_dir="/tmp/db", password=PASSWORD), ValueError, "password= needs user="),
    (dict(db_dir="/nonexistent/db", user="alice"), kavrel.CredentialsError,
     "no password for user 'alice' at /nonexistent/db/kavrel.sock"),
    (dict(db_dir="kavrels://alice@h:1", password=PASSWORD, cafile="/nonexistent/ca.crt"),
     kavrel.ConnectionError, "TLS: cannot read the CA file /nonexistent/ca.crt"),
    (dict(db_dir="kavrels://alice@h:1", password=PASSWORD, keyfile="k"), ValueError,
     "keyfile= needs certfile="),
])
def test_connect_refuses_before_sending_anything(home, kwargs, error, message):
    with pytest.raises(error, match=message) as e:
        kavrel.connect(**kwargs)
    assert PASSWORD not in str(e.value)
