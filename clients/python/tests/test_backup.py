"""Client.backup: a copy of the running database that kavrel-server opens as it is."""

import pytest

import kavrel
from conftest import Server


def test_backup_returns_its_summary_and_the_copy_serves_the_data(server, client, name, tmp_path):
    client.put(f"{name}/a", "1")
    client.register_table(name, [("id", "int", False)])
    target = tmp_path / "copy"
    summary = client.backup(target)
    assert summary["path"] == str(target)
    assert summary["tables"] >= 1 and summary["keys"] >= 1 and summary["bytes"] > 0
    assert summary["encrypted"] is False
    copy = Server(str(target))
    copy.start()
    try:
        with kavrel.connect(str(target)) as c:
            assert c.get(f"{name}/a") == b"1"
            assert name in [t.name for t in c.tables()]
    finally:
        copy.stop()


@pytest.mark.parametrize("directory, text", [
    ("relative/dir", "Invalid argument: Backup directory must be an absolute path on the "
                     "server's machine: \"relative/dir\""),
    ("", "Invalid argument: Backup directory must be an absolute path on the server's "
         "machine: \"\""),
])
def test_backup_refusals_raise_the_server_text(client, directory, text):
    with pytest.raises(kavrel.ServerError) as e:
        client.backup(directory)
    assert e.value.text == text


def test_backup_into_a_directory_that_is_not_empty_is_refused(client, tmp_path):
    (tmp_path / "full").mkdir()
    (tmp_path / "full" / "x").write_text("x")
    with pytest.raises(kavrel.ServerError) as e:
        client.backup(tmp_path / "full")
    assert e.value.text == f'Invalid argument: Backup directory "{tmp_path / "full"}" is not empty'
    assert [p.name for p in (tmp_path / "full").iterdir()] == ["x"]
