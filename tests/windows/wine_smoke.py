#!/usr/bin/env python3
"""End-to-end check of the Windows build: runs plcdouble.exe under Wine and talks to it over
loopback, through the paths of the Win32 platform layer:

1. a connection request, setup communication, a write var and its read back (exact bytes);
2. a client that leaves with a TCP reset frees its slot (WSAECONNRESET is a lost connection),
   the freed slot takes a new client, and a third client is closed at once;
3. a client that sends reads without taking the replies fills the server's send buffer: the
   server must stop reading from it, keep serving the other client meanwhile (its sockets do
   not block), and deliver every reply intact and in order once the client reads again;
4. a second instance on the same port says why it cannot listen and exits with status 1, and
   a program is refused with status 2 (this build has no Lua);
5. Ctrl+C stops the server with status 0. Wine turns a SIGINT sent to the process into a
   CTRL_C_EVENT for the console control handler, the same path a Ctrl+C in a Windows console
   takes, so this is a clean stop: the program leaves its loop by itself;
6. on a pseudo-terminal, where Wine gives the program a console, the server shows the banner,
   serves a client, and stops with status 0 on a key press;
7. with stdout into a pipe nobody reads, every request is still answered, and Ctrl+C still
   ends the program with status 0 after about a second of waiting for the output;
8. a configuration file (a strict S7-1500 block from a raw image with a typed value on top):
   --check prints it, the server serves exactly that block, and a file that cannot be used
   stops the start with one line on stderr and status 2;
9. a state folder: a write, Ctrl+C (which saves the memory: the image's checksum is checked
   here with zlib), and a new start that reads the write back.

Finally the log must be UTF-8 lines ending in CR LF, uncoloured (--color never), starting with
the banner.
"""

import argparse
import os
import pty
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import zlib

STARTUP_SECONDS = 90  # the first run creates the Wine prefix, which takes a while
REPLY_SECONDS = 10
STOP_SECONDS = 15
STALL_SECONDS = 30  # longest wait for the back-pressure stall
STALL_POLL_SECONDS = 0.5
MAX_LOG_BYTES = 8 << 20

TPKT_HEADER_SIZE = 4
SMALL_SOCKET_BUFFER = 4096


def frame(text):
    return bytes.fromhex(text)


CONNECTION_REQUEST = frame("03 00 00 16 11 E0 00 00 00 01 00 C1 02 01 00 C2 02 01 02 C0 01 0A")
CONNECTION_CONFIRM = frame("03 00 00 16 11 D0 00 01 01 00 00 C0 01 09 C1 02 4B 54 C1 02 03 02")
# The confirm echoes the client's reference; the server's own reference names the slot.
CONNECTION_CONFIRM_SLOT1 = frame(
    "03 00 00 16 11 D0 00 01 02 00 00 C0 01 09 C1 02 4B 54 C1 02 03 02"
)
SETUP = frame("03 00 00 19 02 F0 80 32 01 00 00 00 01 00 08 00 00 F0 00 00 01 00 01 01 E0")
SETUP_REPLY = frame(
    "03 00 00 1B 02 F0 80 32 03 00 00 00 01 00 08 00 00 00 00 F0 00 00 01 00 01 01 E0"
)
WRITE_DB10_8 = frame(
    "03 00 00 27 02 F0 80 32 01 00 00 00 05 00 0E 00 08 05 01 12 0A 10 02 00 04 00 0A"
    " 84 00 00 40 00 04 00 20 01 02 03 04"
)
WRITE_DB10_8_REPLY = frame("03 00 00 16 02 F0 80 32 03 00 00 00 05 00 02 00 01 00 00 05 01 FF")
READ_DB10_8 = frame(
    "03 00 00 1F 02 F0 80 32 01 00 00 00 06 00 0E 00 00 04 01 12 0A 10 02 00 04 00 0A"
    " 84 00 00 40"
)
READ_DB10_8_REPLY = frame(
    "03 00 00 1D 02 F0 80 32 03 00 00 00 06 00 02 00 08 00 00 04 01 FF 04 00 20 01 02 03 04"
)

