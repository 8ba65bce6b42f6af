"""Start the plcdouble server from Python tests and drive it through its HTTP API.

    with plcdouble.start(cpu="s7-1500") as plc:
        ...  # point the client under test at plc.host, plc.port, plc.rack, plc.slot
        entry = plc.wait_for_write("DB10.DBW0:INT")

The server runs on free loopback ports (``--port 0 --http 127.0.0.1:0``), announces them in a
ready file, and ends with the process that started it (``--exit-with-parent``). Standard
library only.
"""

from __future__ import annotations

import atexit
import collections
import http.client
import json
import os
import re
import shutil
import subprocess
import tempfile
import threading
import time
import urllib.parse
from typing import Any, Callable, Iterable, Mapping, Optional

__all__ = ["Plc", "PlcError", "start", "parse_address", "entry_overlaps", "slot_of_cpu"]
__version__ = "0.1.0"

_READY_FILE = "ready.json"
_STOP_TIMEOUT = 10.0
_LONGEST_POLL_MS = 30000  # the server's limit on wait_ms; longer waits are several polls
_OUTPUT_LIMIT = 64 * 1024  # what is kept of the server's output, from its end
_STDERR_LINES_SHOWN = 10  # of a failed start's stderr, in the error's message

# The slot a client connects with, rack 0, per CPU profile (docs/cpu-profiles.md).
slot_of_cpu = {"classic": 2, "s7-300": 2, "s7-400": 2, "s7-1200": 1, "s7-1500": 1}


class PlcError(Exception):
    """A server that did not start, or an API request it refused.

    ``status`` is the HTTP status of a refused request; ``stderr`` and ``returncode`` describe
    a failed start.
    """

    def __init__(self, message: str, *, status: Optional[int] = None,
                 stderr: Optional[str] = None, returncode: Optional[int] = None):
        super().__init__(message)
        self.status = status
        self.stderr = stderr
        self.returncode = returncode


# ---- addresses in the S7 notation, as far as the journal needs them

_ADDRESS = re.compile(
    r"^%?(?:DB(\d+)\.DB([XBWD])(\d+)(?:\.(\d+))?"  # DB1.DBW2, DB1.DBX4.3
    r"|([IQM])([XBWD]?)(\d+)(?:\.(\d+))?"  # MW10, I0.0, QB2
    r"|([TC])(\d+))"  # T5, C3
    r"(?::([A-Z0-9_]+)(?:\[(\d+)\])?)?$",  # :INT, :STRING[20]
    re.IGNORECASE)
_WIDTHS = {"B": 1, "W": 2, "D": 4}


def parse_address(text: str) -> dict:
    """The bytes an address covers: ``{"area", "db", "start", "size", "bit"}``.

    ``bit`` is -1 for whole bytes; timers and counters take two bytes each, element n at byte
    2n, as the journal gives them.
    """
    found = _ADDRESS.match(str(text).strip())
    if not found:
        raise PlcError(f"{text}: not an address in the S7 notation (DB1.DBW2, MW10, I0.0, T5)")
    (db, db_width, db_start, db_bit, area, area_width, area_start, area_bit, counted, element,
     type_name, capacity) = found.groups()
    if counted:
        return {"area": counted.upper(), "db": 0, "start": int(element) * 2, "size": 2, "bit": -1}
    letter = (db_width if db is not None else (area_width or "X")).upper()
    bit_text = db_bit if db is not None else area_bit
    where = {"area": "DB" if db is not None else area.upper(), "db": int(db or 0),
             "start": int(db_start if db is not None else area_start)}
    if letter == "X":
        if bit_text is None or int(bit_text) > 7:
            raise PlcError(f"{text}: a bit address ends in .0-.7")
        return {**where, "size": 1, "bit": int(bit_text)}
    if bit_text is not None:
        raise PlcError(f"{text}: only a bit address has a bit number")
    size = _WIDTHS[letter]
    if type_name is not None and type_name.upper() == "STRING":
        size = 2 + int(capacity if capacity is not None else 254)
    return {**where, "size": size, "bit": -1}


