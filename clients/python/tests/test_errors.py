"""The client's reading of the server's ERROR texts, against the cases the C++ clients are tested
with (protocol/error_cases.tsv) and the C++ table itself (protocol/errors.h)."""

import pathlib
import re

import pytest

import kavrel
from kavrel import errors

PROTOCOL = pathlib.Path(__file__).resolve().parents[3] / "protocol"


def _cases():
    cases = []
    for line in (PROTOCOL / "error_cases.tsv").read_text(encoding="utf-8").splitlines():
        if line and not line.startswith("#"):
            text, error_class, retryable, user_text = line.split("\t")
            cases.append((text, error_class, retryable, user_text))
    return cases


CASES = _cases()


@pytest.mark.parametrize("text,error_class,retryable,user_text", CASES)
def test_shared_cases_classify_as_listed(text, error_class, retryable, user_text):
    assert errors.classify(text).value == error_class
    assert errors.is_retryable(text) == (retryable == "yes")
    assert errors.text_for_user(text) == user_text
    err = errors.server_error(text)
    assert type(err) is (kavrel.ConflictError if retryable == "yes" else
                         _CLASSES.get(error_class, kavrel.ServerError))
    assert isinstance(err, kavrel.ServerError)
    assert err.text == text == str(err)


# The ServerError subclasses raised for a class of texts (ConflictError: the retryable ones).
_CLASSES = {
    "AuthenticationRequired": kavrel.AuthenticationError,
    "AuthenticationFailed": kavrel.AuthenticationError,
    "PermissionDenied": kavrel.PermissionDeniedError,
}


def test_table_mirrors_the_cpp_table():
    """Same rows in the same order: the C++ kErrorTexts, read from its header."""
    header = (PROTOCOL / "errors.h").read_text(encoding="utf-8")
    body = header[header.index("kErrorTexts[] = {"):]
    body = body[:body.index("};")]
    rows = re.findall(r'\{ErrorClass::(\w+),\s*"((?:[^"\\]|\\.)*)",\s*"((?:[^"\\]|\\.)*)"\}', body)
    assert len(rows) >= 5
    assert [(c.value, prefix, contains) for c, prefix, contains in errors._ERROR_TEXTS] == rows


def test_every_row_has_a_case():
    for error_class, prefix, _ in errors._ERROR_TEXTS:
        assert any(text.startswith(prefix) and c == error_class.value
                   for text, c, _, _ in CASES), prefix


class _Answering:
    """Stands in for a Client whose every request is answered ERROR with one text."""

    def __init__(self, text):
        self.text = text
        self._open = {}

    def _call(self, *_):
        raise errors.server_error(self.text)


@pytest.mark.parametrize("text,kind,finished", [
    ("Transaction 5 aborted: Internal error: Write-write conflict detected; retry from BEGIN_TXN",
     kavrel.ConflictError, True),
    ("Transaction 5 aborted: IO error: No space left on device (os error 28); retry from "
     "BEGIN_TXN", kavrel.ServerError, True),
    ("Transaction not found: 5", kavrel.ServerError, True),
    ("Table not found: t", kavrel.ServerError, False),
])
def test_transaction_is_finished_when_the_server_ended_it(text, kind, finished):
    tx = kavrel.Transaction(_Answering(text), 5)
    with pytest.raises(kind):
        tx.get("k")
    assert tx.finished is finished
