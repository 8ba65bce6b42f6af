"""plcdouble.start() without the fixture: a server that comes up, one that does not, and what
the error then says."""

import http.client
import os
import stat
import urllib.parse

import pytest

import plcdouble


def test_start_serves_and_stop_ends_the_server():
    with plcdouble.start() as plc:
        assert (plc.host, plc.rack, plc.slot, plc.cpu) == ("127.0.0.1", 0, 2, "classic")
        assert plc.port > 1024 and plc.http_url.startswith("http://127.0.0.1:")
        assert plc.read("DB1.DBB128:STRING[32]") == "Hello there"
        assert plc.write("DB4.DBW0:INT", -300) == -300
        assert plc.read("DB4.DBB0") == 0xFE
        assert plc.running
    assert plc.returncode == 0, plc.output
    assert not plc.running
    with pytest.raises(ProcessLookupError):
        os.kill(plc.pid, 0)


def test_refused_requests_carry_the_status():
    with plcdouble.start() as plc:
        with pytest.raises(plcdouble.PlcError) as refused:
            plc.read("DB1.DBW")
        assert refused.value.status == 400
        with pytest.raises(plcdouble.PlcError) as refused:
            plc.advance(10)  # the wall clock does not take it
        assert refused.value.status == 409


def test_a_server_that_does_not_come_up(tmp_path):
    with pytest.raises(plcdouble.PlcError) as failed:
        plcdouble.start(args=["--cycle-ms", "0"])
    assert failed.value.returncode == 2
    assert "exited during start-up (exit status 2)" in str(failed.value)
    assert "cycle" in failed.value.stderr

    missing = tmp_path / "no-such-binary"
    with pytest.raises(plcdouble.PlcError, match=f"cannot start {missing}"):
        plcdouble.start(binary=missing)

    # A program that never writes the ready file is given up on, and killed.
    silent = tmp_path / "silent.sh"
    silent.write_text("#!/bin/sh\necho starting >&2\nexec sleep 60\n")
    silent.chmod(silent.stat().st_mode | stat.S_IXUSR)
    with pytest.raises(plcdouble.PlcError, match="not ready within 0.3 s; stderr:\nstarting"):
        plcdouble.start(binary=silent, timeout=0.3)


def test_http_token():
    with plcdouble.start(http_token="s3cret") as plc:
        assert plc.write("DB2.DBX0.1", True) is True
        parts = urllib.parse.urlsplit(plc.http_url)
        connection = http.client.HTTPConnection(parts.hostname, parts.port, timeout=5)
        connection.request("GET", "/api/watch?addr=DB2.DBX0.1")
        assert connection.getresponse().status == 401
        connection.close()


@pytest.mark.parametrize("text, expected", [
    ("DB1.DBX4.3", {"area": "DB", "db": 1, "start": 4, "size": 1, "bit": 3}),
    ("db3.dbb10:string[20]", {"area": "DB", "db": 3, "start": 10, "size": 22, "bit": -1}),
    ("%MD12:REAL", {"area": "M", "db": 0, "start": 12, "size": 4, "bit": -1}),
    ("C3", {"area": "C", "db": 0, "start": 6, "size": 2, "bit": -1}),
])
def test_parse_address(text, expected):
    assert plcdouble.parse_address(text) == expected


@pytest.mark.parametrize("text", ["DB1.DBX4", "DB1.DBW2.1", "I0.8", "DB1", "MW"])
def test_parse_address_refuses(text):
    with pytest.raises(plcdouble.PlcError):
        plcdouble.parse_address(text)
