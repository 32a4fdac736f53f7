"""Where a connection goes and how it logs in: kavrel:// and kavrels:// URLs, and the password's
sources (the argument, KAVREL_PASSWORD, the password file ~/.kavrelpass).

A password is held in a Secret, whose repr and text never show it; no error raised here names
one (a line of the password file is named by its number).
"""

import os
import stat
import urllib.parse
from dataclasses import dataclass

from .errors import CredentialsError

PASSWORD_ENV = "KAVREL_PASSWORD"
PASSFILE_NAME = ".kavrelpass"
SCHEMES = {"kavrel": False, "kavrels": True}  # scheme -> TLS


class Secret:
    """A password that does not show itself: repr() and str() are "***"; reveal() gives it."""

    __slots__ = ("_value",)

    def __init__(self, value):
        if isinstance(value, Secret):
            value = value.reveal()
        if not isinstance(value, (str, bytes)):
            raise TypeError(f"a password must be str or bytes, not {type(value).__name__}")
        self._value = value

    def reveal(self):
        return self._value

    def __repr__(self):
        return "Secret('***')"

    __str__ = __repr__

    def __reduce__(self):
        raise TypeError("a Secret cannot be pickled")


@dataclass(frozen=True)
class Endpoint:
    """A TCP server: host (an IPv6 address without its brackets), port, TLS or not, and the
    user named in the URL (None when it names none)."""
    host: str
    port: int
    tls: bool
    user: str = None

    @property
    def host_text(self):
        return f"[{self.host}]" if ":" in self.host else self.host

    def __str__(self):
        user = "" if self.user is None else urllib.parse.quote(self.user, safe="") + "@"
        return f"{'kavrels' if self.tls else 'kavrel'}://{user}{self.host_text}:{self.port}"


def is_url(target):
    return isinstance(target, str) and "://" in target


def parse_url(url):
    """The Endpoint of "kavrels://user@host:port" (TLS) or "kavrel://user@host:port" (plain TCP).
    The user is optional (percent-escapes are decoded); an IPv6 host is written in brackets.
    A password in the URL is refused, without repeating the URL."""
    scheme, _, _ = url.partition("://")
    if scheme not in SCHEMES:
        raise ValueError(f"unknown scheme {scheme!r}: kavrels://USER@HOST:PORT (TLS) or "
                         "kavrel://USER@HOST:PORT (plain TCP)")
    try:
        parts = urllib.parse.urlsplit(url)
        if parts.password is not None:
            raise ValueError("a password in the URL is refused: give password=, set "
                             f"{PASSWORD_ENV} or write it in ~/{PASSFILE_NAME}")
        host, port = parts.hostname, parts.port
    except ValueError as e:
        if "password" in str(e):
            raise
        # urllib's texts name the port or the brackets, never the user part.
        raise ValueError(f"malformed {scheme}:// URL: {e}") from None
    if parts.path not in ("", "/") or parts.query or parts.fragment:
        raise ValueError(f"a {scheme}:// URL is {scheme}://USER@HOST:PORT, without a path or "
                         "a query")
    if not host:
        raise ValueError(f"a {scheme}:// URL needs a host: {scheme}://USER@HOST:PORT")
    if port is None:
        raise ValueError(f"a {scheme}:// URL needs a port: {scheme}://USER@HOST:PORT")
    user = parts.username
    if user is not None:
        user = urllib.parse.unquote(user)
        if not user:
            raise ValueError(f"an empty user name in the URL: {scheme}://USER@HOST:PORT")
    return Endpoint(host, port, SCHEMES[scheme], user)


def default_passfile():
    return os.path.join(os.path.expanduser("~"), PASSFILE_NAME)


def find_password(password, host, port, user, passfile=None):
    """The password as a Secret: the argument, else $KAVREL_PASSWORD (when not empty), else the
    first line of the password file that matches host, port and user; None when none has one.

    The password file (passfile, by default ~/.kavrelpass) holds lines host:port:user:password;
    "*" in the first three fields matches anything; lines starting with "#" and empty lines are
    skipped; "\\:" and "\\\\" write ":" and "\\" in a field, and an IPv6 host may be written in
    brackets. It must be a regular file of this user that no one else may read or write (mode
    0600 or stricter): CredentialsError otherwise, and it is not read. A missing default file
    is no error."""
    if password is not None:
        return Secret(password)
    env = os.environ.get(PASSWORD_ENV)
    if env:
        return Secret(env)
    explicit = passfile is not None
    path = os.fspath(passfile) if explicit else default_passfile()
    try:
        info = os.stat(path)
    except FileNotFoundError:
        if explicit:
            raise CredentialsError(f"the password file {path} does not exist") from None
        return None
    except OSError as e:
        raise CredentialsError(f"cannot read the password file {path}: {e.strerror}") from None
    if not stat.S_ISREG(info.st_mode):
        raise CredentialsError(f"the password file {path} is not a regular file")
    if info.st_mode & 0o077:
        raise CredentialsError(
            f"the password file {path} has mode {stat.S_IMODE(info.st_mode):04o}: others may "
            f"read or change it, so it was not read (chmod 600 {path})")
    if hasattr(os, "geteuid") and info.st_uid != os.geteuid():
        raise CredentialsError(f"the password file {path} belongs to another user (uid "
                               f"{info.st_uid}), so it was not read")
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except (OSError, UnicodeDecodeError) as e:
        raise CredentialsError(f"cannot read the password file {path}: "
                               f"{getattr(e, 'strerror', None) or 'not UTF-8 text'}") from None
    found = lookup(text, host, port, user, path)
    return None if found is None else Secret(found)


def lookup(text, host, port, user, path="the password file"):
    """The password of the first line of text that matches (host, port, user), or None. host
    and port are texts; a line's host is compared without regard to case."""
    for number, line in enumerate(text.splitlines(), 1):
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        fields = _fields(line)
        if fields is None:
            raise CredentialsError(f"{path} line {number}: expected host:port:user:password")
        line_host, line_port, line_user, line_password = fields
        if ((line_host == "*" or line_host.lower() == str(host).lower())
                and (line_port == "*" or line_port == str(port))
                and (line_user == "*" or line_user == user)):
            return line_password
    return None


def _fields(line):
    """The four fields of a line, escapes undone; the password is the rest of the line after the
    third separating ":". None when the line has fewer fields."""
    fields, current, i = [], [], 0
    if line.startswith("["):  # an IPv6 host in brackets
        end = line.find("]")
        if end < 0 or line[end + 1:end + 2] != ":":
            return None
        fields.append(line[1:end])
        i = end + 2
    while i < len(line):
        c = line[i]
        if c == "\\" and i + 1 < len(line) and line[i + 1] in ":\\":
            current.append(line[i + 1])
            i += 2
            continue
        if c == ":" and len(fields) < 3:
            fields.append("".join(current))
            current = []
        else:
            current.append(c)
        i += 1
    if len(fields) != 3:
        return None
    fields.append("".join(current))
    return fields