EXCHANGES = [
    ("connection request, called TSAP rack 0 slot 2", CONNECTION_REQUEST, CONNECTION_CONFIRM),
    ("setup communication", SETUP, SETUP_REPLY),
    ("write var DB10.DBB8, 4 bytes", WRITE_DB10_8, WRITE_DB10_8_REPLY),
    ("read var DB10.DBB8, 4 bytes", READ_DB10_8, READ_DB10_8_REPLY),
]

# Back-pressure reads: DB10 bytes 0-449, which hold the 01 02 03 04 written at offset 8.
BULK_READ_BYTES = 450
BULK_READ_HEAD = frame("03 00 00 1F 02 F0 80 32 01 00 00")
BULK_READ_TAIL = frame("00 0E 00 00 04 01 12 0A 10 02 01 C2 00 0A 84 00 00 00")
BULK_REPLY_HEAD = frame("03 00 01 DB 02 F0 80 32 03 00 00")
BULK_REPLY_TAIL = (
    frame("00 02 01 C6 00 00 04 01 FF 04 0E 10")
    + bytes(8)
    + frame("01 02 03 04")
    + bytes(BULK_READ_BYTES - 12)
)


BULK_READ_LOG = b"Sending S7 data DB10,0 l=450\r\n"

# Stalled log: each read logs one line per item, 38,000 lines in all, about 1.8 MB: more than
# the pipe and the server's 1 MiB log queue hold.
STALLED_LOG_JOBS = 2000
STALLED_LOG_ITEMS = 19
STALLED_STOP_SECONDS = 3  # about a second of waiting for the output, plus Wine's teardown


def stalled_read(reference):
    """Reads 2 bytes at each of STALLED_LOG_ITEMS places in DB11."""
    parameters = bytes([0x04, STALLED_LOG_ITEMS]) + b"".join(
        frame("12 0A 10 02 00 02 00 0B 84") + (16 * item).to_bytes(3, "big")
        for item in range(STALLED_LOG_ITEMS)
    )
    pdu = (
        frame("32 01 00 00")
        + reference.to_bytes(2, "big")
        + len(parameters).to_bytes(2, "big")
        + frame("00 00")
        + parameters
    )
    return frame("03 00") + (7 + len(pdu)).to_bytes(2, "big") + frame("02 F0 80") + pdu


def stalled_reply(reference):
    section = frame("FF 04 00 10 00 00") * STALLED_LOG_ITEMS
    return (
        frame("03 00")
        + (21 + len(section)).to_bytes(2, "big")
        + frame("02 F0 80 32 03 00 00")
        + reference.to_bytes(2, "big")
        + frame("00 02")
        + len(section).to_bytes(2, "big")
        + frame("00 00 04")
        + bytes([STALLED_LOG_ITEMS])
        + section
    )


def bulk_read(reference):
    return BULK_READ_HEAD + reference.to_bytes(2, "big") + BULK_READ_TAIL


def bulk_reply(reference):
    return BULK_REPLY_HEAD + reference.to_bytes(2, "big") + BULK_REPLY_TAIL


# The banner's first line: a double frame 65 characters wide, in UTF-8 on a pipe.
BANNER_TOP = ("\u2554" + "\u2550" * 63 + "\u2557").encode("utf-8")


