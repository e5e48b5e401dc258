# Shared by the C relays' test scripts, after `relay` and `gen` are set: a scratch directory, a
# relay started on a free port and stopped at exit, and the refused-join check. Also brings in
# check-lib.sh's `check` and `failures`.
. "$(dirname "${BASH_SOURCE[0]}")/../check-lib.sh"
work=$(mktemp -d)
relay_pid=""
cleanup() {
    [ -n "$relay_pid" ] && kill "$relay_pid" 2>/dev/null && wait "$relay_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# Starts the relay (under "$@" when given) on a free port below the kernel's range for outgoing
# connections; the relay itself reports a port taken by failing to bind.
start_relay() {
    for _ in $(seq 30); do
        port=$((20000 + RANDOM % 12000))
        : >"$work/relay.out"
        "$@" "$relay" "$port" >"$work/relay.out" 2>&1 &
        relay_pid=$!
        for _ in $(seq 100); do
            grep -q listening "$work/relay.out" && return 0
            kill -0 "$relay_pid" 2>/dev/null || break
            sleep 0.05
        done
        wait "$relay_pid" 2>/dev/null
        relay_pid=""
    done
    echo "the relay did not start" >&2
    cat "$work/relay.out" >&2
    exit 1
}

stop_relay() {
    kill "$relay_pid" 2>/dev/null
    wait "$relay_pid" 2>/dev/null
    relay_pid=""
}

# A join without a room is refused with 400.
check_refused_join() {
    exec 3<>"/dev/tcp/127.0.0.1/$port"
    printf 'GET /?player=x HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n'`
        `'Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n' >&3
    local answer
    answer=$(timeout 5 head -c 12 <&3)
    exec 3<&-
    if [ "$answer" = "HTTP/1.1 400" ]; then echo "passed: join without a room refused"; else
        echo "FAILED: join without a room answered '$answer'" >&2
        failures=$((failures + 1))
    fi
}
