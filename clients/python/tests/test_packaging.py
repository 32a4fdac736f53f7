"""The package installs offline with pip, as its README says, and imports from the install."""

import pathlib
import shutil
import subprocess
import sys

PACKAGE = pathlib.Path(__file__).resolve().parents[1]


def test_pip_install_offline(tmp_path):
    source = tmp_path / "src"
    shutil.copytree(PACKAGE, source, ignore=shutil.ignore_patterns(
        "__pycache__", ".pytest_cache", "build", "*.egg-info"))
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)],
                   check=True)
    subprocess.run([str(venv / "bin/pip"), "install", "--quiet", "--no-build-isolation",
                    "--no-index", str(source)], check=True)
    out = subprocess.run(
        [str(venv / "bin/python"), "-c",
         "import kavrel, kavrel.sql; print(kavrel.__file__); print(kavrel.__version__)"],
        check=True, capture_output=True, text=True, cwd=tmp_path).stdout.split("\n")
    assert out[0].startswith(str(venv)), out
    assert out[1] == "0.1.0"
    # The SQL shell is installed as a command.
    shell = subprocess.run([str(venv / "bin/kavrel-sql"), "--help"], check=True,
                           capture_output=True, text=True, cwd=tmp_path)
    assert shell.stdout.startswith("usage: kavrel-sql"), shell.stdout
