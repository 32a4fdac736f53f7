"""kavrel-sql, the SQL shell: output modes, dot commands, transactions, scripts on standard
input, -c, exit statuses, and a session on a terminal with its history."""

import io
import os
import pathlib
import pty
import select
import subprocess
import sys
import time

import pytest

import kavrel
from kavrel.sql_shell import Shell

PACKAGE = pathlib.Path(__file__).resolve().parents[1]

pytestmark = pytest.mark.needs_txn


@pytest.fixture(scope="module")
def table(server):
    with kavrel.connect(server.db_dir) as c:
        c.sql("CREATE TABLE shell_t (id INTEGER PRIMARY KEY, name TEXT, f REAL, b BLOB, "
              "ok BOOLEAN); INSERT INTO shell_t VALUES (1, 'ann', 0.1234567891, x'00ff', TRUE),"
              "(2, 'b, \"q\"', 1e300, NULL, FALSE), (3, NULL, -2.5, x'', NULL)")
    return "shell_t"


def _shell(client, script, **settings):
    out, err = io.StringIO(), io.StringIO()
    shell = Shell(client, out=out, err=err)
    for k, v in settings.items():
        setattr(shell, k, v)
    status = shell.run_script(io.StringIO(script))
    shell.close()
    return status, out.getvalue(), err.getvalue()


def test_table_mode(client, table):
    status, out, err = _shell(client, f"SELECT * FROM {table} ORDER BY id;")
    assert (status, err) == (0, "")
    assert out == (
        "+----+--------+--------------+---------+----+\n"
        "| id | name   | f            | b       | ok |\n"
        "+----+--------+--------------+---------+----+\n"
        "|  1 | ann    | 0.1234567891 | x'00ff' |  1 |\n"
        "|  2 | b, \"q\" |       1e+300 |         |  0 |\n"
        "|  3 |        |         -2.5 | x''     |    |\n"
        "+----+--------+--------------+---------+----+\n")


def test_csv_and_json_modes(client, table):
    status, out, _ = _shell(client, f".mode csv\n.nullvalue NULL\nSELECT * FROM {table} "
                            "ORDER BY id;\n.headers off\nSELECT 1 / 3.0;\n")
    assert status == 0
    assert out == ("id,name,f,b,ok\r\n1,ann,0.1234567891,x'00ff',1\r\n"
                   "2,\"b, \"\"q\"\"\",1e+300,NULL,0\r\n3,NULL,-2.5,x'',NULL\r\n"
                   "0.3333333333333333\r\n")
    status, out, _ = _shell(client, f".mode json\nSELECT id, name, f, b FROM {table} ORDER BY id;"
                            f"\nSELECT * FROM {table} WHERE id > 5;\n")
    assert status == 0
    assert out == ('[{"id":1,"name":"ann","f":0.1234567891,"b":"x\'00ff\'"},\n'
                   '{"id":2,"name":"b, \\"q\\"","f":1e+300,"b":null},\n'
                   '{"id":3,"name":null,"f":-2.5,"b":"x\'\'"}]\n'
                   '[]\n')


def test_dot_commands(client, table):
    status, out, _ = _shell(client, ".tables\n.schema SHELL_T\n.timer on\nSELECT 1 AS one;\n"
                            ".timer off\n.help\n")
    assert status == 0
    lines = out.splitlines()
    assert table in lines[:lines.index(f"CREATE TABLE {table} (id INTEGER PRIMARY KEY, name "
                                       "TEXT, f REAL, b BLOB, ok BOOLEAN);")]
    assert any(line.startswith("Run Time: real ") for line in lines)
    assert ".mode table|csv|json" in out
    # .schema's statement makes the same table again.
    name = f"{table}_copy"
    client.sql(out.split(f"CREATE TABLE {table} ")[1].split("\n")[0]
               .join([f"CREATE TABLE {name} ", ""]))
    assert client.describe(name).columns == client.describe(table).columns


def test_statements_over_several_lines_and_several_on_a_line(client, table):
    status, out, _ = _shell(client, "SELECT id\n  FROM shell_t -- a comment; not the end\n"
                            "  WHERE name = 'ann;'\n   OR id = 2\n  ORDER BY id;"
                            " SELECT 'x;y' AS s;\n", mode="csv")
    assert status == 0
    assert out == "id\r\n2\r\ns\r\nx;y\r\n"


