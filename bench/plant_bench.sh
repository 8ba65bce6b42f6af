#!/usr/bin/env bash
# The plant rows of make bench (bench/run_bench.sh runs this last; it also runs alone): one
# release server holding PLANT_PLCS S7-1200s (default 1000) from one [[plc]] row, each with two
# 256-byte data blocks and no demo data, each on its own loopback address 127.1.0.n, port
# PLANT_PORT (default 10102). It measures the time from the start to the ready file, resident
# memory per PLC above a one-PLC server's from the same file, idle CPU with no client, and then
# a SCADA poll (plcdouble-bench --scada): one connection to every PLC, 10 items of 4 bytes read
# from each every 100 ms, for PLANT_SECONDS (default 10). A measurement: the exit status is 1 only
# when a request was lost or wrong or a server did not start or stop cleanly.
#
# Environment: PLANT_PLCS, PLANT_PORT, PLANT_SECONDS, BENCH_IDLE_SECONDS (default 5), BENCH_CPUS.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
server=${PLCDOUBLE:-$root/build/release/plcdouble}
client=${PLCDOUBLE_BENCH:-$root/build/release/plcdouble-bench}
plcs=${PLANT_PLCS:-1000}
plant_port=${PLANT_PORT:-10102}
load_seconds=${PLANT_SECONDS:-10}
idle_seconds=${BENCH_IDLE_SECONDS:-5}
pin=()
if [ -n "${BENCH_CPUS:-}" ]; then
    pin=(taskset -c "$BENCH_CPUS")
fi

