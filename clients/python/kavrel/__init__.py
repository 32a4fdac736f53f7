"""Python client for kavrel-server, with client-side SQL (see README.md)."""

from .client import Client, Pool, Transaction, connect
from .errors import (ConflictError, ConnectionError, Error, NotSupportedError,
                     RequestTooLargeError, SchemaError, ServerError, SqlError)
from .wire import MAX_MESSAGE_SIZE, Column, Schema, pack_row, parse_toon, unpack_row

__version__ = "0.1.0"

__all__ = [
    "Client", "Column", "ConflictError", "ConnectionError", "Error", "MAX_MESSAGE_SIZE",
    "NotSupportedError", "Pool", "RequestTooLargeError", "Schema", "SchemaError",
    "ServerError", "SqlError", "Transaction", "connect", "pack_row", "parse_toon",
    "unpack_row",
]