class Collector:
    """Reads a pipe to its end on a thread of its own, keeping at most MAX_LOG_BYTES."""

    def __init__(self, pipe):
        self.data = bytearray()
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self._run, args=(pipe,), daemon=True)
        self.thread.start()

    def _run(self, pipe):
        while True:
            chunk = pipe.read1(65536)
            if not chunk:
                return
            with self.lock:
                if len(self.data) < MAX_LOG_BYTES:
                    self.data += chunk

    def text(self):
        with self.lock:
            return bytes(self.data)

    def size(self):
        with self.lock:
            return len(self.data)

    def wait_for(self, needle, start, seconds):
        """True once needle shows up in what arrived after offset start."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if needle in self.text()[start:]:
                return True
            time.sleep(0.05)
        return False


def short(data, limit=100):
    text = repr(data)
    return text if len(text) <= limit else text[:limit] + "..."


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def open_client(port, small_buffers=False):
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    if small_buffers:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, SMALL_SOCKET_BUFFER)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, SMALL_SOCKET_BUFFER)
    sock.settimeout(REPLY_SECONDS)
    try:
        sock.connect(("127.0.0.1", port))
    except OSError:
        sock.close()
        raise
    return sock


def receive_exact(sock, count):
    data = bytearray()
    while len(data) < count:
        chunk = sock.recv(count - len(data))
        if not chunk:
            raise AssertionError(f"connection closed after {len(data)} of {count} bytes")
        data += chunk
    return bytes(data)


def receive_frame(sock):
    header = receive_exact(sock, TPKT_HEADER_SIZE)
    length = int.from_bytes(header[2:4], "big")
    if length < TPKT_HEADER_SIZE:
        raise AssertionError(f"TPKT length {length} in {header.hex(' ')}")
    return header + receive_exact(sock, length - TPKT_HEADER_SIZE)


def exchange(sock, name, request, expected):
    sock.sendall(request)
    reply = receive_frame(sock)
    if reply == expected:
        print(f"ok   {name}")
        return []
    print(f"     expected {expected.hex(' ')}\n     received {reply.hex(' ')}")
    return [name]


def wait_until_listening(port, has_exited):
    """A client of the server on port, once it listens (the log announces it a little early)."""
    deadline = time.monotonic() + STARTUP_SECONDS
    while time.monotonic() < deadline:
        if has_exited():
            raise AssertionError("plcdouble.exe exited before listening")
        try:
            return open_client(port)
        except OSError:
            time.sleep(0.2)
    raise AssertionError(f"nothing listened on 127.0.0.1:{port} within {STARTUP_SECONDS} s")


def check_reset_frees_slot(port, log):
    failures = []
    mark = log.size()
    with open_client(port) as vanishing:
        failures += exchange(vanishing, "second client connects", CONNECTION_REQUEST,
                             CONNECTION_CONFIRM_SLOT1)
        # Linger 0: close sends a reset instead of the orderly end.
        vanishing.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    if not log.wait_for(b"-[1] TCP Dis-conn 1", mark, REPLY_SECONDS):
        return failures + ["a client that sent a reset was not disconnected from slot 1"]
    print("ok   a client that sent a reset is disconnected")

    mark = log.size()
    with open_client(port) as second:
        failures += exchange(second, "the freed slot takes a new client", CONNECTION_REQUEST,
                             CONNECTION_CONFIRM_SLOT1)
        with open_client(port) as third:
            try:
                refused = third.recv(1) == b""
            except ConnectionResetError:
                refused = True
            except socket.timeout:
                refused = False
            if refused and log.wait_for(b"Incoming connection denied 2", mark, REPLY_SECONDS):
                print("ok   a third client is closed at once")
            else:
                failures.append("a third client was not closed at once")
    if not log.wait_for(b"-[1] TCP Dis-conn 1", mark, REPLY_SECONDS):
        failures.append("the second client's orderly close was not logged")
    return failures


def request_count_for_stall():
    """Enough reads that their replies overflow the largest send buffer the kernel grants."""
    largest = 4 << 20
    try:
        with open("/proc/sys/net/ipv4/tcp_wmem", encoding="ascii") as limits:
            largest = int(limits.read().split()[2])
    except (OSError, ValueError, IndexError):
        pass
    return 3 * largest // (2 * len(bulk_reply(0))) + 1000


def check_back_pressure(port, log, other):
    count = request_count_for_stall()
    failures = []
    mark = log.size()
    with open_client(port, small_buffers=True) as slow:
        failures += exchange(slow, "slow client connects", CONNECTION_REQUEST,
                             CONNECTION_CONFIRM_SLOT1)
        failures += exchange(slow, "slow client sets up", SETUP, SETUP_REPLY)
        if failures:
            return failures
        def send_all():
            try:
                for reference in range(count):
                    slow.sendall(bulk_read(reference & 0xFFFF))
            except OSError:
                pass

        sender = threading.Thread(target=send_all, daemon=True)
        sender.start()
        # Once its send buffer is full the server keeps the rest of a reply and stops taking
        # requests from this client: its log stops growing before every read is answered.
        deadline = time.monotonic() + STALL_SECONDS
        answered = 0
        stalled = False
        while time.monotonic() < deadline and not stalled:
            time.sleep(STALL_POLL_SECONDS)
            now = log.text()[mark:].count(BULK_READ_LOG)
            stalled = now == answered and 0 < now < count
            answered = now
        if not stalled:
            return failures + [
                f"no stall: {answered} of {count} reads answered while no reply was taken"
            ]
        print(f"ok   the server stalls a client that takes no replies after {answered} reads")
        failures += exchange(other, "the other client is served meanwhile", READ_DB10_8,
                             READ_DB10_8_REPLY)

        wrong = []
        for reference in range(count):
            reply = receive_frame(slow)
            if reply != bulk_reply(reference & 0xFFFF):
                wrong.append((reference, reply))
        sender.join(timeout=REPLY_SECONDS)
        if wrong:
            reference, reply = wrong[0]
            failures.append(
                f"{len(wrong)} of {count} replies wrong, the first (#{reference}): {short(reply)}"
            )
        else:
            print(f"ok   all {count} replies arrive intact and in order")
    if not log.wait_for(b"-[1] TCP Dis-conn 1", mark, REPLY_SECONDS):
        failures.append("the slow client's close was not logged")
    return failures


def check_second_instance(wine, exe, port, env):
    """A second server on the same port must say why it cannot listen and exit with 1. It runs
    with --color always on a pipe, where colour comes as ANSI sequences: the error attribute
    0x46 (red background, brown foreground) is SGR 33;41."""
    result = subprocess.run(
        [wine, exe, "--port", str(port), "--bind", "127.0.0.1", "--color", "always"],
        stdin=subprocess.DEVNULL,
        capture_output=True,
        env=env,
        timeout=STARTUP_SECONDS,
    )
    lines = result.stdout.split(b"\r\n")
    expected_start = f"\x1b[33;41mCannot listen on 127.0.0.1 port {port}: bind failed: ".encode()
    # 10048 is WSAEADDRINUSE: the port is taken by the first instance.
    expected_end = b" (10048)\x1b[0m"
    refusals = [line for line in lines if line.startswith(expected_start)]
    failures = []
    if result.returncode != 1:
        failures.append(f"second instance on port {port} exited with {result.returncode}, not 1")
    if len(refusals) != 1 or not refusals[0].endswith(expected_end):
        failures.append(f"second instance did not report the taken port: {short(result.stdout)}")
    if not failures:
        print("ok   a second instance on the same port reports", short(refusals[0]))
    return failures


def check_program_refused(wine, exe, env):
    """This build has no Lua: a program is refused before anything listens, with status 2."""
    result = subprocess.run(
        [wine, exe, "--program", "line.lua", "--port", "1"],
        stdin=subprocess.DEVNULL,
        capture_output=True,
        env=env,
        timeout=STARTUP_SECONDS,
    )
    expected = b"plcdouble: --program: programs are not available in this build"
    if result.returncode != 2 or expected not in result.stderr:
        return [f"--program: exit status {result.returncode}, stderr {short(result.stderr)}"]
    print("ok   --program is refused: this build has no programs")
    return []


def stop_by_ctrl_c(process):
    process.send_signal(signal.SIGINT)
    try:
        process.wait(timeout=STOP_SECONDS)
    except subprocess.TimeoutExpired:
        return [f"still running {STOP_SECONDS} s after Ctrl+C"]
    if process.returncode != 0:
        return [f"exit status {process.returncode} after Ctrl+C"]
    print("ok   stopped by Ctrl+C with status 0")
    return []


def check_stalled_log(wine, exe, env):
    """stdout into a pipe nobody reads: the log must never hold the server back."""
    read_end, write_end = os.pipe()
    port = free_port()
    process = subprocess.Popen(
        [wine, exe, "--port", str(port), "--bind", "127.0.0.1", "--color", "never"],
        stdin=subprocess.DEVNULL,
        stdout=write_end,
        stderr=subprocess.DEVNULL,
        env=env,
    )
    os.close(write_end)
    failures = []
    try:
        with wait_until_listening(port, lambda: process.poll() is not None) as client:
            for request, expected in [
                (CONNECTION_REQUEST, CONNECTION_CONFIRM),
                (SETUP, SETUP_REPLY),
            ]:
                client.sendall(request)
                if receive_frame(client) != expected:
                    return ["stalled log: the session did not start"]
            for job in range(STALLED_LOG_JOBS):
                client.sendall(stalled_read(job + 1))
                if receive_frame(client) != stalled_reply(job + 1):
                    return [f"stalled log: the reply to read {job} differs"]
            print(f"ok   {STALLED_LOG_JOBS} reads answered with stdout into a pipe nobody reads")
            signalled = time.monotonic()
            process.send_signal(signal.SIGINT)
            try:
                process.wait(timeout=STOP_SECONDS)
            except subprocess.TimeoutExpired:
                return [f"stalled log: still running {STOP_SECONDS} s after Ctrl+C"]
            took = time.monotonic() - signalled
            if process.returncode != 0 or took > STALLED_STOP_SECONDS:
                failures.append(
                    f"stalled log: exit status {process.returncode} {took:.2f} s after Ctrl+C"
                )
            else:
                print(f"ok   stalled log: stopped by Ctrl+C in {took:.2f} s with status 0")
    finally:
        if process.poll() is None:
            process.kill()
            process.wait(timeout=STOP_SECONDS)
        os.close(read_end)
    return failures


class ConsoleRun:
    """plcdouble.exe on a pseudo-terminal, where Wine gives it a real console."""

    def __init__(self, wine, exe, port, env):
        console_env = dict(env, LANG="C.UTF-8", TERM="xterm")
        console_env.pop("LC_ALL", None)
        self.output = bytearray()
        self.status = None
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            try:
                os.execvpe(wine, [wine, exe, "--port", str(port), "--bind", "127.0.0.1"],
                           console_env)
            finally:
                os._exit(127)

    def read_for(self, seconds, until=None):
        """Collects output for up to seconds; stops early once until has arrived or the
        terminal has closed. True when until arrived."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if until is not None and until in self.output:
                return True
            ready, _, _ = select.select([self.fd], [], [], 0.1)
            if not ready:
                continue
            try:
                chunk = os.read(self.fd, 65536)
            except OSError:
                chunk = b""
            if not chunk:
                break
            self.output += chunk
        return until is not None and until in self.output

    def exited(self):
        if self.status is None:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid == self.pid:
                self.status = os.waitstatus_to_exitcode(status)
        return self.status is not None

    def wait(self, seconds):
        deadline = time.monotonic() + seconds
        while not self.exited() and time.monotonic() < deadline:
            self.read_for(0.1)
        return self.exited()

    def close(self):
        if not self.exited():
            os.kill(self.pid, signal.SIGKILL)
            os.waitpid(self.pid, 0)
        os.close(self.fd)


