"""Servers end with the pytest run that started them, however it ends, and the package installs
with pip and registers its plugin."""

import os
import select
import shutil
import signal
import subprocess
import sys
import textwrap
from pathlib import Path

PACKAGE = Path(__file__).resolve().parent.parent


def inner_env():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(PACKAGE / "src"), env.get("PYTHONPATH", "")])
    return env


def watch_process(pid):
    """A pidfd of the process: readable once it has ended, whoever its parent is."""
    return os.pidfd_open(pid)


def ended_within(pidfd, seconds):
    readable, _, _ = select.select([pidfd], [], [], seconds)
    return bool(readable)


def start_inner_pytest(tmp_path, body):
    test_file = tmp_path / "test_inner.py"
    test_file.write_text(textwrap.dedent(body))
    return subprocess.Popen(
        [sys.executable, "-m", "pytest", "-s", "-q", "-p", "plcdouble.pytest_plugin",
         "-p", "no:cacheprovider", str(test_file)],
        cwd=tmp_path, env=inner_env(), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
        text=True)


def server_pid(run):
    """The pid the inner test prints, read line by line as the run prints them."""
    lines = []
    for line in run.stdout:
        lines.append(line)
        if line.startswith("SERVER "):
            return int(line.split()[1])
    raise AssertionError("the inner run named no server:\n" + "".join(lines))


def test_a_pytest_run_killed_mid_test_leaves_no_server(tmp_path):
    run = start_inner_pytest(tmp_path, """
        def test_waits(plc):
            print("SERVER", plc.pid, flush=True)
            plc.wait_for_write("DB1.DBW0", timeout=60)
    """)
    try:
        pid = server_pid(run)
        pidfd = watch_process(pid)
        run.send_signal(signal.SIGKILL)
        assert run.wait(timeout=10) == -signal.SIGKILL
        assert ended_within(pidfd, 10), f"server {pid} still runs"
        os.close(pidfd)
    finally:
        run.kill()
        run.wait()
        run.stdout.close()


def test_a_server_left_running_ends_with_the_interpreter(tmp_path):
    script = tmp_path / "leave.py"
    script.write_text("import plcdouble\nprint('SERVER', plcdouble.start().pid, flush=True)\n")
    run = subprocess.Popen([sys.executable, str(script)], env=inner_env(),
                           stdout=subprocess.PIPE, text=True)
    try:
        pidfd = watch_process(server_pid(run))
        assert run.wait(timeout=20) == 0
        # atexit stopped it: it has ended by the time the interpreter has.
        assert ended_within(pidfd, 0)
        os.close(pidfd)
    finally:
        run.kill()
        run.wait()
        run.stdout.close()


def test_pip_install_registers_the_plugin(tmp_path):
    # A copy, as pip builds in the folder it is given.
    source = tmp_path / "source"
    shutil.copytree(PACKAGE, source, ignore=shutil.ignore_patterns(
        "tests", "build", "*.egg-info", "__pycache__"))
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", "--without-pip",
                    str(venv)], check=True)
    python = str(venv / "bin" / "python")
    env = {key: value for key, value in os.environ.items() if key != "PYTHONPATH"}
    # pip and setuptools from the system's site packages; nothing is fetched.
    subprocess.run([python, "-m", "pip", "install", "--quiet", "--no-index", "--no-build-isolation",
                    "--disable-pip-version-check", str(source)], check=True, env=env)
    test_file = tmp_path / "test_installed.py"
    test_file.write_text(textwrap.dedent(f"""
        import plcdouble

        def test_installed(plc):
            assert plcdouble.__file__.startswith({str(venv)!r})
            assert plc.read("DB1.DBB128:STRING[32]") == "Hello there"
    """))
    result = subprocess.run([python, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                             str(test_file)], cwd=tmp_path, env=env, capture_output=True,
                            text=True)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "1 passed" in result.stdout
