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
. "$(dirname "$0")/relay-lib.sh"
always=('"lost":0,' '"corrupt":0,' '"reordered":0,' '"duplicate":0,' '"protocol_faults":0,')

start_relay

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
check_refused_join
check "still serving after the refusal" "$(run medium --rooms 5)"

echo "$failures failed"
[ "$failures" -eq 0 ]
