# Shared by the generator's test scripts: `check NAME LINE PATTERN...` passes when the JSON line
# holds '"ok":true', every pattern in the array `always` and every pattern given; it counts
# misses in `failures`.
always=()
failures=0

check() { # name, JSON line, patterns that must all be in it
    local name=$1 line=$2
    shift 2
    for want in '"ok":true' "${always[@]}" "$@"; do
        if [[ "$line" != *"$want"* ]]; then
            echo "FAILED: $name: no $want in: $line" >&2
            failures=$((failures + 1))
            return
        fi
    done
    echo "passed: $name"
}
