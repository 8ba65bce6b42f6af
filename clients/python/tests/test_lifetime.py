"""Servers end with the Python process that started them, however it ends; the package installs
with pip and its entry point loads the plugin."""

import os
import select
import shutil
import signal
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

PACKAGE = Path(__file__).resolve().parent.parent


@pytest.mark.parametrize("how", ["pytest killed mid-test", "a script that never stops it"])
def test_no_server_outlives_its_process(tmp_path, how):
    if how.startswith("pytest"):
        (tmp_path / "test_inner.py").write_text(textwrap.dedent("""
            def test_waits(plc):
                print("SERVER", plc.pid, flush=True)
                plc.wait_for_write("DB1.DBW0", timeout=60)
        """))
        command = ["-m", "pytest", "-s", "-p", "plcdouble.pytest_plugin", "-p", "no:cacheprovider"]
    else:
        (tmp_path / "leave.py").write_text(
            "import plcdouble\nprint('SERVER', plcdouble.start().pid, flush=True)\n")
        command = ["leave.py"]
    # TMPDIR: the server's folder, which a killed run leaves, goes with tmp_path.
    env = dict(os.environ, PYTHONPATH=str(PACKAGE / "src"), TMPDIR=str(tmp_path))
    run = subprocess.Popen([sys.executable, *command], cwd=tmp_path, env=env,
                           stdout=subprocess.PIPE, text=True)
    with run:
        lines = []
        for line in run.stdout:  # as the run prints them (pytest's own text may come first)
            lines.append(line)
            if "SERVER " in line:
                break
        else:
            raise AssertionError("the run named no server:\n" + "".join(lines))
        pid = int(line.split("SERVER ")[1])
        # Readable once the server has ended, whoever its parent is by then.
        pidfd = os.pidfd_open(pid)
        if how.startswith("pytest"):
            run.send_signal(signal.SIGKILL)
            assert run.wait(timeout=10) == -signal.SIGKILL
        else:
            assert run.wait(timeout=20) == 0
        assert select.select([pidfd], [], [], 10)[0], f"server {pid} still runs"
        os.close(pidfd)


def test_pip_install_registers_the_plugin(tmp_path):
    source = tmp_path / "source"  # a copy: pip builds in the folder it is given
    shutil.copytree(PACKAGE, source, ignore=shutil.ignore_patterns("tests", "build", "*.egg-info"))
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", "--without-pip",
                    str(venv)], check=True)
    python = str(venv / "bin" / "python")
    env = {key: value for key, value in os.environ.items() if key != "PYTHONPATH"}
    # pip and setuptools from the system's site packages; nothing is fetched.
    subprocess.run([python, "-m", "pip", "install", "--quiet", "--no-index", "--no-build-isolation",
                    "--disable-pip-version-check", str(source)], check=True, env=env)
    (tmp_path / "test_installed.py").write_text(textwrap.dedent(f"""
        import plcdouble

        def test_installed(plc):
            assert plcdouble.__file__.startswith({str(venv)!r})
            assert plc.read("DB1.DBB128:STRING[32]") == "Hello there"
    """))
    result = subprocess.run([python, "-m", "pytest", "-p", "no:cacheprovider",
                             "test_installed.py"], cwd=tmp_path,
                            env=env, capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
