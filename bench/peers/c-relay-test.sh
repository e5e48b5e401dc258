#!/usr/bin/env bash
# Drives the C relay with the generator: message sizes that take each of the three length forms
# and leave tails that are no multiple of eight, the new scenarios, a refused join, and, where
# perf counts system calls, the generator's control of a perf wrapped around the relay.
# Usage: c-relay-test.sh C_RELAY TNLRELAY_BENCH
set -uo pipefail
relay=$1
gen=$2
. "$(dirname "$0")/relay-lib.sh"

run() { # scenario and options
    "$gen" --port "$port" --server-pid "$relay_pid" --duration 0.4 --drain 5 --label c \
        --scenario "$@" 2>&1
}

start_relay
check "chat, 7-bit lengths, odd tails" "$(run chat --size 77 --rooms 20)" '"lost":0' \
    '"corrupt":0'
check "medium, 16-bit lengths" "$(run medium --size 2001 --rooms 20)" '"corrupt":0'
check "bulk both ways, 64-bit lengths across reads" "$(run bulk --size 300007 --rooms 3)"
check "bulk one way" "$(run bulk-oneway --size 70001 --rooms 3)" '"senders_per_room":1'
check "broadcast" "$(run broadcast --members 50)"
tick=$(run tick --rooms 10)
check "tick: processor use, latency and read calls" "$tick" '"rate_per_client":10'
[[ "$tick" =~ \"server_cpu\":[0-9] && "$tick" =~ \"syscr_per_msg\":[0-9] &&
    "$tick" =~ \"lat_p99_us\":[1-9] ]] ||
    { echo "FAILED: tick figures missing: $tick" >&2; failures=$((failures + 1)); }
# At a rate the load is the clock's alone: 80 clients at 10 a second send about 320 messages in
# 0.4 s, however quickly the relay delivers them.
sent=$(sed -n 's/.*"sent":\([0-9]*\).*/\1/p' <<<"$tick")
if [ -n "$sent" ] && [ "$sent" -ge 280 ] && [ "$sent" -le 360 ]; then
    echo "passed: tick sends at its rate ($sent messages)"
else
    echo "FAILED: tick sent '$sent' messages in 0.4 s, not about 320" >&2
    failures=$((failures + 1))
fi

# A join without a room is refused, and the relay goes on serving.
check_refused_join
check "still serving after the refusal" "$(run chat --rooms 5)"
stop_relay

if perf stat -x, -e syscalls:sys_enter_writev -o /dev/null -- true >/dev/null 2>&1; then
    mkfifo "$work/ctl" "$work/ack"
    start_relay perf stat -I 100 -x, -o "$work/perf.txt" -D -1 --control \
        "fifo:$work/ctl,$work/ack" -e raw_syscalls:sys_enter,syscalls:sys_enter_writev,\
syscalls:sys_enter_read,syscalls:sys_enter_epoll_wait,syscalls:sys_enter_epoll_ctl --
    wrapper=$relay_pid
    relay_pid=$(awk '{print $1}' "/proc/$wrapper/task/$wrapper/children")
    line=$(run chat --rooms 20 --perf-control "$work/ctl,$work/ack" --perf-output "$work/perf.txt")
    # One registration per connection, made before the window: none inside it.
    check "system calls by perf" "$line" '"sc_epoll_ctl_per_msg":0,' '"syscalls_by_perf":true'
    [[ "$line" =~ \"sc_write_per_msg\":0\.[0-9] && "$line" =~ \"msgs_per_write\":[1-9] ]] ||
        { echo "FAILED: perf counts missing: $line" >&2; failures=$((failures + 1)); }
    kill "$relay_pid" 2>/dev/null
    wait "$wrapper" 2>/dev/null
    relay_pid=""
else
    echo "skipped: perf cannot count system calls here"
fi

echo "$failures failed"
[ "$failures" -eq 0 ]
