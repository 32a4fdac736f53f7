"""kavrel-sql: an SQL shell for a kavrel-server (python3 -m kavrel.sql_shell).

    kavrel-sql [-d DB | -s SOCKET | -u URL] [--user NAME] [--ca FILE] [--cert FILE --key FILE]
               [-c SQL] [--mode table|csv|json]

URL is kavrels://USER@HOST:PORT (TLS) or kavrel://USER@HOST:PORT (plain TCP); the password comes
from $KAVREL_PASSWORD or ~/.kavrelpass, else it is asked for on a terminal.

On a terminal it reads statements with line editing and history (~/.kavrel_sql_history, or
$KAVREL_SQL_HISTORY); a statement may span lines and ends with ';'. Otherwise it runs the
script on standard input, or the SQL given with -c, and stops at the first error with exit
status 1. Lines starting with '.' are the shell's own commands (.help lists them).
BEGIN, COMMIT and ROLLBACK run the statements between them in one transaction.
"""

import argparse
import csv
import getpass
import io
import json
import math
import os
import re
import sys
import time

from . import client as client_module
from . import sql as sql_module
from .errors import CredentialsError, Error

HELP = """\
.tables                  the tables
.schema [TABLE]          CREATE TABLE statements of the tables (or of one)
.mode table|csv|json     how results are shown (now: {mode})
.headers on|off          column names in csv mode (now: {headers})
.nullvalue TEXT          how NULL is shown in table and csv modes (now: {null!r})
.timer on|off            show each statement's time (now: {timer})
.help                    this text
.quit, .exit             leave (an open transaction is rolled back)
Statements end with ';' and may span lines. BEGIN, COMMIT (or END) and ROLLBACK run the
statements between them in one transaction."""

_MODES = ("table", "csv", "json")


class ShellError(Exception):
    """A shell command that cannot run; its message is shown as the error."""


def _float(v):
    return repr(v)  # the shortest text that reads back as the same float


def _cell(v, null):
    """A value as the table and csv modes show it."""
    if v is None:
        return null
    if isinstance(v, float):
        return _float(v)
    if isinstance(v, bytes):
        return "x'" + v.hex() + "'"
    return str(v)


def _json_value(v):
    if isinstance(v, float):
        if math.isfinite(v):
            return _float(v)
        return json.dumps(_float(v))
    if isinstance(v, bytes):
        return json.dumps("x'" + v.hex() + "'")
    return json.dumps(v, ensure_ascii=False)


