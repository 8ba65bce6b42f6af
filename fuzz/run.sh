#!/bin/sh
# Builds a fuzzer with clang under build/fuzz and runs it for SECONDS seconds: first over the
# committed seeds and regression inputs, then with mutation. New inputs it finds go to
# build/fuzz/corpus (not committed); a crash leaves its input in fuzz/artifacts/.
# TARGET: stream (the S7/S5 byte streams, the default), http (the watch page's API) or program
# (the program loader: source text and tag() addresses).
# Usage: fuzz/run.sh [SECONDS] [TARGET]
set -eu
seconds=${1:-60}
target=${2:-stream}
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/fuzz"
cxx=${FUZZ_CXX:-$(command -v clang++-14 || command -v clang++)}
# Configured once, and again for a tree from before warnings were errors here.
if ! grep -qs '^PLCDOUBLE_WERROR:BOOL=ON$' "$build/CMakeCache.txt"; then
    generator=""
    if [ ! -f "$build/CMakeCache.txt" ] && command -v ninja >/dev/null 2>&1; then
        generator="-G Ninja"
    fi
    # shellcheck disable=SC2086
    cmake -S "$root" -B "$build" $generator -DCMAKE_CXX_COMPILER="$cxx" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLCDOUBLE_FUZZ=ON -DPLCDOUBLE_TESTS=OFF \
        -DPLCDOUBLE_WERROR=ON
fi
if [ "$target" = http ]; then
    cmake --build "$build" -j 2 --target plcdouble_http_fuzz
    mkdir -p "$build/corpus-http" "$root/fuzz/artifacts"
    exec "$build/fuzz/plcdouble_http_fuzz" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$root/fuzz/artifacts/http-" \
        -dict="$root/fuzz/http.dict" "$build/corpus-http" "$root/fuzz/corpus-http" \
        "$root/fuzz/regressions-http"
fi
if [ "$target" = program ]; then
    cmake --build "$build" -j 2 --target plcdouble_program_fuzz
    mkdir -p "$build/corpus-program" "$root/fuzz/artifacts"
    # A program's cycle is cut off at 20 ms; -timeout catches anything that is not.
    exec "$build/fuzz/plcdouble_program_fuzz" -max_total_time="$seconds" -max_len=2048 \
        -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$root/fuzz/artifacts/program-" -dict="$root/fuzz/program.dict" \
        "$build/corpus-program" "$root/fuzz/corpus-program"
fi
cmake --build "$build" -j 2 --target plcdouble_fuzz
fuzzer="$build/fuzz/plcdouble_fuzz"
mkdir -p "$build/corpus" "$root/fuzz/artifacts"
# Every kept reproducer must pass before new inputs are tried.
if [ -n "$(ls -A "$root/fuzz/regressions")" ]; then
    "$fuzzer" -runs=0 "$root/fuzz/regressions"
fi
exec "$fuzzer" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$root/fuzz/artifacts/" \
    "$build/corpus" "$root/fuzz/corpus" "$root/fuzz/regressions"
