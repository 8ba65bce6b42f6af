"""plcdouble.start() without the fixture: a server that comes up and goes, refusals, and what a
start that fails says."""

import os

import pytest

import plcdouble


def test_start_serves_and_stop_ends_the_server():
    with plcdouble.start(http_token="s3cret") as plc:
        assert (plc.host, plc.rack, plc.slot, plc.cpu) == ("127.0.0.1", 0, 2, "classic")
        assert plc.read("DB1.DBB128:STRING[32]") == "Hello there"
        assert plc.write("DB4.DBW0:INT", -300) == -300
        assert plc.read("DB4.DBB0") == 0xFE
        with pytest.raises(plcdouble.PlcError) as refused:
            plc.advance(10)  # the wall clock does not take it
        assert refused.value.status == 409
    assert plc.returncode == 0, plc.output
    with pytest.raises(ProcessLookupError):
        os.kill(plc.pid, 0)


def test_a_server_that_does_not_come_up(tmp_path):
    with pytest.raises(plcdouble.PlcError, match=r"exited during start-up \(exit status 2\); "
                                                 r"stderr:\n.*cycle") as failed:
        plcdouble.start(args=["--cycle-ms", "0"])
    assert failed.value.returncode == 2
    with pytest.raises(plcdouble.PlcError, match="cannot start .*no-such-binary"):
        plcdouble.start(binary=tmp_path / "no-such-binary")
    # A program that never writes the ready file is given up on, and killed.
    silent = tmp_path / "silent.sh"
    silent.write_text("#!/bin/sh\necho starting >&2\nexec sleep 60\n")
    silent.chmod(0o755)
    with pytest.raises(plcdouble.PlcError, match="not ready within 0.3 s; stderr:\nstarting"):
        plcdouble.start(binary=silent, timeout=0.3)