class Shell:
    def __init__(self, client, out=None, err=None):
        self.client = client
        self.out = out or sys.stdout
        self.err = err or sys.stderr
        self.mode = "table"
        self.headers = True
        self.null = ""
        self.timer = False
        self.tx = None

    # ---- output ----

    def show(self, columns, rows):
        if self.mode == "csv":
            buf = io.StringIO()
            writer = csv.writer(buf, lineterminator="\r\n")
            if self.headers:
                writer.writerow(columns)
            for row in rows:
                writer.writerow([_cell(v, self.null) for v in row])
            self.out.write(buf.getvalue())
        elif self.mode == "json":
            lines = ["{" + ",".join(f"{json.dumps(c, ensure_ascii=False)}:{_json_value(v)}"
                                    for c, v in zip(columns, row)) + "}" for row in rows]
            self.out.write("[" + ",\n".join(lines) + "]\n" if lines else "[]\n")
        else:
            cells = [[_cell(v, self.null) for v in row] for row in rows]
            widths = [max([len(c)] + [len(r[i]) for r in cells]) for i, c in enumerate(columns)]
            rule = "+" + "+".join("-" * (w + 2) for w in widths) + "+\n"
            self.out.write(rule)
            self.out.write("|" + "|".join(f" {c:<{w}} " for c, w in zip(columns, widths))
                           + "|\n")
            self.out.write(rule)
            for row, text in zip(rows, cells):
                parts = []
                for v, t, w in zip(row, text, widths):
                    number = isinstance(v, (int, float))
                    parts.append(f" {t:>{w}} " if number else f" {t:<{w}} ")
                self.out.write("|" + "|".join(parts) + "|\n")
            if rows:
                self.out.write(rule)

    # ---- commands ----

    def dot(self, line):
        words = line.split()
        cmd, args = words[0].lower(), words[1:]
        if cmd in (".quit", ".exit", ".q"):
            raise EOFError
        if cmd == ".help":
            self.out.write(HELP.format(mode=self.mode, headers="on" if self.headers else "off",
                                       null=self.null, timer="on" if self.timer else "off")
                           + "\n")
        elif cmd == ".tables":
            for schema in self.client.tables():
                if not schema.name.startswith("__kavrel"):
                    self.out.write(schema.name + "\n")
        elif cmd == ".schema":
            self.schema(args[0] if args else None)
        elif cmd == ".mode":
            if len(args) != 1 or args[0].lower() not in _MODES:
                raise ShellError("usage: .mode table|csv|json")
            self.mode = args[0].lower()
        elif cmd in (".timer", ".headers"):
            if len(args) != 1 or args[0].lower() not in ("on", "off"):
                raise ShellError(f"usage: {cmd} on|off")
            setattr(self, cmd[1:], args[0].lower() == "on")
        elif cmd == ".nullvalue":
            self.null = line.split(None, 1)[1] if len(args) else ""
        else:
            raise ShellError(f"unknown command {words[0]}: .help lists the commands")

    def schema(self, name):
        tables = [t for t in self.client.tables() if not t.name.startswith("__kavrel")]
        if name is not None:
            match = [t for t in tables if t.name == name] or [
                t for t in tables if t.name.lower() == name.lower()]
            if not match:
                raise ShellError(f"no such table: {name}")
            tables = match
        for schema in tables:
            self.out.write(create_statement(self.client, schema) + "\n")

    def statement(self, text):
        """Runs one statement (its text without the ';')."""
        tokens = sql_module.split_statements(text)
        first = tokens[0][0].word() if tokens and tokens[0] else None
        second = tokens[0][1].word() if tokens and len(tokens[0]) > 1 else None
        started = time.perf_counter()
        if first in ("BEGIN", "COMMIT", "END", "ROLLBACK") and (
                len(tokens[0]) == 1 or (len(tokens[0]) == 2 and second == "TRANSACTION")):
            self.transaction(first)
        else:
            target = self.tx if self.tx is not None else self.client
            try:
                result = target.sql(text)
            except Error:
                if self.tx is not None and self.tx.finished:
                    self.tx = None  # aborted by a conflict or lost with its connection
                raise
            if result.columns is not None:
                self.show(result.columns, result.tuples())
        if self.timer:
            self.out.write(f"Run Time: real {time.perf_counter() - started:.3f}\n")

    def transaction(self, word):
        if word == "BEGIN":
            if self.tx is not None:
                raise ShellError("a transaction is already open")
            self.tx = self.client.begin()
            return
        if self.tx is None:
            raise ShellError("no transaction is open")
        tx, self.tx = self.tx, None
        if word == "ROLLBACK":
            tx.abort_quietly()
        else:
            tx.commit()

    def run_text(self, text):
        """Runs the statements and dot commands of a complete input text."""
        stripped = text.strip()
        if stripped.startswith("."):
            self.dot(stripped)
            return
        for tokens in sql_module.split_statements(text):
            self.statement(text[tokens[0].start:tokens[-1].end])

    def report(self, e):
        self.err.write(f"Error: {e}\n")
        self.err.flush()

    def close(self):
        if self.tx is not None:
            self.tx.abort_quietly()
            self.tx = None

    # ---- input ----

    def run_script(self, lines):
        """Runs lines (a script); stops at the first error. Answers the exit status."""
        buffer = []
        for line in lines:
            if not buffer and line.strip().startswith("."):
                try:
                    self.dot(line.strip())
                except EOFError:
                    return 0
                except (Error, ShellError) as e:
                    self.report(e)
                    return 1
                continue
            buffer.append(line)
            text = "".join(buffer)
            if sql_module.statement_complete(text):
                buffer = []
                try:
                    self.run_text(text)
                except (Error, ShellError) as e:
                    self.report(e)
                    return 1
        text = "".join(buffer)
        if text.strip():
            try:
                if sql_module.split_statements(text):
                    self.run_text(text)  # a last statement without its ';'
            except (Error, ShellError) as e:
                self.report(e)
                return 1
        return 0

    def interactive(self):
        history = _start_history()
        buffer = []
        self.out.write("kavrel-sql: statements end with ';', .help for help\n")
        while True:
            prompt = "kavrel> " if not buffer else "   ...> "
            if self.tx is not None and not buffer:
                prompt = "kavrel*> "
            try:
                line = input(prompt)
            except EOFError:
                self.out.write("\n")
                break
            except KeyboardInterrupt:
                self.out.write("\n")
                buffer = []
                continue
            if not buffer and line.strip().startswith("."):
                try:
                    self.dot(line.strip())
                except EOFError:
                    break
                except (Error, ShellError) as e:
                    self.report(e)
                continue
            buffer.append(line + "\n")
            text = "".join(buffer)
            if not sql_module.statement_complete(text):
                if not text.strip():
                    buffer = []
                continue
            if history and len(buffer) > 1:
                # One history entry for the whole statement, as it was typed over several lines.
                rl = history.readline
                for _ in range(min(len(buffer), rl.get_current_history_length())):
                    rl.remove_history_item(rl.get_current_history_length() - 1)
                rl.add_history(" ".join(line.strip() for line in buffer))
            buffer = []
            try:
                self.run_text(text)
            except EOFError:
                break
            except (Error, ShellError) as e:
                self.report(e)
            except KeyboardInterrupt:
                self.out.write("\n")
        if history:
            history()
        return 0


