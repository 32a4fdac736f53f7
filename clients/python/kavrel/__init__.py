"""Python client for kavrel-server, with client-side SQL (see README.md)."""

from .client import Client, Pool, Transaction, Users, connect
from .errors import (AuthenticationError, ConflictError, ConnectionError, CredentialsError, Error,
                     NotSupportedError, PermissionDeniedError, RequestTooLargeError,
                     SchemaError, ServerError, SqlError)
from .wire import MAX_MESSAGE_SIZE, Column, Schema, pack_row, parse_toon, unpack_row

__version__ = "0.1.0"

__all__ = [
    "AuthenticationError", "Client", "Column", "ConflictError", "ConnectionError",
    "CredentialsError", "Error", "MAX_MESSAGE_SIZE", "NotSupportedError", "Pool",
    "PermissionDeniedError", "RequestTooLargeError", "Schema", "SchemaError", "ServerError",
    "SqlError", "Transaction", "Users", "connect", "pack_row", "parse_toon", "unpack_row",
]