def check_console_key_stop(wine, exe, env):
    """In a console a key press stops the server, and only a key press: it keeps serving until
    then. The banner's frame is written as UTF-16 and must come out as the same characters."""
    port = free_port()
    run = ConsoleRun(wine, exe, port, env)
    failures = []
    try:
        if not run.read_for(STARTUP_SECONDS, b"Press any key to stop"):
            return [f"console run never said it listens: {short(bytes(run.output))}"]
        if BANNER_TOP not in run.output:
            failures.append(f"console shows no banner frame: {short(bytes(run.output))}")
        with wait_until_listening(port, run.exited) as client:
            failures += exchange(client, "console run serves a client", CONNECTION_REQUEST,
                                 CONNECTION_CONFIRM)
        if run.exited():
            return failures + [f"console run stopped with {run.status} before any key"]
        os.write(run.fd, b"q")
        if not run.wait(STOP_SECONDS):
            failures.append(f"console run still running {STOP_SECONDS} s after a key press")
        elif run.status != 0:
            failures.append(f"console run exit status {run.status} after a key press")
        else:
            print("ok   in a console a key press stops the server with status 0")
    finally:
        run.close()
    return failures


def check_log(log):
    failures = []
    lines = log.split(b"\r\n")
    if lines[-1] != b"":
        failures.append(f"log does not end in CR LF: {short(lines[-1])}")
    bare = [line for line in lines if b"\n" in line or b"\r" in line]
    if bare:
        failures.append(f"{len(bare)} lines with a bare CR or LF, the first: {short(bare[0])}")
    if b"\x1b" in log:
        failures.append("escape sequences in the log although --color never")
    if not lines or lines[0] != BANNER_TOP:
        failures.append(f"first line is not the banner's top: {short(lines[0])}")
    unknown = [line for line in lines if b"Unknown TCP error" in line]
    if unknown:
        # A receive error the platform layer did not classify: the connection was kept.
        failures.append(f"{len(unknown)} unclassified receive errors, the first: {short(unknown[0])}")
    if not any(line.startswith(b"TCP conn from 127.0.0.1") for line in lines):
        failures.append("no line logs the connection from 127.0.0.1")
    return failures


