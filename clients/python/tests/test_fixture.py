"""The plc fixture and its marker against the real server: a raw S7 client's write waited for in
the journal, a CPU profile's slot, a configuration file and a program beside the test under the
manual clock, and the two scopes (run as inner pytest sessions)."""

import pytest

import s7_frames

pytest_run = ("-p", "plcdouble.pytest_plugin", "-p", "no:cacheprovider")


def test_waits_for_a_raw_s7_write(plc):
    sock = s7_frames.connect(plc.host, plc.port, plc.slot)
    with sock:
        assert s7_frames.exchange(sock, s7_frames.WRITE_DB3_DBW4) == \
            bytes.fromhex(s7_frames.WRITE_REPLY)
        entry = plc.wait_for_write("DB3.DBX5.0")
        assert {key: entry[key] for key in ("source", "slot", "area", "db", "start", "bit", "hex",
                                            "peer")} == \
            {"source": "S7", "slot": 0, "area": "DB", "db": 3, "start": 4, "bit": -1,
             "hex": "1234", "peer": "127.0.0.1:%d" % sock.getsockname()[1]}
    assert plc.read("DB3.DBW4:INT") == 0x1234
    # Seen: the next wait needs a new write.
    with pytest.raises(TimeoutError):
        plc.wait_for_write("DB3.DBW4", timeout=0.2)
    plc.write("DB3.DBW4:INT", 7)
    assert plc.wait_for_write("DB3.DBW4", where=lambda e: e["source"] == "http")["hex"] == "0007"


@pytest.mark.plcdouble(cpu="s7-1500")
def test_marker_cpu_sets_the_slot(plc):
    assert (plc.cpu, plc.rack, plc.slot) == ("s7-1500", 0, 1)
    s7_frames.connect(plc.host, plc.port, plc.slot).close()  # an S7-1500 refuses slot 2


@pytest.mark.plcdouble(config="plc.toml", program="ton.lua",
                       args=["--clock", "manual", "--cycle-ms", "10"])
def test_marker_config_and_program_beside_the_test(plc):
    assert (plc.cpu, plc.slot, plc.read("DB20.DBW0:INT")) == ("s7-300", 2, -5)
    now = plc.advance(100)["now_ms"]
    plc.write("DB10.DBX0.0", True)
    # The first cycle after the write starts the timer.
    for ms, q, et in [(10, False, 0), (490, False, 490), (10, True, 500)]:
        now += ms
        assert plc.advance(ms) == {"now_ms": now, "cycles": ms // 10}
        assert (plc.read("DB10.DBX0.1"), plc.read("DB10.DBD2:DINT")) == (q, et), f"+{ms} ms"
    rule = plc.faults.add({"on": "read", "area": "DB20", "item_code": "0x0A"})
    assert [r["id"] for r in plc.faults.list()] == [rule]
    plc.faults.remove(rule)
    assert plc.faults.list() == []


@pytest.mark.parametrize("scope, same_server", [("function", False), ("module", True)])
def test_scopes(pytester, scope, same_server):
    pytester.makepyfile(f"""
        import pytest

        pytestmark = pytest.mark.plcdouble(args=["--db", "number=8,size=4"], scope="{scope}")
        pids = {{}}

        def test_first(plc):
            pids["first"] = plc.pid
            plc.write("DB8.DBW0:INT", 42)

        def test_second(plc):
            assert (plc.pid == pids["first"]) == {same_server}
            assert plc.read("DB8.DBW0:INT") == 0
            assert plc.journal(0)["writes"] == []

        @pytest.mark.plcdouble(cpu="s7-1500")
        def test_other_settings(plc):
            assert plc.cpu == "s7-1500" and plc.pid != pids["first"]
    """)
    pytester.runpytest_subprocess(*pytest_run).assert_outcomes(passed=3)


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
    result = pytester.runpytest_subprocess(*pytest_run)
    result.assert_outcomes(errors=2)
    result.stdout.fnmatch_lines(["*unknown setting 'cpus'*",
                                 "*scope is 'function' or 'module', not 'session'*"])
    result = pytester.runpytest_subprocess(*pytest_run, "--markers")
    result.stdout.fnmatch_lines(["@pytest.mark.plcdouble(cpu=None, config=None, program=None*"])
