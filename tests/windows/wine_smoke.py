#!/usr/bin/env python3
"""End-to-end check of the Windows build: runs plcdouble.exe under Wine, talks to it over
loopback (connection request, setup communication, a write and the read back), stops it with
Ctrl+C and checks what it printed.

Wine turns a SIGINT sent to the process into a CTRL_C_EVENT for the console control handler,
which is the same path a Ctrl+C in a Windows console takes, so the stop is a clean one: the
program must leave its loop by itself and exit with status 0.
"""

import argparse
import os
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

STARTUP_SECONDS = 90  # the first run creates the Wine prefix, which takes a while
REPLY_SECONDS = 10
STOP_SECONDS = 15
MAX_LOG_BYTES = 1 << 20

TPKT_HEADER_SIZE = 4


def frame(text):
    return bytes.fromhex(text)


# (what is sent, the exact reply expected)
EXCHANGES = [
    (
        "connection request, called TSAP rack 0 slot 2",
        frame("03 00 00 16 11 E0 00 00 00 01 00 C1 02 01 00 C2 02 01 02 C0 01 0A"),
        frame("03 00 00 16 11 D0 00 01 01 00 00 C0 01 09 C1 02 4B 54 C1 02 03 02"),
    ),
    (
        "setup communication",
        frame("03 00 00 19 02 F0 80 32 01 00 00 00 01 00 08 00 00 F0 00 00 01 00 01 01 E0"),
        frame("03 00 00 1B 02 F0 80 32 03 00 00 00 01 00 08 00 00 00 00 F0 00 00 01 00 01 01 E0"),
    ),
    (
        "write var DB10.DBB8, 4 bytes",
        frame(
            "03 00 00 27 02 F0 80 32 01 00 00 00 05 00 0E 00 08 05 01 12 0A 10 02 00 04 00 0A"
            " 84 00 00 40 00 04 00 20 01 02 03 04"
        ),
        frame("03 00 00 16 02 F0 80 32 03 00 00 00 05 00 02 00 01 00 00 05 01 FF"),
    ),
    (
        "read var DB10.DBB8, 4 bytes",
        frame(
            "03 00 00 1F 02 F0 80 32 01 00 00 00 06 00 0E 00 00 04 01 12 0A 10 02 00 04 00 0A"
            " 84 00 00 40"
        ),
        frame(
            "03 00 00 1D 02 F0 80 32 03 00 00 00 06 00 02 00 08 00 00 04 01 FF 04 00 20 01 02"
            " 03 04"
        ),
    ),
]

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


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


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


def connect(port, process, deadline):
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise AssertionError(f"plcdouble.exe exited with {process.returncode} before listening")
        try:
            return socket.create_connection(("127.0.0.1", port), timeout=REPLY_SECONDS)
        except OSError:
            time.sleep(0.2)
    raise AssertionError(f"nothing listened on 127.0.0.1:{port} within {STARTUP_SECONDS} s")


def run_exchanges(sock):
    failures = []
    for name, request, expected in EXCHANGES:
        sock.sendall(request)
        reply = receive_frame(sock)
        if reply == expected:
            print(f"ok   {name}")
        else:
            print(f"FAIL {name}\n  expected {expected.hex(' ')}\n  received {reply.hex(' ')}")
            failures.append(name)
    return failures


def short(data, limit=100):
    text = repr(data)
    return text if len(text) <= limit else text[:limit] + "..."


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
    if not any(line.startswith(b"TCP conn from 127.0.0.1") for line in lines):
        failures.append("no line logs the connection from 127.0.0.1")
    return failures


def stop_wine(wineserver, env):
    if wineserver:
        subprocess.run([wineserver, "-k"], env=env, timeout=30, check=False)


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
    stdout = Collector(process.stdout)
    stderr = Collector(process.stderr)
    failures = []
    try:
        with connect(port, process, time.monotonic() + STARTUP_SECONDS) as sock:
            failures += run_exchanges(sock)
        failures += check_second_instance(args.wine, args.exe, port, env)
        # Closing stdin is no request to stop: the server must still be there afterwards.
        process.stdin.close()
        time.sleep(0.5)
        if process.poll() is not None:
            failures.append(f"exited with {process.returncode} when stdin was closed")
        else:
            process.send_signal(signal.SIGINT)
            try:
                process.wait(timeout=STOP_SECONDS)
                if process.returncode != 0:
                    failures.append(f"exit status {process.returncode} after Ctrl+C")
                else:
                    print("ok   stopped by Ctrl+C with status 0")
            except subprocess.TimeoutExpired:
                failures.append(f"still running {STOP_SECONDS} s after Ctrl+C")
    except (AssertionError, OSError) as error:
        failures.append(str(error))
    finally:
        if process.poll() is None:
            process.kill()
            process.wait(timeout=STOP_SECONDS)
        stdout.thread.join(timeout=STOP_SECONDS)
        stderr.thread.join(timeout=STOP_SECONDS)
        stop_wine(wineserver, env)

    log = stdout.text()
    failures += check_log(log)
    print("--- plcdouble.exe output ---")
    print(log.decode("utf-8", "replace"), end="")
    errors = stderr.text().decode("utf-8", "replace").strip()
    if errors:
        print("--- stderr ---")
        print(errors)
    for failure in failures:
        print("FAIL", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