# A strict S7-1500 with one block: four bytes from an image beside the file, an INT on top.
CONFIG_FILE = """cpu = "s7-1500"
strict = true
demo = false
[[db]]
number = 5
size = 8
file = "images/db5.bin"
values = { "DBW6:INT" = -2 }
"""
CONFIG_IMAGE = bytes.fromhex("DE AD BE EF")
CONFIG_CHECK_LINE = "DB5          8 bytes, file images/db5.bin (4 bytes), 1 start value"
CONFIG_EXCHANGES = [
    ("setup communication as an S7-1500", SETUP, SETUP_REPLY),
    (
        "read var DB5.DBB0, the whole declared block",
        frame(
            "03 00 00 1F 02 F0 80 32 01 00 00 00 02 00 0E 00 00 04 01 12 0A 10 02 00 08 00 05"
            " 84 00 00 00"
        ),
        frame(
            "03 00 00 21 02 F0 80 32 03 00 00 00 02 00 02 00 0C 00 00 04 01 FF 04 00 40"
            " DE AD BE EF 00 00 FF FE"
        ),
    ),
    (
        "read var DB6.DBB0, a block not declared: 0A",
        frame(
            "03 00 00 1F 02 F0 80 32 01 00 00 00 03 00 0E 00 00 04 01 12 0A 10 02 00 01 00 06"
            " 84 00 00 00"
        ),
        frame("03 00 00 19 02 F0 80 32 03 00 00 00 03 00 02 00 04 00 00 04 01 0A 00 00 00"),
    ),
]


