#!/usr/bin/env bash
# Drives the copy-free C relay with the generator, which checks every byte of every delivery:
# small frames, frames that straddle pages, megabyte-scale frames across reads, and enough load
# that input buffers are recycled while receivers still hold their old pages. Also checks that
# the output really took the pipes (no write calls at all) and that a refused join, written the
# copying way, leaves the relay serving.
# Usage: c-relay-splice-test.sh C_RELAY_SPLICE TNLRELAY_BENCH
set -uo pipefail
relay=$1
gen=$2
work=$(mktemp -d)
relay_pid=""
. "$(dirname "$0")/../check-lib.sh"
cleanup() {
    [ -n "$relay_pid" ] && kill "$relay_pid" 2>/dev/null && wait "$relay_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
always=('"lost":0,' '"corrupt":0,' '"reordered":0,' '"duplicate":0,' '"protocol_faults":0,')

# A free port below the kernel's range for outgoing connections; the relay reports a port taken
# by failing to bind.
for _ in $(seq 30); do
    port=$((20000 + RANDOM % 12000))
    : >"$work/relay.out"
    "$relay" "$port" >"$work/relay.out" 2>&1 &
    relay_pid=$!
    for _ in $(seq 100); do
        grep -q listening "$work/relay.out" && break 2
        kill -0 "$relay_pid" 2>/dev/null || break
        sleep 0.05
    done
    wait "$relay_pid" 2>/dev/null
    relay_pid=""
done
[ -n "$relay_pid" ] || { echo "the relay did not start" >&2; cat "$work/relay.out" >&2; exit 1; }

run() { # scenario and options
    "$gen" --port "$port" --server-pid "$relay_pid" --duration 0.5 --drain 5 --label c-splice \
        --scenario "$@" 2>&1
}

check "chat, 7-bit lengths, odd tails" "$(run chat --size 77 --rooms 20)"
# Spliced output makes no write calls; the copying path would make some in every batch.
check "medium, frames across pages, copy-free" "$(run medium --size 2001 --rooms 50)" \
    '"syscw_per_msg":0,'
# Frames that end past a read leave tails that move to the buffer's start: never over sent bytes.
check "medium, frames split across reads" "$(run medium --size 30001 --rooms 10)"
check "bulk both ways, 64-bit lengths across reads" "$(run bulk --size 300007 --rooms 3)"
check "bulk one way, megabyte frames" "$(run bulk-oneway --rooms 2)" '"syscw_per_msg":0,'

# A join without a room is refused, and the relay goes on serving.
exec 3<>"/dev/tcp/127.0.0.1/$port"
printf 'GET /?player=x HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n'`
    `'Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n' >&3
answer=$(timeout 5 head -c 12 <&3)
exec 3<&-
if [ "$answer" = "HTTP/1.1 400" ]; then echo "passed: join without a room refused"; else
    echo "FAILED: join without a room answered '$answer'" >&2
    failures=$((failures + 1))
fi
check "still serving after the refusal" "$(run medium --rooms 5)"

echo "$failures failed"
[ "$failures" -eq 0 ]