def test_begin_commit_rollback(client, name):
    client.sql(f"CREATE TABLE {name} (id INTEGER PRIMARY KEY)")
    status, out, err = _shell(client, f"BEGIN;\nINSERT INTO {name} VALUES (1);\n"
                              f"SELECT COUNT(*) FROM {name};\nROLLBACK;\n"
                              f"BEGIN TRANSACTION;\nINSERT INTO {name} VALUES (2);\nCOMMIT;\n"
                              f"SELECT * FROM {name};\n", mode="csv", headers=False)
    assert (status, err) == (0, "")
    assert out == "1\r\n2\r\n"
    assert client.sql(f"SELECT id FROM {name}").tuples() == [(2,)]
    # A script that makes a table and fills it in one transaction.
    status, out, err = _shell(client, f"BEGIN TRANSACTION;\nCREATE TABLE {name}_b (id INTEGER "
                              f"PRIMARY KEY, v TEXT);\nINSERT INTO {name}_b VALUES (1, 'x');\n"
                              f"INSERT INTO {name}_b SELECT id + 1, v || 'y' FROM {name}_b;\n"
                              "COMMIT;\n")
    assert (status, out, err) == (0, "", "")
    assert client.sql(f"SELECT * FROM {name}_b").tuples() == [(1, "x"), (2, "xy")]


def test_a_script_stops_at_its_first_error(client, name):
    status, out, err = _shell(client, f"CREATE TABLE {name} (id INTEGER PRIMARY KEY);\n"
                              f"SELECT nope FROM {name};\nINSERT INTO {name} VALUES (1);\n")
    assert status == 1
    assert err == "Error: no such column: nope\n"
    assert client.sql(f"SELECT * FROM {name}") == []
    for script, message in [(".mode xml\n", "usage: .mode table|csv|json"),
                            (".frobnicate\n", "unknown command .frobnicate"),
                            ("COMMIT;\n", "no transaction is open"),
                            ("SELECT SUBSTR('a', 1);\n", "not supported: the function SUBSTR()")]:
        status, _, err = _shell(client, script)
        assert status == 1 and message in err, script


def _run(server, *args, stdin=""):
    env = {**os.environ, "PYTHONPATH": str(PACKAGE), "NO_COLOR": "1"}
    done = subprocess.run([sys.executable, "-m", "kavrel.sql_shell", "-s", server.socket, *args],
                          input=stdin.encode(), capture_output=True, env=env, timeout=60)
    done.stdout, done.stderr = done.stdout.decode(), done.stderr.decode()  # \r\n kept
    return done


def test_command_line_and_standard_input(server, table):
    done = _run(server, "-c", f"SELECT name FROM {table} WHERE id = 1", "--mode", "csv")
    assert (done.returncode, done.stdout, done.stderr) == (0, "name\r\nann\r\n", "")
    done = _run(server, "--mode", "json", stdin=f"SELECT id\nFROM {table}\nWHERE id < 3\n"
                "ORDER BY id DESC;\n.mode csv\nSELECT 2 + 2 AS four")
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == '[{"id":2},\n{"id":1}]\nfour\r\n4\r\n'
    done = _run(server, "-c", "SELECT * FROM nowhere")
    assert (done.returncode, done.stdout, done.stderr) == (1, "", "Error: no such table: nowhere\n")
    done = _run(server, stdin="SELECT 1;\nSELEC 2;\nSELECT 3;\n", )
    assert done.returncode == 1 and "Error: cannot parse SQL" in done.stderr
    assert "3" not in done.stdout


def test_cannot_connect(tmp_path):
    env = {**os.environ, "PYTHONPATH": str(PACKAGE)}
    done = subprocess.run([sys.executable, "-m", "kavrel.sql_shell", "-d", str(tmp_path), "-c",
                           "SELECT 1"], capture_output=True, text=True, env=env, timeout=60)
    assert done.returncode == 1 and done.stderr.startswith("Error: cannot connect to ")


def test_a_session_on_a_terminal_keeps_its_history(server, table, tmp_path):
    history = tmp_path / "history"
    env = {**os.environ, "PYTHONPATH": str(PACKAGE), "KAVREL_SQL_HISTORY": str(history),
           "TERM": "dumb"}
    pid, fd = pty.fork()
    if pid == 0:  # the child: the shell on the terminal
        os.execve(sys.executable, [sys.executable, "-m", "kavrel.sql_shell", "-s",
                                   server.socket], env)
    output = b""

    def read_until(text, seconds=30):
        nonlocal output
        deadline = time.monotonic() + seconds
        while text.encode() not in output and time.monotonic() < deadline:
            if select.select([fd], [], [], 0.1)[0]:
                try:
                    output += os.read(fd, 4096)
                except OSError:
                    break
        return text.encode() in output

    try:
        assert read_until("kavrel> ")
        os.write(fd, b"SELECT 40 +\n")
        assert read_until("...> ")
        os.write(fd, b" 2 AS answer;\n")
        assert read_until("|     42 |")
        os.write(fd, b"SELECT nope FROM shell_t;\n")
        assert read_until("Error: no such column: nope")
        os.write(fd, b".quit\n")
        _, status = os.waitpid(pid, 0)
    finally:
        os.close(fd)
    assert os.waitstatus_to_exitcode(status) == 0
    assert history.read_text().splitlines() == [
        "SELECT 40 + 2 AS answer;", "SELECT nope FROM shell_t;", ".quit"]