def create_statement(client, schema):
    """The CREATE TABLE statement of a registered table, with its row key."""
    stored = client.get(sql_module._meta_key(schema.name))
    key = sql_module._key_column(schema, stored.decode("utf-8") if stored else None)
    parts = []
    for c in schema.columns:
        text = f"{_ident(c.name)} {sql_module._SQL_TYPE_NAMES[c.type]}"
        if c.type == "uint":
            text += " /* unsigned */"
        if key is not None and c.name == key.name:
            text += " PRIMARY KEY"
        elif not c.nullable:
            text += " NOT NULL"
        parts.append(text)
    return f"CREATE TABLE {_ident(schema.name)} ({', '.join(parts)});"


def _ident(name):
    if re.fullmatch(r"[A-Za-z_][A-Za-z0-9_]*", name) and name.upper() not in _RESERVED:
        return name
    return '"' + name.replace('"', '""') + '"'


_RESERVED = {"SELECT", "FROM", "WHERE", "TABLE", "ORDER", "GROUP", "BY", "INSERT", "UPDATE",
             "DELETE", "CREATE", "DROP", "INDEX", "KEY", "PRIMARY", "NOT", "NULL", "AND", "OR",
             "IN", "IS", "AS", "ON", "JOIN", "LEFT", "LIMIT", "OFFSET", "VALUES", "SET", "INTO",
             "CASE", "WHEN", "THEN", "ELSE", "END", "DEFAULT", "UNIQUE", "CHECK", "ALL"}


def _start_history():
    """Line editing and history on a terminal; answers the function that saves it."""
    try:
        import readline
    except ImportError:
        return None
    path = os.environ.get("KAVREL_SQL_HISTORY") or os.path.expanduser("~/.kavrel_sql_history")
    try:
        readline.read_history_file(path)
    except OSError:
        pass
    readline.set_history_length(1000)

    def save():
        try:
            readline.write_history_file(path)
        except OSError:
            pass
    save.readline = readline
    return save


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="kavrel-sql", description="SQL shell for a kavrel-server (SQL runs in the client).")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("-d", "--db", help="the database directory: its socket is DB/kavrel.sock "
                       "(default: ./kavrel_data)")
    where.add_argument("-s", "--socket", help="the server's Unix socket")
    where.add_argument("-u", "--url", help="kavrels://USER@HOST:PORT (TLS) or "
                       "kavrel://USER@HOST:PORT (plain TCP)")
    parser.add_argument("--user", help="log in as NAME on the Unix socket (a server run with "
                        "--unix-auth)")
    parser.add_argument("--ca", metavar="FILE", help="the CAs the server's certificate is "
                        "checked by (default: the system's)")
    parser.add_argument("--cert", metavar="FILE", help="a client certificate: the server logs "
                        "in the user it names")
    parser.add_argument("--key", metavar="FILE", help="the client certificate's key")
    parser.add_argument("-c", "--command", metavar="SQL",
                        help="runs SQL (statements, or one dot command) and exits")
    parser.add_argument("--mode", choices=_MODES, default="table", help="how results are shown")
    parser.add_argument("--timer", action="store_true", help="show each statement's time")
    args = parser.parse_args(argv)
    options = {key: value for key, value in (("user", args.user), ("cafile", args.ca),
                                             ("certfile", args.cert), ("keyfile", args.key))
               if value is not None}
    try:
        try:
            client = client_module.connect(args.url or args.db, socket=args.socket, **options)
        except CredentialsError as e:
            if not e.no_password or not sys.stdin.isatty():
                raise
            password = getpass.getpass(f"Password for {e.user}: ")
            client = client_module.connect(args.url or args.db, socket=args.socket,
                                           password=password, **options)
    except (Error, ValueError) as e:
        print(f"Error: {e}", file=sys.stderr)
        return 1
    shell = Shell(client)
    shell.mode = args.mode
    shell.timer = args.timer
    try:
        if args.command is not None:
            return shell.run_script(io.StringIO(args.command + "\n"))
        if sys.stdin.isatty():
            return shell.interactive()
        return shell.run_script(sys.stdin)
    finally:
        shell.close()
        client.close()


if __name__ == "__main__":
    sys.exit(main())