def check_config_file(wine, exe, env, folder):
    """The configuration file under Windows: paths relative to the working folder and the
    file, --check, serving, and the one-line refusal of a file that cannot be used."""
    os.makedirs(os.path.join(folder, "images"), exist_ok=True)
    with open(os.path.join(folder, "plc.toml"), "w", encoding="utf-8") as config:
        config.write(CONFIG_FILE)
    with open(os.path.join(folder, "images", "db5.bin"), "wb") as image:
        image.write(CONFIG_IMAGE)
    with open(os.path.join(folder, "bad.toml"), "w", encoding="utf-8") as config:
        config.write('cpu = "s7-1500"\n[[db]]\nnumber = 3000\n')
    failures = []
    run = dict(cwd=folder, env=env, stdin=subprocess.DEVNULL, capture_output=True,
               timeout=STARTUP_SECONDS)

    check = subprocess.run([wine, exe, "--config", "plc.toml", "--check"], **run)
    lines = check.stdout.decode("utf-8", "replace").splitlines()
    if check.returncode != 0 or CONFIG_CHECK_LINE not in lines:
        failures.append(f"--check exited with {check.returncode}: {short(check.stdout, 400)}")
    else:
        print("ok   --check shows", CONFIG_CHECK_LINE)

    bad = subprocess.run([wine, exe, "--config", "bad.toml"], **run)
    expected = b"plcdouble: bad.toml:3:10: DB number 3000 is not 1-2999\r\n"
    if bad.returncode != 2 or bad.stderr != expected or bad.stdout:
        failures.append(f"a bad file: status {bad.returncode}, stderr {short(bad.stderr)}")
    else:
        print("ok   a file that cannot be used: status 2 and", short(bad.stderr))

    port = free_port()
    process = subprocess.Popen(
        [wine, exe, "--config", "plc.toml", "--port", str(port), "--bind", "127.0.0.1",
         "--color", "never"],
        cwd=folder, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL)
    try:
        with wait_until_listening(port, lambda: process.poll() is not None) as client:
            for name, request, reply in CONFIG_EXCHANGES:
                failures += exchange(client, name, request, reply)
        failures += stop_by_ctrl_c(process)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait(timeout=STOP_SECONDS)
    return failures


