#!/usr/bin/env python3
"""scripts/deps.sh against a package table of its own, with apt-get, id and sudo replaced.

dpkg is the real one: dpkg itself is always installed, awk is a virtual package that mawk or gawk
provides, and the plcdouble-test-* names exist nowhere. The stand-ins record every apt-get call.

Usage: deps_test.py --script scripts/deps.sh
"""
import argparse
import os
import subprocess
import sys
import tempfile
import unittest

SCRIPT = None

TABLE = """
build      dpkg                        always installed
build      awk                         virtual, provided by mawk or gawk
build      plcdouble-test-missing-a    missing
test       plcdouble-test-missing-b    missing
windows    plcdouble-test-missing-w    missing, installed with its recommends
"""
NOTHING_MISSING = """
build      dpkg
test       awk
"""

STAND_INS = {
    "apt-get": 'echo "${DEBIAN_FRONTEND:-}|apt-get $*" >> "$FAKE_LOG"; exit "${FAKE_APT_STATUS:-0}"',
    "id": 'echo "$FAKE_UID"',
    # sudo -n true answers whether a password is needed; anything else runs as asked.
    "sudo": 'if [ "$1" = -n ]; then exit "$FAKE_SUDO_STATUS"; fi\n'
            'echo "sudo" >> "$FAKE_LOG"; exec "$@"',
}


class DepsScript(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.addCleanup(self.directory.cleanup)
        bin_dir = os.path.join(self.directory.name, "bin")
        os.mkdir(bin_dir)
        for name, body in STAND_INS.items():
            path = os.path.join(bin_dir, name)
            with open(path, "w") as stand_in:
                stand_in.write("#!/bin/sh\n" + body + "\n")
            os.chmod(path, 0o755)
        self.log = os.path.join(self.directory.name, "log")
        self.environment = dict(os.environ, PATH=bin_dir + os.pathsep + os.environ["PATH"],
                                FAKE_LOG=self.log, FAKE_UID="0", FAKE_SUDO_STATUS="1",
                                PLCDOUBLE_DEPS_TABLE=TABLE)
        self.environment.pop("DEBIAN_FRONTEND", None)

    def run_script(self, *arguments, **environment):
        result = subprocess.run(["sh", SCRIPT, *arguments], capture_output=True, text=True,
                                env=dict(self.environment, **environment), timeout=60)
        calls = []
        if os.path.exists(self.log):
            with open(self.log) as log:
                calls = log.read().splitlines()
        return result, calls

    def test_root_installs_what_is_missing_after_one_update(self):
        result, calls = self.run_script("build", "windows")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(calls, [
            "noninteractive|apt-get update",
            "noninteractive|apt-get install -y --no-install-recommends plcdouble-test-missing-a",
            "noninteractive|apt-get install -y plcdouble-test-missing-w",
        ])

    def test_nothing_missing_runs_nothing_and_prints_nothing(self):
        result, calls = self.run_script("build", "test", PLCDOUBLE_DEPS_TABLE=NOTHING_MISSING)
        self.assertEqual((result.returncode, result.stdout, result.stderr, calls), (0, "", "", []))

    def test_passwordless_sudo_installs_through_sudo(self):
        result, calls = self.run_script("test", FAKE_UID="1000", FAKE_SUDO_STATUS="0")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(calls, [
            "sudo", "noninteractive|apt-get update",
            "sudo",
            "noninteractive|apt-get install -y --no-install-recommends plcdouble-test-missing-b",
        ])

    def test_without_a_way_to_install_it_prints_the_command_and_fails(self):
        for arguments, uid, line in [
            (["build", "test"], "1000",
             "sudo apt-get update && sudo apt-get install -y --no-install-recommends "
             "plcdouble-test-missing-a plcdouble-test-missing-b"),
            (["--check", "build", "windows"], "0",
             "apt-get update && apt-get install -y --no-install-recommends "
             "plcdouble-test-missing-a && apt-get install -y plcdouble-test-missing-w"),
        ]:
            with self.subTest(arguments=arguments):
                result, calls = self.run_script(*arguments, FAKE_UID=uid)
                self.assertEqual(result.returncode, 1)
                self.assertEqual(calls, [])
                self.assertEqual(result.stderr.splitlines()[-1], "Install them with:  " + line)

    def test_a_failed_install_fails_the_script(self):
        result, calls = self.run_script("build", FAKE_APT_STATUS="100")
        self.assertNotEqual(result.returncode, 0)
        self.assertEqual(calls, ["noninteractive|apt-get update"])

    def test_unknown_group_is_refused(self):
        result, calls = self.run_script("build", "docs")
        self.assertEqual((result.returncode, calls), (2, []))
        self.assertIn("unknown group 'docs'", result.stderr)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--script", default="scripts/deps.sh")
    options, rest = parser.parse_known_args()
    SCRIPT = os.path.abspath(options.script)
    unittest.main(argv=[sys.argv[0], *rest])
