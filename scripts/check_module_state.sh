#!/usr/bin/env bash
# Fails when code under src/ keeps state outside the PLC value: a variable that lives as long as
# the program and is neither const nor constexpr (or is a reference to non-const data). Such a
# variable is one at namespace scope (named or anonymous, `static` at file scope, `inline` in a
# header), a static data member, or a `static` or `thread_local` variable inside a function or
# lambda. A const object built at start-up (a const std::map) is not state. Only the log
# (src/core/log.cpp, src/core/log_queue.*), the platform layer (src/platform/) and the HTTP
# server's own file (src/http/http_server.cpp) may keep state.
#
#   scripts/check_module_state.sh [BUILD_DIR]   (default build/debug; its compile_commands.json
#                                                lists the files, clang-query-14 reads them)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/debug}" && pwd)
allowed='^src/(core/log\.cpp|core/log_queue\.[a-z]+|platform/.*|http/http_server\.cpp):'

query=${CLANG_QUERY:-$(command -v clang-query-14 || command -v clang-query || true)}
if [ -z "$query" ]; then
    echo "check_module_state: clang-query not found (Debian package clang-tools-14:" \
        "sh scripts/deps.sh test)" >&2
    exit 2
fi
if [ ! -f "$build/compile_commands.json" ]; then
    echo "check_module_state: no $build/compile_commands.json" >&2
    exit 2
fi
mapfile -t files < <(sed -n 's/^ *"file": *"\(.*\)",\{0,1\}$/\1/p' "$build/compile_commands.json" |
    awk -v folder="$root/src/" 'index($0, folder) == 1')
if [ ${#files[@]} -eq 0 ]; then
    echo "check_module_state: no file of $root/src in $build/compile_commands.json" >&2
    exit 2
fi

matcher='match varDecl(isDefinition(), hasGlobalStorage(), unless(isConstexpr()), anyOf(
    hasType(referenceType(pointee(unless(isConstQualified())))),
    unless(anyOf(hasType(isConstQualified()), hasType(referenceType())))),
    isExpansionInFileMatching("/src/")).bind("state")'
matcher=$(tr '\n' ' ' <<<"$matcher")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export query build work matcher
# One clang-query per file, in parallel, each into a file of its own. clang-query matches what it
# could parse and still exits 0 on a compile error, so its errors count as a failure here (the
# compilers' warnings are not, even where the build makes them errors).
# shellcheck disable=SC2016 # expanded by the inner sh
printf '%s\n' "${files[@]}" | xargs -P "${JOBS:-$(nproc)}" -I{} sh -c '
    out="$work/$(printf "%s" "$1" | tr / _)"
    "$query" -p "$build" --extra-arg=-Wno-error -c "set bind-root false" -c "set output diag" \
        -c "enable output print" -c "$matcher" "$1" >"$out.txt" 2>"$out.err" &&
        ! grep -q ": error: " "$out.err" || echo "$1" >>"$work/failed"' sh {}

# A match prints "FILE:LINE:COL: note: "state" binds here", the source line, a caret line and
# "Binding for "state":" before the declaration. Each variable once, as "src/FILE:LINE: DECL".
found=$(find "$work" -name '*.txt' -exec cat {} + | awk -v prefix="$root/" '
    / note: "state" binds here$/ { place = $0; sub(/:[0-9]+: note: .*/, "", place) }
    /^Binding for "state":$/ { getline declaration; if (index(place, prefix) == 1)
        print substr(place, length(prefix) + 1) ": " substr(declaration, 1, 100) }' |
    sort -u | sort -t: -k1,1 -k2,2n)
kept=$(grep -Ev "$allowed" <<<"$found" || true)
status=0
if [ -f "$work/failed" ]; then
    echo "check_module_state: clang-query could not read:" >&2
    while read -r file; do
        echo "  $file" >&2
        sed 's/^/    /' "$work/$(printf '%s' "$file" | tr / _).err" >&2
    done <"$work/failed"
    status=1
fi
if [ -n "$kept" ]; then
    echo "$kept"
    echo "check_module_state: state outside the PLC value, $(wc -l <<<"$kept") variables above;" \
        "move them into it, or make them const or constexpr"
    status=1
elif [ "$status" -eq 0 ]; then
    allowed_count=$(grep -cEv '^$' <<<"$found" || true)
    echo "check_module_state: no state outside the PLC value in ${#files[@]} files" \
        "($allowed_count variables in the log, platform and HTTP server files)"
fi
exit "$status"
