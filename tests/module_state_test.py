#!/usr/bin/env python3
"""scripts/check_module_state.sh on a tree of its own: a copy of the script beside a small src/
and a compile database for it, so what the check reports does not depend on the real sources.

Every line of the planted files that keeps state ends in "// state"; the check must report those
lines and no other.

Usage: module_state_test.py --script scripts/check_module_state.sh
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SCRIPT = None

HEADER = """#pragma once
#include <string>
inline int headerCounter = 0; // state
inline constexpr int headerLimit = 4;
inline const std::string headerName = "name";
struct Holder {
    static int members;
    static inline int inlineMember = 0; // state
    static constexpr int fixed = 3;
};
"""

SOURCE = """#include "core/state.h"
#include <array>
#include <map>
#include <string_view>
#include <vector>
namespace {
int counter = 0; // state
constexpr std::array<int, 3> table{1, 2, 3};
const int plain[] = {1, 2, 3};
const char *const names[] = {"a", "b"};
constexpr std::string_view title = "title";
const char *label = "text"; // state
const std::map<int, int> lookup{{1, 2}};
} // namespace
static double fileStatic; // state
int Holder::members = 0; // state
thread_local int perThread; // state
namespace plc {
std::vector<int> named; // state
} // namespace plc
int &alias = counter; // state
const int &fixedAlias = plain[0];
int use(int x) {
    static std::vector<int> v; // state
    static const std::string fixed = "abc";
    static constexpr int k = 2;
    v.push_back(x);
    auto f = [] {
        static int calls = 0; // state
        return ++calls;
    };
    const char *s = "literal";
    return x + table[0] + names[0][0] + label[0] + lookup.at(1) + static_cast<int>(fileStatic) +
           headerCounter + headerLimit + static_cast<int>(headerName.size() + title.size()) +
           Holder::inlineMember + Holder::members + perThread +
           static_cast<int>(named.size() + fixed.size()) + alias + fixedAlias + k + f() + s[0];
}
"""

CLEAN = """#include <array>
#include <map>
#include <string>
namespace {
constexpr std::array<int, 2> table{1, 2};
const int plain[] = {1, 2, 3};
const char *const greeting = "hello";
const std::map<int, std::string> names{{1, "one"}};
} // namespace
int look(int x) {
    static const std::string fixed = "abc";
    return table[0] + plain[x] + greeting[0] + static_cast<int>(names.at(1).size() + fixed.size());
}
"""

# Beside the files that may keep state, with names close to theirs: these are reported.
NEAR_MISSES = {
    "src/core/log_format.cpp": "int width = 80; // state\n",
    "src/http/http_api.cpp": "namespace {\nbool open = false; // state\n}\n"
                             "bool isOpen() { return open; }\n",
}

# Files that may keep state: the check must not report these.
ALLOWED = {
    "src/core/log.cpp": "namespace {\nint lines = 0;\n}\nint logLines() { return ++lines; }\n",
    "src/core/log_queue.h": "#pragma once\ninline int queued = 0;\n",
    "src/core/log_queue.cpp": '#include "core/log_queue.h"\nint take() { return --queued; }\n',
    "src/platform/platform_posix.cpp": "static int signalled = 0;\n"
                                       "int sig() { return signalled; }\n",
    "src/http/http_server.cpp": "int serve() {\n    static int requests = 0;\n"
                                "    return ++requests;\n}\n",
}


class ModuleState(unittest.TestCase):
    def make_tree(self, files):
        """A tree with the script and FILES (path: text); every .cpp is in its database."""
        tree = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, tree)
        os.makedirs(os.path.join(tree, "scripts"))
        shutil.copy(SCRIPT, os.path.join(tree, "scripts"))
        build = os.path.join(tree, "build")
        os.makedirs(build)
        entries = []
        for path, text in files.items():
            full = os.path.join(tree, path)
            os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, "w") as source:
                source.write(text)
            if path.endswith(".cpp"):
                entries.append({"directory": build, "file": full,
                                "command": f"c++ -std=c++20 -I{tree}/src -o {path}.o -c {full}"})
        with open(os.path.join(build, "compile_commands.json"), "w") as database:
            json.dump(entries, database, indent=2)
        return tree

    def run_check(self, tree):
        return subprocess.run(["bash", os.path.join(tree, "scripts", os.path.basename(SCRIPT)),
                               os.path.join(tree, "build")],
                              capture_output=True, text=True, timeout=120)

    @staticmethod
    def marked_lines(files):
        return sorted(f"{path}:{number}" for path, text in files.items()
                      for number, line in enumerate(text.splitlines(), 1)
                      if line.endswith("// state"))

    def test_reports_every_kind_of_state_and_nothing_else(self):
        files = dict(ALLOWED, **NEAR_MISSES, **{"src/core/state.h": HEADER,
                                                "src/s7/state.cpp": SOURCE,
                                                "src/s7/clean.cpp": CLEAN})
        result = self.run_check(self.make_tree(files))
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        reported = sorted(":".join(line.split(":")[:2]) for line in result.stdout.splitlines()
                          if line.startswith("src/"))
        self.assertEqual(reported, self.marked_lines(files))

    def test_const_tables_literals_and_allowed_files_pass(self):
        result = self.run_check(self.make_tree(dict(ALLOWED, **{"src/s7/clean.cpp": CLEAN})))
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn("4 variables in the log, platform and HTTP server files", result.stdout)

    def test_a_file_that_does_not_parse_fails(self):
        result = self.run_check(self.make_tree({"src/s7/broken.cpp": "int broken( {\n"}))
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("could not read", result.stderr)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--script", required=True)
    arguments, rest = parser.parse_known_args()
    SCRIPT = os.path.abspath(arguments.script)
    unittest.main(argv=[sys.argv[0]] + rest)