IMAGE_HEADER_SIZE = 24
STATE_RESTART_EXCHANGES = [
    ("connection request after the restart", CONNECTION_REQUEST, CONNECTION_CONFIRM),
    ("setup communication after the restart", SETUP, SETUP_REPLY),
    ("read var DB10.DBB8 after the restart: the kept write", READ_DB10_8, READ_DB10_8_REPLY),
]


def run_with_state(wine, exe, env, folder, exchanges):
    """Starts the server with --state state in folder, runs the exchanges, stops it by Ctrl+C."""
    port = free_port()
    process = subprocess.Popen(
        [wine, exe, "--state", "state", "--port", str(port), "--bind", "127.0.0.1",
         "--color", "never"],
        cwd=folder, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL)
    failures = []
    try:
        with wait_until_listening(port, lambda: process.poll() is not None) as client:
            for name, request, reply in exchanges:
                failures += exchange(client, name, request, reply)
        failures += stop_by_ctrl_c(process)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait(timeout=STOP_SECONDS)
    return failures


def check_state_folder(wine, exe, env, folder):
    """The memory kept across a stop under Windows: the saved image and the restart."""
    failures = run_with_state(wine, exe, env, folder, EXCHANGES)
    image_path = os.path.join(folder, "state", "db10.img")
    try:
        with open(image_path, "rb") as image_file:
            image = image_file.read()
    except OSError as error:
        return failures + [f"state folder: no image of DB10 after Ctrl+C: {error}"]
    magic, version, kind, number, size, checksum = struct.unpack_from("<8sHBxHxxII", image)
    content = image[IMAGE_HEADER_SIZE:]
    expected_checksum = zlib.crc32(image[:20] + content)
    if (magic, version, kind, number, size) != (b"PLCDMEM\x1a", 1, 1, 10, len(content)) or \
            checksum != expected_checksum or content[8:12] != bytes.fromhex("01 02 03 04"):
        failures.append(f"state folder: db10.img is not the image of the write: {short(image)}")
    else:
        print(f"ok   Ctrl+C saved DB10 ({size} bytes, CRC-32 {checksum:08X})")
    leftovers = [name for name in os.listdir(os.path.join(folder, "state"))
                 if name.endswith(".tmp")]
    if leftovers:
        failures.append(f"state folder: temporary files left behind: {leftovers}")
    return failures + run_with_state(wine, exe, env, folder, STATE_RESTART_EXCHANGES)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--wine", required=True)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--prefix", required=True, help="WINEPREFIX to use (created if missing)")
    args = parser.parse_args()

    env = dict(os.environ)
    env.update(
        WINEPREFIX=os.path.abspath(args.prefix),
        WINEDEBUG="-all",
        # No Mono or Gecko installer dialogs while the prefix is created.
        WINEDLLOVERRIDES="mscoree,mshtml=",
    )
    env.pop("DISPLAY", None)
    wineserver = shutil.which("wineserver") or shutil.which("wineserver", path="/usr/lib/wine")

    port = free_port()
    command = [args.wine, args.exe, "--port", str(port), "--bind", "127.0.0.1", "--color", "never"]
    print("running", " ".join(command))
    process = subprocess.Popen(
        command,
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=env,
    )
    log = Collector(process.stdout)
    errors = Collector(process.stderr)
    failures = []
    try:
        with wait_until_listening(port, lambda: process.poll() is not None) as first:
            for name, request, expected in EXCHANGES:
                failures += exchange(first, name, request, expected)
            failures += check_reset_frees_slot(port, log)
            failures += check_back_pressure(port, log, first)
        failures += check_second_instance(args.wine, args.exe, port, env)
        failures += check_program_refused(args.wine, args.exe, env)
        # Closing stdin is no request to stop: the server must still be there afterwards.
        process.stdin.close()
        time.sleep(0.5)
        if process.poll() is not None:
            failures.append(f"exited with {process.returncode} when stdin was closed")
        else:
            failures += stop_by_ctrl_c(process)
    except (AssertionError, OSError) as error:
        failures.append(f"{type(error).__name__}: {error}")
    finally:
        if process.poll() is None:
            process.kill()
            process.wait(timeout=STOP_SECONDS)
        log.thread.join(timeout=STOP_SECONDS)
        errors.thread.join(timeout=STOP_SECONDS)
    try:
        try:
            failures += check_console_key_stop(args.wine, args.exe, env)
        except (AssertionError, OSError) as error:
            failures.append(f"console run: {type(error).__name__}: {error}")
        try:
            failures += check_stalled_log(args.wine, args.exe, env)
        except (AssertionError, OSError) as error:
            failures.append(f"stalled log: {type(error).__name__}: {error}")
        try:
            with tempfile.TemporaryDirectory() as folder:
                failures += check_config_file(args.wine, args.exe, env, folder)
        except (AssertionError, OSError, subprocess.TimeoutExpired) as error:
            failures.append(f"configuration file: {type(error).__name__}: {error}")
        try:
            with tempfile.TemporaryDirectory() as folder:
                failures += check_state_folder(args.wine, args.exe, env, folder)
        except (AssertionError, OSError, subprocess.TimeoutExpired, struct.error) as error:
            failures.append(f"state folder: {type(error).__name__}: {error}")
    finally:
        if wineserver:
            subprocess.run([wineserver, "-k"], env=env, timeout=30, check=False)

    output = log.text()
    failures += check_log(output)
    lines = output.decode("utf-8", "replace").splitlines()
    print(f"--- plcdouble.exe output: {len(lines)} lines, the first 20 and the last 5 ---")
    print("\n".join(lines[:20] + ["..."] + lines[-5:]))
    stderr = errors.text().decode("utf-8", "replace").strip()
    if stderr:
        print("--- stderr ---")
        print(stderr)
    for failure in failures:
        print("FAIL", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
