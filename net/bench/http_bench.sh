#!/usr/bin/env bash
# Requests per second of the web server on loopback, for a small static file
# and for a small page from a handler, measured with ab (apache2-utils): one
# request per connection, as the server speaks HTTP/1.0 and closes after
# every response. Every request comes from 127.0.0.1, so the server's
# per-address cap is raised to the concurrency (and said beside the figures).
# Builds the server optimised (no sanitizers) in build/release, as
# scripts/bench does; scripts/test never runs this.
#
#   net/bench/http_bench.sh [requests] [concurrency] [connection workers]
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top"
scripts/install-deps
requests=${1:-20000}
concurrency=${2:-8}
workers=${3:-8}

build=build/release
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZELORM_TESTS=OFF -DZELORM_BENCH=ON >/dev/null
cmake --build "$build" --target http_bench_server >/dev/null

work=$(mktemp -d)
server_pid=
cleanup() {
    if [ -n "$server_pid" ]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/static" "$work/spool" "$work/locks"
head -c 1024 /dev/zero | tr '\0' 'x' >"$work/static/small.html"
ZELORM_LOCK_DIR="$work/locks" "$build/bin/http_bench_server" "$work/static" "$work/spool" "$workers" \
    "$concurrency" >"$work/server.out" &
server_pid=$!
port=
for _ in $(seq 100); do
    port=$(awk '/^port / {print $2}' "$work/server.out")
    [ -n "$port" ] && break
    sleep 0.1
done
if [ -z "$port" ]; then
    echo "the benchmark server did not start" >&2
    exit 1
fi

measure() {
    local path=$1 label=$2
    ab -q -r -n "$requests" -c "$concurrency" "http://127.0.0.1:$port$path" >"$work/ab.txt"
    local rate failed other
    rate=$(awk '/^Requests per second/ {print $4}' "$work/ab.txt")
    failed=$(awk '/^Failed requests/ {print $3}' "$work/ab.txt")
    other=$(awk '/^Non-2xx responses/ {print $3}' "$work/ab.txt")
    echo "$label: $rate requests/s ($requests requests, concurrency $concurrency," \
        "failed ${failed:-0}, non-2xx ${other:-0})"
}

echo "== http_bench ($workers connection workers, address cap $concurrency: all from 127.0.0.1)"
measure /static/small.html "static file of 1 KiB"
measure /hello "handler page"
