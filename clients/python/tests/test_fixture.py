"""The plc fixture and its marker, against the real server: a raw S7 client's write waited for
in the journal, CPU profiles and their slots, a configuration file and a program beside the
test, the manual clock, and the two scopes (run as inner pytest sessions)."""

import pytest

import s7_frames


def test_waits_for_a_raw_s7_write(plc):
    assert (plc.cpu, plc.slot) == ("classic", 2)
    sock = s7_frames.connect(plc.host, plc.port, plc.slot)
    try:
        sock.sendall(s7_frames.frame(s7_frames.WRITE_DB3_DBW4))
        assert s7_frames.receive_frame(sock) == s7_frames.frame(s7_frames.WRITE_REPLY)
        entry = plc.wait_for_write("DB3.DBX5.0")
        assert {key: entry[key] for key in ("source", "slot", "area", "db", "start", "bit", "hex")} \
            == {"source": "S7", "slot": 0, "area": "DB", "db": 3, "start": 4, "bit": -1,
                "hex": "1234"}
        assert entry["peer"] == "127.0.0.1:%d" % sock.getsockname()[1]
        assert plc.read("DB3.DBW4:INT") == 0x1234
        # Seen: the next wait needs a new write.
        with pytest.raises(TimeoutError):
            plc.wait_for_write("DB3.DBW4", timeout=0.2)
        assert plc.write("DB3.DBW4:INT", 7) == 7
        assert plc.wait_for_write("DB3.DBW4", where=lambda e: e["source"] == "http")["hex"] == "0007"
    finally:
        sock.close()


@pytest.mark.plcdouble(cpu="s7-1500")
def test_marker_cpu_sets_the_slot(plc):
    assert (plc.cpu, plc.rack, plc.slot) == ("s7-1500", 0, 1)
    s7_frames.connect(plc.host, plc.port, plc.slot).close()  # an S7-1500 refuses slot 2


@pytest.mark.plcdouble(config="plc.toml")
def test_marker_config_beside_the_test(plc):
    assert (plc.cpu, plc.slot) == ("s7-300", 2)
    assert plc.read("DB20.DBW0:INT") == -5
    assert plc.read("DB20.DBB2:STRING[8]") == "pump"


@pytest.mark.plcdouble(cpu="s7-1500", program="ton.lua", args=["--clock", "manual", "--cycle-ms", "10"])
def test_marker_program_and_manual_clock(plc):
    first = plc.advance(100)
    assert first["cycles"] == 10
    plc.write("DB10.DBX0.0", True)
    now = first["now_ms"]
    # The first cycle after the write starts the timer.
    for ms, q, et in [(10, False, 0), (300, False, 300), (190, False, 490), (10, True, 500),
                      (1000, True, 500)]:
        answer = plc.advance(ms)
        now += ms
        assert (answer["now_ms"], answer["cycles"]) == (now, ms // 10)
        assert (plc.read("DB10.DBX0.1"), plc.read("DB10.DBD2:DINT")) == (q, et), f"+{ms} ms"


def test_faults_through_the_fixture(plc):
    rule = plc.faults.add({"on": "write", "area": "DB3", "header_error": "0x8104"})
    sock = s7_frames.connect(plc.host, plc.port, plc.slot)
    try:
        sock.sendall(s7_frames.frame(s7_frames.WRITE_DB3_DBW4))
        reply = s7_frames.receive_frame(sock)
        assert reply[17:19] == bytes([0x81, 0x04]), reply.hex(" ")
    finally:
        sock.close()
    assert [(r["id"], r["matched"], r["fired"]) for r in plc.faults.list()] == [(rule, 1, 1)]
    plc.faults.remove(rule)
    assert plc.faults.list() == []


INNER_SCOPES = """
import pytest

seen = {}

@pytest.mark.plcdouble(args=["--db", "number=8,size=4"], %s)
def test_first(plc):
    seen["pid"] = plc.pid
    plc.write("DB8.DBW0:INT", 42)
    assert plc.journal()["writes"]

@pytest.mark.plcdouble(args=["--db", "number=8,size=4"], %s)
def test_second(plc):
    assert (plc.pid == seen["pid"]) == %s
    assert plc.read("DB8.DBW0:INT") == 0
    assert plc.journal(0)["writes"] == []
"""


@pytest.mark.parametrize("marker, same_server", [("", False), ("scope='module'", True)])
def test_scopes(pytester, marker, same_server):
    pytester.makepyfile(INNER_SCOPES % (marker, marker, same_server))
    result = pytester.runpytest_subprocess("-p", "plcdouble.pytest_plugin", "-p", "no:cacheprovider")
    result.assert_outcomes(passed=2)


def test_module_scope_keeps_one_server_per_setting(pytester):
    pytester.makepyfile("""
        import pytest

        pytestmark = pytest.mark.plcdouble(scope="module")
        pids = {}

        def test_classic(plc):
            pids["classic"] = plc.pid

        @pytest.mark.plcdouble(cpu="s7-1500")
        def test_profile(plc):
            assert plc.cpu == "s7-1500" and plc.pid != pids["classic"]
            pids["s7-1500"] = plc.pid

        def test_classic_again(plc):
            assert plc.pid == pids["classic"]
    """)
    result = pytester.runpytest_subprocess("-p", "plcdouble.pytest_plugin", "-p", "no:cacheprovider")
    result.assert_outcomes(passed=3)


def test_marker_mistakes_are_named(pytester):
    pytester.makepyfile("""
        import pytest

        @pytest.mark.plcdouble(cpus="s7-300")
        def test_typo(plc):
            pass

        @pytest.mark.plcdouble(scope="session")
        def test_scope(plc):
            pass
    """)
    result = pytester.runpytest_subprocess("-p", "plcdouble.pytest_plugin", "-p", "no:cacheprovider")
    result.assert_outcomes(errors=2)
    result.stdout.fnmatch_lines(["*unknown setting 'cpus'*", "*scope is 'function' or 'module', not 'session'*"])


def test_marker_is_registered(pytester):
    pytester.makepyfile("def test_nothing(): pass")
    result = pytester.runpytest_subprocess("-p", "plcdouble.pytest_plugin", "--markers")
    result.stdout.fnmatch_lines(["@pytest.mark.plcdouble(cpu=None, config=None, program=None*"])
