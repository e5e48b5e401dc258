#!/usr/bin/env bash
# Drives the relay with the generator over TLS: small messages in many records, large ones that
# span records and fill sockets, and plain clients on the same port, every delivery checked.
# Usage: tls-relay-test.sh TNLRELAY TNLRELAY_BENCH
set -uo pipefail
relay=$1
gen=$2
top=$(cd "$(dirname "$0")/.." && pwd)
command -v openssl >/dev/null || { echo "skipped: no openssl command"; exit 77; }
work=$(mktemp -d)
relay_pid=""
. "$top/bench/check-lib.sh"
cleanup() {
    [ -n "$relay_pid" ] && kill "$relay_pid" 2>/dev/null && wait "$relay_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

data=$work/data/Tarnelle/RelayServer
mkdir -p "$data"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=localhost \
    -keyout "$data/key.pem" -out "$data/cert.pem" 2>/dev/null
echo '{"tlsCertificate": "cert.pem", "tlsPrivateKey": "key.pem"}' >"$data/config.json"

started=no
for _ in $(seq 10); do
    port=$("$top/scripts/lib/free-port" 2)
    ProgramData=$work/data "$relay" --console "$port" >"$work/relay.out" 2>&1 &
    relay_pid=$!
    for _ in $(seq 100); do
        if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then started=yes; break 2; fi
        kill -0 "$relay_pid" 2>/dev/null || break
        sleep 0.05
    done
    kill "$relay_pid" 2>/dev/null
    wait "$relay_pid" 2>/dev/null
    relay_pid=""
done
[ "$started" = yes ] || { echo "the relay did not start" >&2; cat "$work/relay.out" >&2; exit 1; }
if ! grep -q "TLS on" "$data/relay.log"; then
    echo "FAILED: the relay did not switch TLS on:" >&2
    cat "$data/relay.log" >&2
    exit 1
fi

# Every run over TLS must deliver everything, whole and in order.
always=('"lost":0' '"corrupt":0' '"reordered":0')

run() { # scenario and options
    "$gen" --port "$port" --server-pid "$relay_pid" --duration 0.5 --drain 5 --label tnlrelay+tls \
        --scenario "$@" 2>&1
}

check "chat over TLS" "$(run chat --rooms 20 --tls)"
check "bulk over TLS: frames across records, full sockets" \
    "$(run bulk --size 300007 --rooms 2 --tls)"
check "plain clients on the same port" "$(run chat --rooms 5)"
check "TLS again after the plain ones" "$(run medium --rooms 5 --tls)"

echo "$failures failed"
[ "$failures" -eq 0 ]
