"""SCRAM-SHA-256 (RFC 5802, RFC 7677), the client's side, and the verifiers the server stores.

The exchange, without channel binding (TLS protects it):
  client-first  "n,,n=USER,r=CNONCE"
  server-first  "r=CNONCE+SNONCE,s=SALT(base64),i=ITERATIONS"
  client-final  "c=biws,r=CNONCE+SNONCE,p=PROOF(base64)"
  server-final  "v=SIGNATURE(base64)"
User names are written with "=" as "=3D" and "," as "=2C"; passwords are used as their UTF-8
bytes, without normalisation, as the server does. The password itself never leaves this
module: only the proof, from which it cannot be read back, is sent.
"""

import base64
import binascii
import hashlib
import hmac
import secrets

MECHANISM = "SCRAM-SHA-256"
# The iterations of a new verifier; a server asking for more than MAX_ITERATIONS is refused, so
# that a hostile one cannot make the client spin (the server's own limit).
ITERATIONS = 4096
MAX_ITERATIONS = 1_000_000
_SALT_SIZE = 16
_CHANNEL_BINDING = "biws"  # base64("n,,")


class ScramError(Exception):
    """The server's side of an exchange does not hold; the text says what, never a secret."""


def escape_user(user):
    return user.replace("=", "=3D").replace(",", "=2C")


def make_nonce():
    """18 random bytes in base64: printable, without ','."""
    return base64.b64encode(secrets.token_bytes(18)).decode("ascii")


def _password_bytes(password):
    return password.encode("utf-8") if isinstance(password, str) else bytes(password)


def _hmac(key, data):
    return hmac.new(key, data, hashlib.sha256).digest()


def _salted_password(password, salt, iterations):
    return hashlib.pbkdf2_hmac("sha256", _password_bytes(password), salt, iterations, 32)


def _b64decode(text):
    """The bytes of canonical base64 text, or None."""
    try:
        data = base64.b64decode(text, validate=True)
    except (binascii.Error, ValueError):
        return None
    return data if base64.b64encode(data).decode("ascii") == text else None


def _attributes(message):
    """[(name, value), ...] of "k=value,k=value"; None when a part is malformed."""
    out = []
    for part in message.split(","):
        if len(part) < 2 or part[1] != "=":
            return None
        out.append((part[0], part[2:]))
    return out


def verifier(password, salt=None, iterations=ITERATIONS):
    """The verifier text the server stores for password:
    "SCRAM-SHA-256$ITERATIONS:SALT$STOREDKEY:SERVERKEY" (the parts in base64), under a fresh
    random salt unless one is given."""
    if salt is None:
        salt = secrets.token_bytes(_SALT_SIZE)
    if not 1 <= iterations <= MAX_ITERATIONS:
        raise ValueError(f"iterations must be from 1 to {MAX_ITERATIONS}")
    salted = _salted_password(password, salt, iterations)
    stored_key = hashlib.sha256(_hmac(salted, b"Client Key")).digest()
    server_key = _hmac(salted, b"Server Key")

    def b64(data):
        return base64.b64encode(data).decode("ascii")

    return f"{MECHANISM}${iterations}:{b64(salt)}${b64(stored_key)}:{b64(server_key)}"


class ClientExchange:
    """One login: first(), then final(server_first), then verify(server_final)."""

    __slots__ = ("user", "_password", "nonce", "_server_signature")

    def __init__(self, user, password, nonce=None):
        self.user = user
        self._password = password
        self.nonce = nonce or make_nonce()
        self._server_signature = None

    def __repr__(self):
        return f"ClientExchange(user={self.user!r})"

    def _bare(self):
        return f"n={escape_user(self.user)},r={self.nonce}"

    def first(self):
        return "n,," + self._bare()

    def final(self, server_first):
        """The client-final message for the server's first message; ScramError when it does
        not hold (a nonce that does not extend ours, too many iterations, malformed)."""
        attrs = _attributes(server_first)
        if attrs is None or len(attrs) < 3 or [a for a, _ in attrs[:3]] != ["r", "s", "i"]:
            raise ScramError("malformed server message")
        nonce, salt_text, iter_text = (v for _, v in attrs[:3])
        if not nonce.startswith(self.nonce) or len(nonce) == len(self.nonce):
            raise ScramError("the server's nonce does not extend the client's")
        salt = _b64decode(salt_text)
        if not salt or not iter_text.isdigit() or not iter_text.isascii():
            raise ScramError("malformed server message")
        iterations = int(iter_text)
        if not 1 <= iterations <= MAX_ITERATIONS:
            raise ScramError(f"the server asks for {iterations} iterations, outside 1 to "
                             f"{MAX_ITERATIONS}")
        salted = _salted_password(self._password, salt, iterations)
        self._password = None  # not needed any more
        client_key = _hmac(salted, b"Client Key")
        server_key = _hmac(salted, b"Server Key")
        without_proof = f"c={_CHANNEL_BINDING},r={nonce}"
        auth_message = f"{self._bare()},{server_first},{without_proof}".encode("utf-8")
        signature = _hmac(hashlib.sha256(client_key).digest(), auth_message)
        proof = bytes(a ^ b for a, b in zip(client_key, signature))
        self._server_signature = _hmac(server_key, auth_message)
        return f"{without_proof},p={base64.b64encode(proof).decode('ascii')}"

    def verify(self, server_final):
        """Checks the server's signature: only a server that holds the verifier can make it.
        ScramError otherwise."""
        attrs = _attributes(server_final)
        if attrs:
            name, value = attrs[0]
            if name == "e":
                raise ScramError(f"the server refused: {value}")
            if name == "v":
                signature = _b64decode(value)
                if (signature is not None and self._server_signature is not None
                        and hmac.compare_digest(signature, self._server_signature)):
                    return
                raise ScramError("the server's signature does not hold")
        raise ScramError("malformed server message")
