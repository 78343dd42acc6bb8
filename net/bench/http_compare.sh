#!/usr/bin/env bash
# Static files from our web server beside nginx, on this machine in one run:
# both serve the same 2 KiB and 1 MiB files from one directory on 127.0.0.1,
# and ab (apache2-utils) loads them in turn, round after round, so that
# whatever else the machine does falls on both alike. Prints the median
# requests per second of each side, their ratio (ours / nginx) and each
# server's peak resident memory.
#
# Keep-alive off: nginx is told to close every connection (keepalive_timeout
# 0), as our server does after every response. Keep-alive on: ab asks for it
# (-k) and nginx keeps connections open; our server still closes them.
# Every request comes from 127.0.0.1, so our server's per-address cap is
# raised to the worker count (said beside the figures).
#
#   net/bench/http_compare.sh [rounds] [seconds per measurement]
#
# Called by scripts/bench http, which has built build/release.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top"
rounds=${1:-3}
seconds=${2:-2}
build=build/release
bin=$build/bin
# As many connection workers as nginx has worker processes (one per core).
workers=${ZELORM_BENCH_WORKERS:-$(nproc)}

work=$(mktemp -d)
# nginx's workers run as an unprivileged user and must read the files.
chmod 755 "$work"
ours_pid=
nginx_pid=
cleanup() {
    for pid in $ours_pid $nginx_pid; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/static" "$work/spool" "$work/locks" "$work/nginx"
head -c 2048 /dev/urandom | base64 -w 76 | head -c 2048 >"$work/static/small.html"
head -c 1048576 /dev/urandom >"$work/static/large.bin"
chmod 644 "$work/static/"*

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

start_nginx() {
    local keepalive=$1 port
    port=$(free_port)
    cat >"$work/nginx/nginx.conf" <<EOF
daemon off;
worker_processes auto;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 4096; }
http {
    access_log off;
    client_body_temp_path $work/nginx/body;
    proxy_temp_path $work/nginx/proxy;
    fastcgi_temp_path $work/nginx/fastcgi;
    uwsgi_temp_path $work/nginx/uwsgi;
    scgi_temp_path $work/nginx/scgi;
    keepalive_timeout $keepalive;
    keepalive_requests 1000000;
    server {
        listen 127.0.0.1:$port backlog=4096;
        location /static/ { alias $work/static/; }
    }
}
EOF
    nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -e "$work/nginx/error.log" &
    nginx_pid=$!
    nginx_port=$port
    for _ in $(seq 100); do
        curl -s -o /dev/null "http://127.0.0.1:$port/static/small.html" && return 0
        sleep 0.1
    done
    echo "nginx did not start" >&2
    exit 1
}

stop_nginx() {
    kill "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
    nginx_pid=
}

start_ours() {
    ZELORM_LOCK_DIR="$work/locks" "$bin/http_bench_server" "$work/static" "$work/spool" \
        "$workers" "$workers" >"$work/server.out" &
    ours_pid=$!
    ours_port=
    for _ in $(seq 100); do
        ours_port=$(awk '/^port / {print $2}' "$work/server.out")
        [ -n "$ours_port" ] && return 0
        sleep 0.1
    done
    echo "our server did not start" >&2
    exit 1
}

# Peak resident memory in KiB of a process and its children (nginx's
# workers are children of its master).
peak_kib() {
    local pid=$1 total=0 p
    for p in $pid $(pgrep -P "$pid" || true); do
        total=$((total + $(awk '/^VmHWM/ {print $2}' "/proc/$p/status" 2>/dev/null || echo 0)))
    done
    echo "$total"
}

# Requests per second of one ab run; failures make the figure 0.
rate() {
    local url=$1 clients=$2 keep=$3
    ab -q -r $keep -t "$seconds" -n 10000000 -c "$clients" "$url" >"$work/ab.txt" 2>&1 || true
    local failed non2xx
    failed=$(awk '/^Failed requests/ {print $3}' "$work/ab.txt")
    non2xx=$(awk '/^Non-2xx responses/ {print $3}' "$work/ab.txt")
    if [ "${failed:-0}" != 0 ] || [ -n "$non2xx" ]; then
        echo "ab reported failures (${failed:-0} failed, ${non2xx:-0} non-2xx) at $url" >&2
    fi
    awk '/^Requests per second/ {print $4}' "$work/ab.txt"
}

median() {
    sort -g | awk '{a[NR] = $1} END {print (NR % 2 ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2)}'
}

start_ours
echo "== http: our server ($workers connection workers, address cap $workers: all from 127.0.0.1) beside nginx"
echo "   $rounds rounds of $seconds s each, medians in requests/s"
printf '%-34s %12s %12s %7s\n' "work" "ours" "nginx" "ratio"
for keepalive in off on; do
    if [ "$keepalive" = off ]; then start_nginx 0; keep=""; else start_nginx 65; keep="-k"; fi
    for file in small.html large.bin; do
        for clients in 8 64; do
            : >"$work/ours.rates"
            : >"$work/nginx.rates"
            for _ in $(seq "$rounds"); do
                rate "http://127.0.0.1:$ours_port/static/$file" "$clients" "$keep" >>"$work/ours.rates"
                rate "http://127.0.0.1:$nginx_port/static/$file" "$clients" "$keep" >>"$work/nginx.rates"
            done
            ours=$(median <"$work/ours.rates")
            theirs=$(median <"$work/nginx.rates")
            size=$([ "$file" = small.html ] && echo "2 KiB" || echo "1 MiB")
            printf '%-34s %12.0f %12.0f %7.2f\n' "$size, $clients clients, keep-alive $keepalive" \
                "$ours" "$theirs" "$(awk -v a="$ours" -v b="$theirs" 'BEGIN {print (b > 0 ? a / b : 0)}')"
        done
    done
    nginx_peak=$(peak_kib "$nginx_pid")
    stop_nginx
    echo "   peak memory, keep-alive $keepalive: nginx ${nginx_peak} KiB (master and workers)"
done
echo "   peak memory: ours $(peak_kib "$ours_pid") KiB"
