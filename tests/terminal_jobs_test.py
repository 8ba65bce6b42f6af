#!/usr/bin/env python3
"""The real binary as a job of an interactive shell, on a pseudo-terminal this test makes.

Each case runs in a new session whose controlling terminal is a fresh pseudo-terminal. The test
process plays the shell: it starts jobs in process groups of their own, hands the terminal to one
of them (`cmd` or `cmd &`), types into the terminal's master side (a key, Ctrl+Z), and does what a
shell does for `bg` and `fg`. A job that changes the terminal's mode from the background is
stopped by SIGTTOU; the test sees every stop of its jobs through waitpid and fails on any it did
not cause itself.

Usage: terminal_jobs_test.py --binary build/debug/plcdouble
"""
import argparse
import fcntl
import os
import shutil
import signal
import socket
import sys
import termios
import time
import traceback

CONNECTION_REQUEST = bytes.fromhex("03 00 00 16 11 E0 00 00 00 01 00 C1 02 01 00 C2 02 01 02 C0 01 0A")
CONNECTION_CONFIRM = bytes.fromhex("03 00 00 16 11 D0 00 01 01 00 00 C0 01 09 C1 02 4B 54 C1 02 03 02")
SETUP_REQUEST = bytes.fromhex(
    "03 00 00 19 02 F0 80 32 01 00 00 00 01 00 08 00 00 F0 00 00 01 00 01 01 E0")
SETUP_REPLY = bytes.fromhex(
    "03 00 00 1B 02 F0 80 32 03 00 00 00 01 00 08 00 00 00 00 F0 00 00 01 00 01 01 E0")
START_LINE = b"Simulator Started, Listening for connect - Press any key to stop"
SINGLE_KEY_BITS = termios.ICANON | termios.ECHO
LFLAG = 3  # index of c_lflag in a termios attribute list
# A whole line, so that it is there to read even in the shell's line-by-line mode.
LINE_FOR_ANOTHER_JOB = b"x\n"

