#!/bin/sh
# The Debian packages plcdouble needs, in groups, and the one place they are listed: the
# Makefile's goals and .ci/run install through this script.
#
#   scripts/deps.sh [--check] [GROUP...]     groups: build test fuzz windows (none given: all)
#
# Installed packages are found in dpkg's database, which takes milliseconds. Missing ones are
# installed when that needs no password (root, or sudo -n); otherwise, or with --check, the
# command that installs them is printed and the script exits with status 1.
# PLCDOUBLE_DEPS_TABLE, in the table's format, replaces the table (for tests).
set -eu

# One package a line. The interop suite also needs the Node headers: NodeSource's nodejs, which
# the machines here have, ships them; with Debian's own nodejs they come from libnode-dev.
# tshark's wireshark-common asks whether non-root users may capture; installs here run with
# DEBIAN_FRONTEND=noninteractive, so it takes the default (no) without asking.
# group    package               what needs it
PACKAGES='
build      g++                   the compiler (C++20)
build      cmake                 configuring (3.25 or later)
build      make                  the Makefile
build      ninja-build           the build tool the Makefile prefers
build      libtomlplusplus-dev   the configuration file reader (toml++, header-only)
build      libmicrohttpd-dev     the watch page: its HTTP server (--http)
build      nlohmann-json3-dev    the watch page: its JSON API (header-only)
build      pkg-config            finding libmicrohttpd and Lua
build      liblua5.4-dev         the PLC program (--program): Lua 5.4, its build compiled as C++
test       libgtest-dev          GoogleTest
test       libgmock-dev          GoogleMock
test       googletest            GoogleTest and GoogleMock sources
test       python3               the terminal and Wine tests
test       python3-pytest        the Python package clients/python and its pytest plugin
test       python3-pip           installing clients/python into a virtual environment (its test)
test       nodejs                the interop suite (node-snap7, nodes7)
test       npm                   the interop suite; part of some nodejs packages
test       tshark                the capture check of the interop suite, the capture file tests (and dumpcap)
test       chromium              the browser test of the watch page (headless, driven by puppeteer-core)
test       clang-tidy-14         make lint and the lint test
test       clang-tools-14        clang-query, which the module_state test reads the sources with
test       clang-format-14       make format and make format-check
fuzz       clang-14              the stream fuzzer (libFuzzer)
fuzz       libclang-rt-14-dev    its sanitizer and fuzzer runtimes
windows    g++-mingw-w64-x86-64  the cross build of plcdouble.exe
windows    wine                  running plcdouble.exe in the Wine smoke test
windows    wine64                running plcdouble.exe in the Wine smoke test
'
PACKAGES=${PLCDOUBLE_DEPS_TABLE:-$PACKAGES}
# Groups installed with their recommended packages: Wine's are the set the smoke test was made
# with. The others take only what they depend on.
WITH_RECOMMENDS=' windows '
ALL_GROUPS='build test fuzz windows'

check_only=0
if [ "${1:-}" = "--check" ]; then
    check_only=1
    shift
fi
groups=" ${*:-$ALL_GROUPS} "
for group in $groups; do
    case " $ALL_GROUPS " in
    *" $group "*) ;;
    *)
        echo "deps.sh: unknown group '$group' (groups: $ALL_GROUPS)" >&2
        exit 2
        ;;
    esac
done

# "group package" lines of the groups asked for.
wanted=$(printf '%s\n' "$PACKAGES" | awk -v groups="$groups" \
    'NF >= 2 && index(groups, " " $1 " ") { print $1, $2 }')
names=$(printf '%s\n' "$wanted" | awk '{ print $2 }' | tr '\n' ' ')

if ! command -v dpkg >/dev/null 2>&1; then
    echo "deps.sh: no dpkg here; make sure these are installed: $names" >&2
    exit 0
fi
# shellcheck disable=SC2086 # one name per word
installed=$(dpkg -s $names 2>/dev/null |
    awk '/^Package:/ { name = $2 } /^Status: .* installed$/ { print name }' | tr '\n' ' ')
missing=$(printf '%s\n' "$wanted" | awk -v installed=" $installed " \
    '!index(installed, " " $2 " ")')
if [ -z "$missing" ]; then
    exit 0
fi

# A name may be a virtual package that an installed one provides (npm in NodeSource's nodejs).
provided=" $(dpkg-query -W -f '${db:Status-Status} ${Provides}\n' 2>/dev/null |
    awk '$1 == "installed" { $1 = ""; n = split($0, items, ",");
        for (i = 1; i <= n; i++) { split(items[i], words, " "); print words[1] } }' |
    tr '\n' ' ') "
missing=$(printf '%s\n' "$missing" | awk -v provided="$provided" '!index(provided, " " $2 " ")')
if [ -z "$missing" ]; then
    exit 0
fi

plain=$(printf '%s\n' "$missing" | awk -v groups="$WITH_RECOMMENDS" \
    '!index(groups, " " $1 " ") { print $2 }' | tr '\n' ' ')
recommending=$(printf '%s\n' "$missing" | awk -v groups="$WITH_RECOMMENDS" \
    'index(groups, " " $1 " ") { print $2 }' | tr '\n' ' ')
plain=${plain% }
recommending=${recommending% }

apt="apt-get"
if [ "$(id -u)" -ne 0 ]; then
    apt="sudo apt-get"
fi
install_line=
if [ -n "$plain" ]; then
    install_line="$apt install -y --no-install-recommends $plain"
fi
if [ -n "$recommending" ]; then
    install_line="${install_line:+$install_line && }$apt install -y $recommending"
fi

if [ "$check_only" -eq 0 ] &&
    { [ "$apt" = apt-get ] || { command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; }; }; then
    echo "deps.sh: installing $plain${recommending:+ $recommending}"
    # Through env, as sudo would not pass the variable on.
    apt="${apt%apt-get}env DEBIAN_FRONTEND=noninteractive apt-get"
    $apt update
    if [ -n "$plain" ]; then
        # shellcheck disable=SC2086 # one name per word
        $apt install -y --no-install-recommends $plain
    fi
    if [ -n "$recommending" ]; then
        # shellcheck disable=SC2086
        $apt install -y $recommending
    fi
    exit 0
fi

echo "deps.sh: missing Debian packages: $plain${recommending:+ $recommending}" >&2
echo "Install them with:  ${apt%apt-get}apt-get update && $install_line" >&2
exit 1