def entry_overlaps(entry: Mapping[str, Any], address: Mapping[str, Any]) -> bool:
    """Whether a journal entry wrote any byte of the address (for two bits: the same bit)."""
    if entry["area"] != address["area"]:
        return False
    if address["area"] == "DB" and entry["db"] != address["db"]:
        return False
    entry_size = max(1, len(entry["hex"]) // 2)
    if (entry["start"] >= address["start"] + address["size"]
            or address["start"] >= entry["start"] + entry_size):
        return False
    return not (entry["bit"] >= 0 and address["bit"] >= 0 and entry["bit"] != address["bit"])


# ---- the servers this process started

_running: "set[subprocess.Popen]" = set()
_running_lock = threading.Lock()


@atexit.register
def _stop_all() -> None:
    # Servers a test left running end with the interpreter; --exit-with-parent covers the ends
    # that run no Python (SIGKILL, a fatal signal).
    with _running_lock:
        left = list(_running)
    for process in left:
        if process.poll() is None:
            process.terminate()
    for process in left:
        try:
            process.wait(timeout=_STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            process.kill()


def _find_binary(binary: Optional[str]) -> str:
    chosen = binary or os.environ.get("PLCDOUBLE_BINARY") or shutil.which("plcdouble")
    if not chosen:
        raise PlcError("plcdouble not found: pass binary=, set PLCDOUBLE_BINARY or put "
                       "plcdouble on PATH")
    return os.fspath(chosen)


class _OutputTail:
    """The end of one of the server's output streams, read by a thread of its own so the
    server never waits on a full pipe."""

    def __init__(self, stream) -> None:
        self._chunks: "collections.deque[bytes]" = collections.deque()
        self._size = 0
        self._lock = threading.Lock()
        self._thread = threading.Thread(target=self._drain, args=(stream,), daemon=True)
        self._thread.start()

    def _drain(self, stream) -> None:
        with stream:
            for chunk in iter(lambda: stream.read1(65536), b""):
                with self._lock:
                    self._chunks.append(chunk)
                    self._size += len(chunk)
                    while self._size - len(self._chunks[0]) >= _OUTPUT_LIMIT:
                        self._size -= len(self._chunks.popleft())

    def join(self, timeout: float) -> None:
        self._thread.join(timeout)

    def text(self) -> str:
        with self._lock:
            data = b"".join(self._chunks)
        return data[-_OUTPUT_LIMIT:].decode("utf-8", "replace")


class _Faults:
    """The server's fault rules (docs/faults.md)."""

    def __init__(self, plc: "Plc") -> None:
        self._plc = plc

    def add(self, rule: Mapping[str, Any]) -> int:
        """Adds a rule with the configuration file's keys; returns its id."""
        return self._plc.request("POST", "/api/faults", dict(rule))["id"]

    def remove(self, rule_id: int) -> None:
        self._plc.request("DELETE", f"/api/faults/{int(rule_id)}")

    def list(self) -> list:
        return self._plc.request("GET", "/api/faults")["rules"]


class Plc:
    """One running server. Made by :func:`start`; a context manager that stops it."""

    def __init__(self, process: subprocess.Popen, ready: Mapping[str, Any], folder: str,
                 stdout: _OutputTail, stderr: _OutputTail, token: Optional[str]) -> None:
        self._process = process
        self._folder = folder
        self._stdout = stdout
        self._stderr = stderr
        self._token = token
        self.pid: int = ready["pid"]
        address = ready["s7"]["address"]
        # A server bound to every address is reached on loopback.
        self.host: str = "127.0.0.1" if address == "0.0.0.0" else address
        self.port: int = ready["s7"]["port"]
        web = ready.get("http")
        self.http_url: Optional[str] = (f"http://{web['address']}:{web['port']}" if web else None)
        self.cpu: str = "classic"
        self.rack: int = 0
        self.slot: int = 2
        self.faults = _Faults(self)
        # The journal number up to which this helper has looked.
        self.cursor = 0
        self.returncode: Optional[int] = None

    def __enter__(self) -> "Plc":
        return self

    def __exit__(self, *exc_info) -> None:
        self.stop()

    def __repr__(self) -> str:
        state = "running" if self.running else f"exited {self.returncode}"
        return f"<plcdouble {self.cpu} pid {self.pid} on {self.host}:{self.port}, {state}>"

    @property
    def running(self) -> bool:
        return self._process.poll() is None

    @property
    def output(self) -> str:
        """The last 64 KiB of the server's log, and of its error output after it."""
        return self._stdout.text() + self._stderr.text()

    # ---- the HTTP API

    def request(self, method: str, path: str, body: Any = None, *, timeout: float = 10.0) -> Any:
        """Any API request; returns the parsed answer, raises PlcError for a 4xx."""
        if not self.http_url:
            raise PlcError("this server has no HTTP API (--http)")
        parts = urllib.parse.urlsplit(self.http_url)
        headers = {"Connection": "close"}
        data = None
        if body is not None:
            data = json.dumps(body).encode()
            headers["Content-Type"] = "application/json"
        if self._token:
            headers["Authorization"] = f"Bearer {self._token}"
        connection = http.client.HTTPConnection(parts.hostname, parts.port, timeout=timeout)
        try:
            connection.request(method, path, body=data, headers=headers)
            response = connection.getresponse()
            text = response.read().decode("utf-8", "replace")
        except OSError as error:
            raise PlcError(f"{method} {path}: {error}") from error
        finally:
            connection.close()
        try:
            answer = json.loads(text) if text else {}
        except ValueError:
            answer = {"error": text}
        if response.status >= 400:
            reason = answer.get("error", text) if isinstance(answer, dict) else text
            raise PlcError(f"{method} {path}: {response.status} {reason}", status=response.status)
        return answer

    def read(self, address: str) -> Any:
        """One value, e.g. ``read("DB1.DBW2:INT")``."""
        query = urllib.parse.urlencode({"addr": address})
        return self.request("GET", f"/api/watch?{query}")["values"][0]["value"]

    def write(self, address: str, value: Any) -> Any:
        """Writes as a client would (journal source "http"); returns the value read back."""
        return self.request("PUT", "/api/watch", {"addr": address, "value": value})["value"]

    def reset(self) -> None:
        """Memory to its start, CPU in RUN, program restarted, journal and fault counts emptied;
        connections stay."""
        self.request("POST", "/api/reset", {})

    def advance(self, ms: float) -> dict:
        """With ``--clock manual``: moves the PLC's time on; ``{"now_ms", "cycles"}``."""
        return self.request("POST", "/api/clock", {"advance_ms": ms})

    def journal(self, since: Optional[int] = None, *, wait_ms: Optional[float] = None) -> dict:
        """The writes after ``since`` (default: after what this helper last saw):
        ``{"next", "lost", "writes"}``. With ``wait_ms`` a long poll."""
        query = {"since": self.cursor if since is None else int(since)}
        if wait_ms is not None:
            query["wait_ms"] = max(0, min(_LONGEST_POLL_MS, round(wait_ms)))
        answer = self.request("GET", f"/api/journal?{urllib.parse.urlencode(query)}",
                              timeout=(wait_ms or 0) / 1000 + 10)
        self.cursor = max(self.cursor, answer["next"])
        return answer

    def wait_for_write(self, address: Optional[str], *, timeout: float = 5.0,
                       where: Optional[Callable[[dict], bool]] = None,
                       since: Optional[int] = None) -> dict:
        """The first journal entry after what this helper last saw (or ``since``) that wrote a
        byte of the address (any address when None) and that ``where`` accepts. The helper has
        then looked up to that entry. Raises TimeoutError after ``timeout`` seconds."""
        wanted = None if address is None else parse_address(address)
        deadline = time.monotonic() + timeout
        position = self.cursor if since is None else int(since)
        while True:
            left_ms = max(0.0, (deadline - time.monotonic()) * 1000)
            answer = self.journal(position, wait_ms=left_ms)
            for entry in answer["writes"]:
                if ((wanted is None or entry_overlaps(entry, wanted))
                        and (where is None or where(entry))):
                    self.cursor = entry["seq"]
                    return entry
            position = answer["next"]
            if time.monotonic() >= deadline:
                raise TimeoutError(f"no write to {address or 'any address'} within {timeout} s")

    # ---- the process

    def stop(self) -> Optional[int]:
        """SIGTERM, then the exit status once the server has ended (SIGKILL after 10 s)."""
        if self._process.poll() is None:
            self._process.terminate()
            try:
                self._process.wait(timeout=_STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait()
        self.returncode = self._process.returncode
        with _running_lock:
            _running.discard(self._process)
        self._stdout.join(_STOP_TIMEOUT)
        self._stderr.join(_STOP_TIMEOUT)
        shutil.rmtree(self._folder, ignore_errors=True)
        return self.returncode


def _arguments(ready_file: str, cpu, config, program, args, http_token) -> list:
    arguments = ["--port", "0", "--http", "127.0.0.1:0", "--ready-file", ready_file,
                 "--exit-with-parent", "--color", "never"]
    if config is not None:
        arguments += ["--config", os.fspath(config)]
    if cpu is not None:
        arguments += ["--cpu", cpu]
    if program is not None:
        arguments += ["--program", os.fspath(program)]
    if http_token is not None:
        arguments += ["--http-token", http_token]
    return arguments + [os.fspath(argument) for argument in args]


def _wait_ready(process: subprocess.Popen, ready_file: str, timeout: float) -> Optional[dict]:
    """The ready file's content once the server has written it; None when the server exited
    first. The file is looked at at once, then at growing intervals (1 ms to 50 ms) while
    waiting for the process, so an early exit is seen at once too."""
    deadline = time.monotonic() + timeout
    interval = 0.001
    while True:
        try:
            with open(ready_file, encoding="utf-8") as file:
                # Written whole and renamed into place by the server.
                return json.load(file)
        except FileNotFoundError:
            pass
        left = deadline - time.monotonic()
        if left <= 0:
            raise TimeoutError
        try:
            process.wait(timeout=min(interval, left))
            return None
        except subprocess.TimeoutExpired:
            interval = min(interval * 2, 0.05)


def start(*, cpu: Optional[str] = None, config=None, program=None, args: Iterable = (),
          binary=None, timeout: float = 10.0, http_token: Optional[str] = None,
          env: Optional[Mapping[str, str]] = None) -> Plc:
    """Starts plcdouble on free loopback ports and returns once it listens.

    ``binary`` defaults to ``PLCDOUBLE_BINARY``, then ``plcdouble`` on PATH. ``args`` come
    after the helper's own arguments. Raises PlcError carrying the server's stderr and exit
    status when it does not come up within ``timeout`` seconds.
    """
    executable = _find_binary(binary)
    folder = tempfile.mkdtemp(prefix="plcdouble-")
    ready_file = os.path.join(folder, _READY_FILE)
    command = [executable] + _arguments(ready_file, cpu, config, program, list(args), http_token)
    try:
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE,
                                   env=dict(env) if env is not None else None)
    except OSError as error:
        shutil.rmtree(folder, ignore_errors=True)
        raise PlcError(f"cannot start {executable}: {error}") from error
    with _running_lock:
        _running.add(process)
    stdout = _OutputTail(process.stdout)
    stderr = _OutputTail(process.stderr)

    def failed(message: str) -> PlcError:
        with _running_lock:
            _running.discard(process)
        stdout.join(_STOP_TIMEOUT)
        stderr.join(_STOP_TIMEOUT)
        shutil.rmtree(folder, ignore_errors=True)
        text = stderr.text().strip()
        # The message shows the start of it (an error line, then perhaps a usage text).
        shown = "\n".join(text.splitlines()[:_STDERR_LINES_SHOWN])
        return PlcError(message + (f"; stderr:\n{shown}" if text else ""), stderr=text,
                        returncode=process.returncode)

    try:
        ready = _wait_ready(process, ready_file, timeout)
    except TimeoutError:
        process.kill()
        process.wait()
        raise failed(f"plcdouble was not ready within {timeout} s") from None
    except ValueError as error:
        process.kill()
        process.wait()
        raise failed(f"unreadable ready file: {error}") from None
    if ready is None:
        code = process.returncode
        how = f"signal {-code}" if code < 0 else f"exit status {code}"
        raise failed(f"plcdouble exited during start-up ({how})")

    plc = Plc(process, ready, folder, stdout, stderr, http_token)
    if plc.http_url:
        try:
            plc.cpu = plc.request("GET", "/api/status")["cpu"]
        except BaseException:
            plc.stop()
            raise
        plc.slot = slot_of_cpu.get(plc.cpu, 1)
    return plc