BINARY = None


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Shell:
    """The session leader: owns the terminal, starts jobs, watches their state."""

    def __init__(self):
        os.setsid()
        self.master, self.slave = os.openpty()
        fcntl.ioctl(self.slave, termios.TIOCSCTTY, 0)
        # As an interactive shell does: its own terminal calls never stop it.
        for number in (signal.SIGTTOU, signal.SIGTTIN, signal.SIGTSTP):
            signal.signal(number, signal.SIG_IGN)
        os.set_blocking(self.master, False)
        self.own_mode = termios.tcgetattr(self.slave)
        self.output = bytearray()
        self.jobs = []
        self.expected_stops = {}  # pid -> number of stops the test caused itself
        self.exit_status = {}

    def start(self, argv, foreground):
        pid = os.fork()
        if pid == 0:
            try:
                os.setpgid(0, 0)
                if foreground:
                    os.tcsetpgrp(self.slave, os.getpgrp())
                for fd in (0, 1, 2):
                    os.dup2(self.slave, fd)
                # A job starts with the default job-control signals, not the shell's.
                for number in (signal.SIGTTOU, signal.SIGTTIN, signal.SIGTSTP, signal.SIGPIPE):
                    signal.signal(number, signal.SIG_DFL)
                os.execv(argv[0], argv)
            finally:
                os._exit(127)
        try:
            os.setpgid(pid, pid)  # both sides, as shells do; one of them wins the race
        except OSError:
            pass
        if foreground:
            os.tcsetpgrp(self.slave, pid)
        self.jobs.append(pid)
        self.expected_stops[pid] = 0
        return pid

    def start_server(self, foreground):
        self.port = free_port()
        pid = self.start([BINARY, "--port", str(self.port), "--color", "never"], foreground)
        self.wait_until(lambda: START_LINE in self.output, "the start line", pid)
        return pid

    def poll(self):
        """Takes the terminal's output and the jobs' state changes."""
        while True:
            try:
                chunk = os.read(self.master, 65536)
            except (BlockingIOError, OSError):
                break
            if not chunk:
                break
            self.output += chunk
        for pid in self.jobs:
            if pid in self.exit_status:
                continue
            done, status = os.waitpid(pid, os.WNOHANG | os.WUNTRACED)
            if done == 0:
                continue
            if os.WIFSTOPPED(status):
                self.expected_stops[pid] -= 1
                check(self.expected_stops[pid] >= 0,
                      f"job {pid} was stopped by {signal.Signals(os.WSTOPSIG(status)).name}")
            else:
                self.exit_status[pid] = os.waitstatus_to_exitcode(status)

    def wait_until(self, condition, what, pid=None, timeout=10.0):
        deadline = time.monotonic() + timeout
        while True:
            self.poll()
            if condition():
                return
            if pid is not None and pid in self.exit_status:
                raise Failure(f"job exited with {self.exit_status[pid]} while waiting for {what}")
            check(time.monotonic() < deadline, f"timed out waiting for {what}")
            time.sleep(0.01)

    def hold(self, seconds):
        """Lets time pass while still watching the jobs."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            self.poll()
            time.sleep(0.02)

    def exit_of(self, pid, timeout=10.0):
        self.wait_until(lambda: pid in self.exit_status, "the job's exit", timeout=timeout)
        return self.exit_status[pid]

    def type(self, data):
        os.write(self.master, data)

    def mode(self):
        return termios.tcgetattr(self.slave)

    def single_key(self):
        return self.mode()[LFLAG] & SINGLE_KEY_BITS == 0

    def ctrl_z(self, pid):
        """Ctrl+Z on the foreground job, and the shell taking the terminal back afterwards."""
        self.expected_stops[pid] += 1
        self.type(b"\x1a")
        self.wait_until(lambda: self.expected_stops[pid] == 0, "the stop after Ctrl+Z", pid)
        os.tcsetpgrp(self.slave, os.getpgrp())
        # bash and zsh put their own mode back when a job stops.
        termios.tcsetattr(self.slave, termios.TCSADRAIN, self.own_mode)

    def bg(self, pid):
        os.killpg(pid, signal.SIGCONT)

    def fg(self, pid):
        os.tcsetpgrp(self.slave, pid)
        os.killpg(pid, signal.SIGCONT)

    def close(self):
        for pid in self.jobs:
            if pid not in self.exit_status:
                try:
                    os.killpg(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                os.waitpid(pid, 0)


def s7_session(port):
    """Connection request and setup communication, checked byte for byte."""
    deadline = time.monotonic() + 10
    while True:
        try:
            client = socket.create_connection(("127.0.0.1", port), timeout=5)
            break
        except OSError:
            check(time.monotonic() < deadline, f"nothing listens on port {port}")
            time.sleep(0.02)
    with client:
        for request, reply in ((CONNECTION_REQUEST, CONNECTION_CONFIRM),
                               (SETUP_REQUEST, SETUP_REPLY)):
            client.sendall(request)
            received = b""
            while len(received) < len(reply):
                chunk = client.recv(len(reply) - len(received))
                check(chunk, f"connection closed after {received.hex(' ')}")
                received += chunk
            check(received == reply, f"got {received.hex(' ')}, expected {reply.hex(' ')}")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def signal_ignored(pid, number):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("SigIgn:"):
                return int(line.split()[1], 16) & (1 << (number - 1)) != 0
    raise Failure("no SigIgn in /proc status")


def background_start_serves_ignores_keys_and_stops_on_sigterm(shell):
    shell.start([shutil.which("sleep"), "60"], foreground=True)
    server = shell.start_server(foreground=False)
    # Otherwise a change of the terminal's mode would not stop it, and this case proves nothing.
    check(not signal_ignored(server, signal.SIGTTOU), "the server ignores SIGTTOU")
    check(shell.mode() == shell.own_mode, "a background server changed the terminal's mode")
    # A key typed for the foreground job waits in the input: it must neither stop the server nor
    # keep it busy.
    shell.type(LINE_FOR_ANOTHER_JOB)
    before = cpu_seconds(server)
    shell.hold(1.0)
    used = cpu_seconds(server) - before
    check(used < 0.3, f"the server used {used:.2f} s of CPU in 1 s with a key waiting")
    check(server not in shell.exit_status, "a key typed for another job stopped the server")
    s7_session(shell.port)
    os.kill(server, signal.SIGTERM)
    check(shell.exit_of(server) == 0, f"exit status {shell.exit_status[server]}")
    check(shell.mode() == shell.own_mode, "the terminal's mode changed")


def foreground_start_takes_the_terminal_and_a_key_stops_it(shell):
    server = shell.start_server(foreground=True)
    check(shell.single_key(), "the terminal is not in single-key mode")
    s7_session(shell.port)
    shell.type(b"q")
    check(shell.exit_of(server) == 0, f"exit status {shell.exit_status[server]}")
    check(shell.mode() == shell.own_mode, "the terminal's mode was not restored")


def ctrl_z_then_bg_keeps_serving_and_stops_on_sigterm(shell):
    server = shell.start_server(foreground=True)
    check(shell.single_key(), "the terminal is not in single-key mode")
    shell.ctrl_z(server)
    shell.bg(server)
    shell.type(LINE_FOR_ANOTHER_JOB)
    shell.hold(0.5)
    check(server not in shell.exit_status, "a key typed for the shell stopped the server")
    s7_session(shell.port)
    check(shell.mode() == shell.own_mode, "the server in the background changed the mode")
    os.kill(server, signal.SIGTERM)
    check(shell.exit_of(server) == 0, f"exit status {shell.exit_status[server]}")
    check(shell.mode() == shell.own_mode, "the server restored its mode from the background")


def ctrl_z_bg_fg_takes_the_terminal_again(shell):
    server = shell.start_server(foreground=True)
    shell.ctrl_z(server)
    shell.bg(server)
    s7_session(shell.port)
    shell.hold(0.2)
    check(shell.mode() == shell.own_mode, "the server in the background changed the mode")
    shell.fg(server)
    shell.wait_until(shell.single_key, "single-key mode after fg", server)
    shell.type(b"q")
    check(shell.exit_of(server) == 0, f"exit status {shell.exit_status[server]}")
    check(shell.mode() == shell.own_mode, "the terminal's mode was not restored")


def background_start_then_fg_takes_the_terminal(shell):
    server = shell.start_server(foreground=False)
    shell.hold(0.2)
    check(shell.mode() == shell.own_mode, "a background server changed the terminal's mode")
    shell.fg(server)
    shell.wait_until(shell.single_key, "single-key mode after fg", server)
    shell.type(b"q")
    check(shell.exit_of(server) == 0, f"exit status {shell.exit_status[server]}")
    check(shell.mode() == shell.own_mode, "the terminal's mode was not restored")


def terminal_handed_on_without_a_stop_is_left_alone(shell):
    server = shell.start_server(foreground=True)
    check(shell.single_key(), "the terminal is not in single-key mode")
    # Another job gets the terminal while the server runs on: its keys are not the server's.
    shell.start([shutil.which("sleep"), "60"], foreground=True)
    shell.type(LINE_FOR_ANOTHER_JOB)
    shell.hold(0.5)
    check(server not in shell.exit_status, "a key typed for another job stopped the server")
    s7_session(shell.port)
    os.kill(server, signal.SIGTERM)
    check(shell.exit_of(server) == 0, f"exit status {shell.exit_status[server]}")


def terminal_handed_on_without_a_stop_then_sigterm_leaves_it_alone(shell):
    server = shell.start_server(foreground=True)
    check(shell.single_key(), "the terminal is not in single-key mode")
    shell.start([shutil.which("sleep"), "60"], foreground=True)
    s7_session(shell.port)
    # Restoring the mode now would be a change from the background: SIGTTOU.
    os.kill(server, signal.SIGTERM)
    check(shell.exit_of(server) == 0, f"exit status {shell.exit_status[server]}")


CASES = [
    background_start_serves_ignores_keys_and_stops_on_sigterm,
    foreground_start_takes_the_terminal_and_a_key_stops_it,
    ctrl_z_then_bg_keeps_serving_and_stops_on_sigterm,
    ctrl_z_bg_fg_takes_the_terminal_again,
    background_start_then_fg_takes_the_terminal,
    terminal_handed_on_without_a_stop_is_left_alone,
    terminal_handed_on_without_a_stop_then_sigterm_leaves_it_alone,
]


def run_case(case):
    """Runs one case in a child process that becomes a new session's leader."""
    pid = os.fork()
    if pid == 0:
        status = 1
        shell = None
        try:
            shell = Shell()
            case(shell)
            status = 0
        except Exception:  # report and fail this case, whatever went wrong
            traceback.print_exc()
            if shell is not None:
                text = shell.output.decode("utf-8", "replace")
                print(f"terminal output (end):\n{text[-1000:]}", file=sys.stderr)
        finally:
            if shell is not None:
                shell.close()
            sys.stderr.flush()
            os._exit(status)
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status) == 0


def main():
    global BINARY
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", default=os.environ.get("PLCDOUBLE_BINARY",
                                                           "build/debug/plcdouble"))
    BINARY = os.path.abspath(parser.parse_args().binary)
    passed = failed = 0
    for case in CASES:
        started = time.monotonic()
        ok = run_case(case)
        print(f"{'ok  ' if ok else 'FAIL'} {case.__name__} ({time.monotonic() - started:.1f} s)",
              flush=True)
        passed += ok
        failed += not ok
    print(f"{passed} passed, {failed} failed")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
