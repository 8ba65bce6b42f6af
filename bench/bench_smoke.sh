#!/bin/sh
# Runs the load client against a real server for a few hundred requests of each kind and
# checks every reply was right; then shows the client does notice wrong replies, by letting a
# second client overwrite the block a reader compares against. Not a measurement.
# usage: bench_smoke.sh PLCDOUBLE PLCDOUBLE_BENCH
set -u
server=$1
client=$2
requests=300
failures=0
work=$(mktemp -d)

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

port=$("$client" --free-port) || { echo "FAIL: no free port"; exit 1; }
"$server" --port "$port" --bind 127.0.0.1 --color never </dev/null >/dev/null 2>&1 &
server_pid=$!
# The same jobs against a server that answers as an S7-1500, as make bench runs them.
profile_port=$("$client" --free-port) || { echo "FAIL: no free port"; exit 1; }
"$server" --port "$profile_port" --bind 127.0.0.1 --color never --cpu s7-1500 </dev/null \
    >/dev/null 2>&1 &
profile_pid=$!
cleanup() {
    kill "$server_pid" "$profile_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# Listening shows up in /proc/net/tcp as state 0A on the port in hex.
wait_listening() {
    hex=$(printf '%04X' "$1")
    tries=0
    until grep -q ":$hex 00000000:0000 0A" /proc/net/tcp; do
        tries=$((tries + 1))
        if [ "$tries" -gt 100 ] || ! kill -0 "$2" 2>/dev/null; then
            echo "FAIL: server did not start listening on $1"
            exit 1
        fi
        sleep 0.1
    done
}
wait_listening "$port" "$server_pid"
wait_listening "$profile_port" "$profile_pid"
hex_port=$(printf '%04X' "$port")

# run NAME EXPECTED_REQUESTS CLIENT_ARGS...: the client must exit 0, with exactly the
# requests asked for and no errors.
run() {
    name=$1
    expected=$2
    shift 2
    if ! "$client" --port "${target_port:-$port}" --warmup 20 --seconds 60 "$@" >"$work/out" \
        2>"$work/err"; then
        fail "$name: exit status not 0"
        cat "$work/out" "$work/err"
        return
    fi
    if ! grep -q " requests=$expected errors=0 " "$work/out"; then
        fail "$name: expected $expected requests without errors"
        cat "$work/out" "$work/err"
        return
    fi
    echo "ok: $name: $(cat "$work/out")"
}

run "read 16 bytes" $requests --op read --bytes 16 --requests $requests
run "write 16 bytes" $requests --op write --bytes 16 --requests $requests
run "read 200 bytes" $requests --op read --bytes 200 --requests $requests
run "write 200 bytes" $requests --op write --bytes 200 --requests $requests
run "read 2 connections" $((2 * requests)) --op read --connections 2 --requests $requests
run "write 2 connections" $((2 * requests)) --op write --connections 2 --requests $requests
run "read odd items" $requests --op read --bytes 7 --items 5 --requests $requests
run "write odd items" $requests --op write --bytes 7 --items 5 --requests $requests
run "baseline" $requests --baseline --op write --bytes 200 --requests $requests
target_port=$profile_port
run "s7-1500 read 200 bytes, slot 1" $requests --slot 1 --op read --bytes 200 --requests $requests
run "s7-1500 write 2 connections, slot 0, PDU 960" $((2 * requests)) --slot 0 --pdu 960 \
    --op write --connections 2 --bytes 700 --requests $requests
target_port=

# The S7-1500 refuses the classic slot 2; the client says so and fails.
if "$client" --port "$profile_port" --requests 10 >"$work/out" 2>"$work/err"; then
    fail "s7-1500 on slot 2: exit status 0"
elif ! grep -q "no connection confirm" "$work/err"; then
    fail "s7-1500 on slot 2: no refusal reported"
    cat "$work/err"
else
    echo "ok: s7-1500 refuses slot 2"
fi

# The baseline peer as its own process, the way make bench runs it: same answers, clean stop.
baseline_port=$("$client" --free-port)
"$client" --serve-baseline --port "$baseline_port" >"$work/baseline-server" 2>&1 &
baseline_pid=$!
sleep 0.3
if ! "$client" --baseline --port "$baseline_port" --connections 2 --op read --bytes 200 \
    --requests $requests --seconds 60 >"$work/out" 2>"$work/err" ||
    ! grep -q " requests=$((2 * requests)) errors=0 " "$work/out"; then
    fail "baseline server process: wrong answers"
    cat "$work/out" "$work/err"
fi
kill -TERM "$baseline_pid"
if wait "$baseline_pid" && grep -q "baseline_server_cpu_ms=" "$work/baseline-server"; then
    echo "ok: baseline server process: $(cat "$work/out")"
else
    fail "baseline server process did not stop cleanly"
    cat "$work/baseline-server"
fi

# A job too large for the agreed PDU is refused before any traffic is measured.
if "$client" --port "$port" --op read --bytes 200 --items 3 --requests 10 >"$work/out" 2>"$work/err"; then
    fail "oversized job: exit status 0"
elif ! grep -q "exceeds the 480-byte PDU" "$work/err"; then
    fail "oversized job: no PDU message"
    cat "$work/err"
else
    echo "ok: oversized job refused"
fi

# A writer keeps changing DB 300 while a reader of DB 300 compares what it reads with what it
# wrote at its start: the reader must report wrong replies and fail. The reader starts once the
# writer's connection is up (a client socket whose remote end is the server port, state 01).
"$client" --port "$port" --op write --db 300 --warmup 0 --seconds 2 --requests 1000000 \
    >"$work/writer" 2>&1 &
writer_pid=$!
tries=0
until grep -q " 0100007F:$hex_port 01 " /proc/net/tcp; do
    tries=$((tries + 1))
    if [ "$tries" -gt 100 ]; then
        fail "writer did not connect"
        break
    fi
    sleep 0.05
done
if "$client" --port "$port" --op read --db 300 --warmup 0 --seconds 1 --requests 100000 \
    >"$work/out" 2>"$work/err"; then
    fail "reader of a changing block: exit status 0"
    cat "$work/out" "$work/err"
elif ! grep -q "wrong Read Var reply" "$work/err" || grep -q " errors=0 " "$work/out"; then
    fail "reader of a changing block: no wrong reply reported"
    cat "$work/out" "$work/err"
else
    echo "ok: wrong replies detected: $(head -n 2 "$work/err" | tr '\n' ' ')"
fi
if ! wait "$writer_pid"; then
    fail "writer beside the reader: exit status not 0"
    cat "$work/writer"
fi

# The SCADA poll against a plant of five S7-1200s, each on its own loopback address: every
# request answered with its own PLC's pattern, the server stopping cleanly after.
plant_port=$("$client" --free-port)
cat >"$work/plant.toml" <<EOF
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
count = 5
bind = "127.1.0.0+{n}"
port = $plant_port
EOF
"$server" --config "$work/plant.toml" --ready-file "$work/plant.ready" --color never \
    </dev/null >/dev/null 2>&1 &
plant_pid=$!
tries=0
until [ -e "$work/plant.ready" ] || [ "$tries" -gt 100 ]; do
    tries=$((tries + 1))
    sleep 0.1
done
if ! "$client" --scada 5 --host 127.1.0.0 --port "$plant_port" --slot 1 --items 10 --bytes 4 \
    --interval-ms 20 --seconds 1 >"$work/out" 2>"$work/err" ||
    ! grep -q " sent=250 replies=250 lost=0 failed=0 " "$work/out"; then
    fail "SCADA poll of a plant of 5: not every request answered"
    cat "$work/out" "$work/err"
else
    echo "ok: SCADA poll of a plant of 5: $(cat "$work/out")"
fi
kill -TERM "$plant_pid"
if ! wait "$plant_pid"; then
    fail "plant server exit status not 0 after SIGTERM"
fi

kill -TERM "$server_pid" "$profile_pid"
for pid in "$server_pid" "$profile_pid"; do
    wait "$pid"
    status=$?
    if [ "$status" -ne 0 ]; then
        fail "server exit status $status after SIGTERM"
    fi
done

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all bench client checks passed"
