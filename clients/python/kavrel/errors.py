"""The one exception hierarchy of the client: every failure is a kavrel.Error."""


class Error(Exception):
    """Base of every error the client raises."""


class ServerError(Error):
    """The server answered ERROR; ``text`` is its message exactly as sent."""

    def __init__(self, text):
        super().__init__(text)
        self.text = text


class ConflictError(ServerError):
    """The transaction was aborted by a conflict (write-write or serialization validation).

    Running the whole transaction again may succeed; ``Client.run_transaction`` does that.
    """


class ConnectionError(Error):  # noqa: A001 - deliberately the package's own name
    """The server cannot be reached, or the connection was lost or broke the protocol."""


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


# Texts of the server's ERROR answers that mean "the transaction was aborted by a conflict".
_CONFLICT_MARKERS = ("Write-write conflict", "Validation error: transaction aborted")


def server_error(text):
    """The exception for an ERROR answer: ConflictError for conflicts, else ServerError."""
    if any(marker in text for marker in _CONFLICT_MARKERS):
        return ConflictError(text)
    return ServerError(text)
