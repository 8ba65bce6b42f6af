#!/usr/bin/env bash
# Runs clang-tidy with the checks of .clang-tidy over the sources of the given folders (src when
# none is given) and the headers they include, using the compile database of a build tree.
# Prints each finding once (a header's finding is reported by every file that includes it), then
# the count per check, and fails when there is any finding or a file does not compile.
#
#   scripts/lint.sh [--build DIR] [--incremental] [FOLDER...]
#
# --build DIR      the tree whose compile_commands.json is used (default build/debug)
# --incremental    skip a file that was clean the last time and whose object file has not been
#                  rebuilt since (the build's own dependency tracking tells when one of its headers
#                  changed); the marks are kept in DIR/lint. For the ctest entry: the build is up
#                  to date when tests run.
# JOBS=n           clang-tidy processes at once (default: the number of processors)
# CLANG_TIDY=path  the clang-tidy to run (default clang-tidy-14, else clang-tidy)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/debug"
incremental=0
folders=()
while [ $# -gt 0 ]; do
    case "$1" in
    --build) build=$(cd "$2" && pwd); shift 2 ;;
    --incremental) incremental=1; shift ;;
    -*) echo "lint: unknown option $1" >&2; exit 2 ;;
    *) folders+=("${1%/}"); shift ;;
    esac
done
[ ${#folders[@]} -gt 0 ] || folders=(src)

tidy=${CLANG_TIDY:-$(command -v clang-tidy-14 || command -v clang-tidy || true)}
if [ -z "$tidy" ]; then
    echo "lint: clang-tidy not found (Debian package clang-tidy-14: sh scripts/deps.sh test)" >&2
    exit 2
fi
database="$build/compile_commands.json"
if [ ! -f "$database" ]; then
    echo "lint: no $database; configure that tree first (make debug)" >&2
    exit 2
fi

# "source object" for every entry of the database under the folders asked for. CMake writes one
# key a line; the object is the -o of the command, relative to the entry's directory.
pattern=$(printf '%s|' "${folders[@]}")
mapfile -t entries < <(awk -v root="$root" -v folders="^(${pattern%|})/" '
    /"directory":/ { directory = $0; sub(/^[^:]*: *"/, "", directory); sub(/",?$/, "", directory) }
    /"command":/ { object = $0; sub(/.* -o /, "", object); sub(/ .*/, "", object) }
    /"file":/ {
        file = $0; sub(/^[^:]*: *"/, "", file); sub(/",?$/, "", file)
        relative = substr(file, length(root) + 2)
        if (index(file, root "/") == 1 && relative ~ folders) {
            if (object !~ /^\//) object = directory "/" object
            print file " " object
        }
    }' "$database")
if [ ${#entries[@]} -eq 0 ]; then
    echo "lint: no file of ${folders[*]} in $database" >&2
    exit 2
fi

marks="$build/lint"
mkdir -p "$marks"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Which files to check: all, or with --incremental those without a mark newer than their object,
# .clang-tidy and clang-tidy itself.
todo=()
skipped=0
for entry in "${entries[@]}"; do
    file=${entry%% *}
    object=${entry#* }
    mark="$marks/$(printf '%s' "${file#"$root"/}" | tr / _).clean"
    if [ "$incremental" -eq 1 ] && [ -f "$object" ] && [ "$mark" -nt "$object" ] &&
        [ "$mark" -nt "$root/.clang-tidy" ] && [ "$mark" -nt "$(readlink -f "$tidy")" ] &&
        [ "$mark" -nt "$file" ]; then
        skipped=$((skipped + 1))
        continue
    fi
    rm -f "$mark"
    todo+=("$file $mark")
done

started=$(date +%s)
# One clang-tidy per file, its output kept apart so parallel runs do not interleave. A file is
# marked clean when clang-tidy succeeded and printed no finding. Compiler warnings are not
# findings here, even where the build makes them errors: the builds report those.
export tidy build work
# shellcheck disable=SC2016 # expanded by the inner sh
[ ${#todo[@]} -eq 0 ] || printf '%s\n' "${todo[@]}" | xargs -P "${JOBS:-$(nproc)}" -L 1 sh -c '
    out="$work/$(printf "%s" "$0" | tr / _)"
    if "$tidy" -p "$build" --quiet --extra-arg=-Wno-error "$0" >"$out.txt" 2>"$out.err"; then
        grep -qE ": (warning|error): " "$out.txt" || touch "$1"
    else
        echo "$0" >>"$work/failed"
    fi'
elapsed=$(($(date +%s) - started))

# Each finding once (with its notes), then the count per check.
find "$work" -name '*.txt' | sort | xargs -r cat | awk '
    /^[^ ].*:[0-9]+:[0-9]+: (warning|error): / {
        keep = !($0 in seen); seen[$0] = 1
        if (keep) { count++; check = $0; sub(/.*\[/, "", check); sub(/\]$/, "", check)
                    checks[check]++ }
    }
    keep && count { block[count] = block[count] $0 "\n" }
    END {
        for (i = 1; i <= count; i++) printf "%s", block[i]
        if (count) {
            print "\nlint: findings per check:"
            for (check in checks) printf "%6d %s\n", checks[check], check | "sort -rn"
            close("sort -rn")
        }
        print count + 0 > "/dev/stderr"
    }' 2>"$work/count"
findings=$(cat "$work/count")

status=0
if [ -f "$work/failed" ]; then
    echo "lint: clang-tidy could not check these files:" >&2
    while read -r file; do
        echo "  $file" >&2
        grep -v 'warnings generated' "$work/$(printf '%s' "$file" | tr / _).err" |
            sed 's/^/    /' >&2 || true
    done <"$work/failed"
    status=1
fi
echo "lint: ${#todo[@]} files checked, $skipped unchanged since clean, $findings findings," \
    "${elapsed}s ($(basename "$tidy") over ${folders[*]})"
[ "$findings" -eq 0 ] || status=1
exit "$status"
