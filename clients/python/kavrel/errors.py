"""The one exception hierarchy of the client: every failure is a kavrel.Error."""

import enum


class Error(Exception):
    """Base of every error the client raises."""


class ServerError(Error):
    """The server answered ERROR; ``text`` is its message exactly as sent."""

    def __init__(self, text):
        super().__init__(text)
        self.text = text

    @property
    def error_class(self):
        """The ErrorClass of the text."""
        return classify(self.text)

    @property
    def ends_transaction(self):
        """Whether the server ended the transaction the text names (aborted it, or knows no
        such handle): the handle is no longer usable."""
        return self.error_class in (ErrorClass.TRANSACTION_ABORTED,
                                    ErrorClass.TRANSACTION_NOT_FOUND)


class ConflictError(ServerError):
    """The transaction was aborted by a conflict (write-write or serialization validation), or a
    lone write met one: is_retryable(text).

    Running the whole transaction again may succeed; ``Client.run_transaction`` does that.
    """


class AuthenticationError(ServerError):
    """The server refused a login ("Authentication failed": an unknown user or a wrong
    password), or a request came before one ("Authentication required"). ``text`` is the
    server's text as sent; the message may add what the client tried (never a password)."""

    def __init__(self, text, detail=None):
        super().__init__(text)
        self.detail = detail

    def __str__(self):
        return self.text if not self.detail else f"{self.text} ({self.detail})"


class PermissionDeniedError(ServerError):
    """The logged-in user's role or key prefix does not allow the request; nothing changed."""


class CredentialsError(Error):
    """The client has no usable credentials for a login: no password from any source
    (``no_password`` true, ``user`` the user), or a password file that may not be read (a mode
    other than 0600). Nothing was sent."""

    def __init__(self, text, user=None, no_password=False):
        super().__init__(text)
        self.user = user
        self.no_password = no_password


class ConnectionError(Error):  # noqa: A001 - deliberately the package's own name
    """The server cannot be reached, the TLS handshake failed (an untrusted certificate, a name
    that does not match), the server could not prove that it knows the user's verifier, or the
    connection was lost or broke the protocol."""


class RequestTooLargeError(Error):
    """A request is larger than the server's frame limit; nothing was sent."""


class SchemaError(Error):
    """A row does not fit its table's schema (a missing column, a bad value, a NULL where none
    is allowed); nothing was sent."""


class SqlError(Error):
    """A SQL statement cannot be run: a syntax error, an unknown table or column, a broken
    constraint."""


class NotSupportedError(SqlError):
    """A SQL construct outside the supported subset; the message names the construct
    ("not supported: the function SUBSTR()"), kept as ``construct``."""

    def __init__(self, construct):
        super().__init__(f"not supported: {construct}")
        self.construct = construct


class ErrorClass(enum.Enum):
    """What an ERROR answer means to a client; the values are the names of protocol/errors.h."""

    OTHER = "Other"  # shown as it is; nothing to retry
    WRITE_CONFLICT = "WriteConflict"  # another transaction's write of the key was pending
    SERIALIZATION_FAILURE = "SerializationFailure"  # the commit's validation refused it
    TRANSACTION_ABORTED = "TransactionAborted"  # "Transaction N aborted: <cause>; retry ..."
    TRANSACTION_NOT_FOUND = "TransactionNotFound"  # the handle names no open transaction
    TABLE_NOT_FOUND = "TableNotFound"
    AUTHENTICATION_REQUIRED = "AuthenticationRequired"  # log in (AUTH) before anything else
    AUTHENTICATION_FAILED = "AuthenticationFailed"  # an unknown user or a wrong password
    PERMISSION_DENIED = "PermissionDenied"  # the user's role or key prefix does not allow it


# The server's ERROR texts clients act on, as protocol/errors.h's kErrorTexts has them (same
# rows, same order; tests/test_errors.py compares the two): class, the text's start, and what it
# holds after that ("": anything). The first row that fits decides.
_ERROR_TEXTS = (
    (ErrorClass.WRITE_CONFLICT, "Internal error: Write-write conflict detected", ""),
    (ErrorClass.SERIALIZATION_FAILURE, "Validation error: transaction aborted", ""),
    (ErrorClass.TRANSACTION_NOT_FOUND, "Transaction not found: ", ""),
    (ErrorClass.TRANSACTION_ABORTED, "Transaction ", " aborted: "),
    (ErrorClass.TABLE_NOT_FOUND, "Table not found: ", ""),
    (ErrorClass.TABLE_NOT_FOUND, "Invalid argument: Table not found: ", ""),
    (ErrorClass.AUTHENTICATION_REQUIRED, "Authentication required", ""),
    (ErrorClass.AUTHENTICATION_FAILED, "Authentication failed", ""),
    (ErrorClass.PERMISSION_DENIED, "Permission denied: ", ""),
)

_ABORTED = " aborted: "
_RETRY = "; retry from BEGIN_TXN"
_INTERNAL = "Internal error: "


def classify(text):
    """The ErrorClass of a server's ERROR text."""
    for error_class, prefix, contains in _ERROR_TEXTS:
        if text.startswith(prefix) and contains in text[len(prefix):]:
            return error_class
    return ErrorClass.OTHER


def abort_cause(text):
    """The cause in "Transaction N aborted: <cause>; retry from BEGIN_TXN"; "" for other texts."""
    if classify(text) is not ErrorClass.TRANSACTION_ABORTED:
        return ""
    cause = text[text.index(_ABORTED) + len(_ABORTED):]
    return cause[:-len(_RETRY)] if cause.endswith(_RETRY) else cause


def is_retryable(text):
    """Whether the transaction is over and running it again may succeed: a conflict or a
    refused validation, or a transaction ended by either."""
    error_class = classify(text)
    if error_class is ErrorClass.TRANSACTION_ABORTED:
        return is_retryable(abort_cause(text))
    return error_class in (ErrorClass.WRITE_CONFLICT, ErrorClass.SERIALIZATION_FAILURE)


def text_for_user(text):
    """The text to show a person: a conflict is no internal error, so its "Internal error: " is
    left out, also as the cause of an aborted transaction."""
    error_class = classify(text)
    if error_class is ErrorClass.WRITE_CONFLICT:
        return text[len(_INTERNAL):]
    if error_class is ErrorClass.TRANSACTION_ABORTED:
        cause = abort_cause(text)
        at = text.index(_ABORTED) + len(_ABORTED)
        return text[:at] + text_for_user(cause) + text[at + len(cause):]
    return text


def server_error(text):
    """The exception for an ERROR answer: ConflictError when a retry may succeed,
    AuthenticationError and PermissionDeniedError for those classes, else ServerError."""
    if is_retryable(text):
        return ConflictError(text)
    error_class = classify(text)
    if error_class in (ErrorClass.AUTHENTICATION_REQUIRED, ErrorClass.AUTHENTICATION_FAILED):
        return AuthenticationError(text)
    if error_class is ErrorClass.PERMISSION_DENIED:
        return PermissionDeniedError(text)
    return ServerError(text)