work=$(mktemp -d)
plant_pid=
one_pid=
cleanup() {
    for pid in $plant_pid $one_pid; do
        kill "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

cpu_ms() {
    cat /proc/"$1"/task/*/sched 2>/dev/null | awk '/^se.sum_exec_runtime/ { sum += $3 }
        END { printf "%.3f\n", sum }'
}
rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
now_ms() { date +%s%3N; }

# plant_file COUNT: the plant as an operator writes it.
plant_file() {
    cat <<EOF
cpu = "s7-1200"
demo = false
[[db]]
number = 1
size = 256
[[db]]
number = 2
size = 256
[[plc]]
name = "p{n}"
count = $1
bind = "127.1.0.0+{n}"
port = $plant_port
EOF
}

# start NAME COUNT: starts a server with a plant of COUNT PLCs and waits for its ready file;
# sets started_pid and ready_ms (from the start to the file).
start() {
    plant_file "$2" >"$work/$1.toml"
    local began
    began=$(now_ms)
    "${pin[@]}" "$server" --config "$work/$1.toml" --ready-file "$work/$1.ready" --color never \
        </dev/null >/dev/null 2>&1 &
    started_pid=$!
    until [ -e "$work/$1.ready" ]; do
        if ! kill -0 "$started_pid" 2>/dev/null; then
            echo "plant bench: the $1 server exited at start-up"
            exit 1
        fi
        if [ $(($(now_ms) - began)) -gt 60000 ]; then
            echo "plant bench: the $1 server not ready within 60 s"
            exit 1
        fi
        sleep 0.005
    done
    ready_ms=$(($(now_ms) - began))
}

stop() {
    kill -TERM "$1"
    if ! wait "$1"; then
        echo "plant bench: $2 server exit status not 0 on SIGTERM"
        errors_seen=1
    fi
}

errors_seen=0
echo "Plant: starting one server with 1 PLC and one with $plcs PLCs..."
start one 1
one_pid=$started_pid
sleep 0.5
rss_one=$(rss_kib "$one_pid")
stop "$one_pid" "the one-PLC"
one_pid=
start plant "$plcs"
plant_pid=$started_pid
plant_ready_ms=$ready_ms
sleep 0.5
rss_plant=$(rss_kib "$plant_pid")

echo "Plant: idle CPU for ${idle_seconds} s (no client)..."
cpu_before=$(cpu_ms "$plant_pid")
sleep "$idle_seconds"
idle_cpu=$(awk -v a="$cpu_before" -v b="$(cpu_ms "$plant_pid")" -v s="$idle_seconds" \
    'BEGIN { printf "%.3f", (b - a) / (s * 1000) * 100 }')

echo "Plant: SCADA poll of every PLC, 10 items every 100 ms, for ${load_seconds} s..."
cpu_before=$(cpu_ms "$plant_pid")
scada=
if ! scada=$("${pin[@]}" "$client" --scada "$plcs" --host 127.1.0.0 --port "$plant_port" \
    --slot 1 --items 10 --bytes 4 --interval-ms 100 --seconds "$load_seconds" 2>"$work/err"); then
    errors_seen=1
    echo "plant bench: the SCADA poll failed:"
    head -n 20 "$work/err"
fi
load_cpu=$(awk -v a="$cpu_before" -v b="$(cpu_ms "$plant_pid")" -v s="$load_seconds" \
    'BEGIN { printf "%.1f", (b - a) / (s * 1000) * 100 }')
rss_loaded=$(rss_kib "$plant_pid")
stop "$plant_pid" "the plant"
plant_pid=

# A figure of the poll's result line; 0 when the poll printed none.
field() {
    local value
    value=$(sed -nE "s/.* $1=([^ ]+).*/\1/p" <<<" ${scada:-}")
    echo "${value:-0}"
}
per_plc=$(awk -v a="$rss_one" -v b="$rss_plant" -v n="$plcs" \
    'BEGIN { printf "%.1f", (b - a) / (n - 1) }')
per_plc_loaded=$(awk -v a="$rss_one" -v b="$rss_loaded" -v n="$plcs" \
    'BEGIN { printf "%.1f", (b - a) / (n - 1) }')
verdict() { if [ "$1" = 1 ]; then echo "met"; else echo "MISSED"; fi; }
check() { awk "BEGIN { print ($1) ? 1 : 0 }"; }
echo
echo "plant: $plcs s7-1200 PLCs, two 256-byte DBs each, no demo data, one loopback address each"
printf "  ready after %d ms; resident %d KiB (one-PLC server %d KiB): %s KiB per PLC, %s KiB with a client each\n" \
    "$plant_ready_ms" "$rss_plant" "$rss_one" "$per_plc" "$per_plc_loaded"
printf "  idle CPU %s%% of one core\n" "$idle_cpu"
printf "  SCADA poll: %s requests sent, %s answered (%s/s), lost %s, failed %s, polls skipped %s\n" \
    "$(field sent)" "$(field replies)" "$(field rps)" "$(field lost)" "$(field failed)" \
    "$(field skipped)"
printf "    round trip p50 %s us, p99 %s us, max %s us; server CPU %s%% of one core; set-up of %s connections %s s\n" \
    "$(field p50_us)" "$(field p99_us)" "$(field max_us)" "$load_cpu" "$plcs" "$(field setup_s)"
echo "plant targets (measured, not asserted):"
printf "  ready in under 2 s:                          %6d ms  %s\n" "$plant_ready_ms" \
    "$(verdict "$(check "$plant_ready_ms < 2000")")"
# The data a PLC holds: its two blocks and the S7-1200's process image (10 KiB).
printf "  memory per PLC <= 64 KiB above its data:     %6s KiB (data 10.5 KiB)  %s\n" \
    "$per_plc" "$(verdict "$(check "$per_plc - 10.5 <= 64")")"
printf "  idle CPU <= 2%% of one core:                  %6s%%  %s\n" "$idle_cpu" \
    "$(verdict "$(check "$idle_cpu <= 2")")"
printf "  SCADA p99 < 5 ms:                            %6s us  %s\n" "$(field p99_us)" \
    "$(verdict "$(check "$(field p99_us) > 0 && $(field p99_us) < 5000")")"
printf "  SCADA none lost or failed:                   %6s  %s\n" \
    "$(($(field lost) + $(field failed)))" \
    "$(verdict "$(check "$(field lost) == 0 && $(field failed) == 0 && $(field replies) > 0")")"
exit "$errors_seen"
