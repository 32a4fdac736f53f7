"""SCRAM-SHA-256, the client's side: the RFC 7677 example, the server messages that must be
refused, and the verifiers USERS sends. No server needed."""

import base64

import pytest

from kavrel import scram

# RFC 7677, section 3.
CLIENT_NONCE = "rOprNGfwEbeRWgbNEkqO"
SERVER_FIRST = ("r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,"
                "s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096")
CLIENT_FINAL = ("c=biws,r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,"
                "p=dHzbZapWIk4jUhN+Ute9ytag9zjfMHgsqmmiz7AndVQ=")
SERVER_FINAL = "v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4="


def test_the_rfc_7677_example():
    exchange = scram.ClientExchange("user", "pencil", CLIENT_NONCE)
    assert exchange.first() == "n,,n=user,r=rOprNGfwEbeRWgbNEkqO"
    assert exchange.final(SERVER_FIRST) == CLIENT_FINAL
    exchange.verify(SERVER_FINAL)  # raises unless the signature holds
    assert "pencil" not in repr(exchange)


def test_the_verifier_of_the_example_proves_the_example():
    """A verifier made here holds the keys the server's signature is made with: the server
    signature of the RFC exchange is HMAC(ServerKey, AuthMessage)."""
    import hashlib
    import hmac
    text = scram.verifier("pencil", base64.b64decode("W22ZaJ0SNY7soEsUEjb6gQ=="), 4096)
    mechanism, salt_part, keys = text.split("$")
    assert mechanism == "SCRAM-SHA-256" and salt_part == "4096:W22ZaJ0SNY7soEsUEjb6gQ=="
    stored_key, server_key = (base64.b64decode(k) for k in keys.split(":"))
    auth_message = f"n=user,r={CLIENT_NONCE},{SERVER_FIRST},{CLIENT_FINAL.rsplit(',p=', 1)[0]}"
    signature = hmac.new(server_key, auth_message.encode(), hashlib.sha256).digest()
    assert "v=" + base64.b64encode(signature).decode() == SERVER_FINAL
    # The stored key is H(ClientKey), and ClientKey = proof XOR HMAC(StoredKey, AuthMessage).
    proof = base64.b64decode(CLIENT_FINAL.rsplit(",p=", 1)[1])
    client_signature = hmac.new(stored_key, auth_message.encode(), hashlib.sha256).digest()
    client_key = bytes(a ^ b for a, b in zip(proof, client_signature))
    assert hashlib.sha256(client_key).digest() == stored_key


def test_verifiers_take_a_fresh_salt_and_never_hold_the_password():
    a, b = scram.verifier("s3cret-pw"), scram.verifier("s3cret-pw")
    assert a != b and a.startswith("SCRAM-SHA-256$4096:")
    assert "s3cret-pw" not in a
    assert len(base64.b64decode(a.split("$")[1].split(":")[1])) == 16


@pytest.mark.parametrize("user, first", [
    ("alice", "n,,n=alice,r=N"),
    ("a=b", "n,,n=a=3Db,r=N"),
    ("a,b", "n,,n=a=2Cb,r=N"),
    ("=,", "n,,n==3D=2C,r=N"),
])
def test_user_names_are_escaped(user, first):
    assert scram.ClientExchange(user, "pw", "N").first() == first


@pytest.mark.parametrize("server_first, why", [
    ("r=OTHERnonce,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096", "does not extend the client's"),
    (f"r={CLIENT_NONCE},s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096", "does not extend the client's"),
    (f"r={CLIENT_NONCE}x,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=1000001", "1000001 iterations"),
    (f"r={CLIENT_NONCE}x,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=0", "0 iterations"),
    (f"r={CLIENT_NONCE}x,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=-1", "malformed"),
    (f"r={CLIENT_NONCE}x,s=not base64!,i=4096", "malformed"),
    (f"r={CLIENT_NONCE}x,s=,i=4096", "malformed"),
    (f"s=W22ZaJ0SNY7soEsUEjb6gQ==,r={CLIENT_NONCE}x,i=4096", "malformed"),
    (f"r={CLIENT_NONCE}x,s=W22ZaJ0SNY7soEsUEjb6gQ==", "malformed"),
    ("", "malformed"),
])
def test_server_first_messages_that_are_refused(server_first, why):
    exchange = scram.ClientExchange("user", "pencil", CLIENT_NONCE)
    with pytest.raises(scram.ScramError, match=why) as e:
        exchange.final(server_first)
    assert "pencil" not in str(e.value)


@pytest.mark.parametrize("server_final, why", [
    ("v=AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=", "signature does not hold"),
    ("v=" + SERVER_FINAL[2:-2] + "==", "signature does not hold"),  # not canonical
    ("v=", "signature does not hold"),
    ("e=invalid-proof", "the server refused: invalid-proof"),
    ("x=1", "malformed"),
    ("", "malformed"),
])
def test_server_signatures_that_are_refused(server_final, why):
    exchange = scram.ClientExchange("user", "pencil", CLIENT_NONCE)
    exchange.final(SERVER_FIRST)
    with pytest.raises(scram.ScramError, match=why):
        exchange.verify(server_final)


def test_a_signature_before_the_final_message_is_refused():
    with pytest.raises(scram.ScramError):
        scram.ClientExchange("user", "pencil", CLIENT_NONCE).verify(SERVER_FINAL)


def test_fresh_nonces_are_printable_without_commas_and_differ():
    nonces = {scram.make_nonce() for _ in range(50)}
    assert len(nonces) == 50
    assert all("," not in n and n.isprintable() and len(n) >= 24 for n in nonces)
