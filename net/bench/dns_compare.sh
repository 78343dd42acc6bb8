#!/usr/bin/env bash
# First queries of names through the library's resolver beside glibc's
# res_nquery, on this machine in one run: a dnsmasq started here on a
# loopback port serves a zone of many address records, and dns_walk (ours:
# DnsLookupA) and dns_resnquery (the peer, built here from
# net/bench/dns_resnquery.c) each ask it for every name once, from 1 and from
# 8 threads, taking turns round after round, so that whatever else the
# machine does falls on both alike. Every name is new to each process, so no
# answer comes from our cache. Prints the median queries per second of each
# side, their ratio (ours / glibc's) and each side's peak resident memory.
#
#   net/bench/dns_compare.sh [rounds] [names]
#
# Called by scripts/bench dns, which has built build/release.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top"
rounds=${1:-5}
names=${2:-20000}
bin=build/release/bin
suffix=bench.test

work=$(mktemp -d)
dnsmasq_pid=
cleanup() {
    if [ -n "$dnsmasq_pid" ]; then
        kill "$dnsmasq_pid" 2>/dev/null || true
        wait "$dnsmasq_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

gcc -O2 -o "$work/dns_resnquery" net/bench/dns_resnquery.c -lresolv -lpthread

# The zone: h0 ... h<names-1> and warm, one address each; any other name of
# the zone does not exist (and is never sent upstream).
awk -v n="$names" -v s="$suffix" 'BEGIN {
    for (i = 0; i < n; ++i) printf "127.%d.%d.%d h%d.%s\n", int(i / 65536) % 256, int(i / 256) % 256, i % 256, i, s
    printf "127.255.255.254 warm.%s\n", s
}' >"$work/zone.hosts"

port=$(python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
user=()
# As root dnsmasq would otherwise change to a user this machine may not have.
[ "$(id -u)" -ne 0 ] || user=(--user=root)
/usr/sbin/dnsmasq --keep-in-foreground --port="$port" --listen-address=127.0.0.1 \
    --bind-interfaces --no-resolv --no-hosts --no-poll --conf-file=/dev/null --pid-file= \
    --log-facility="$work/dnsmasq.log" "${user[@]}" --local="/$suffix/" --local-ttl=60 \
    --addn-hosts="$work/zone.hosts" &
dnsmasq_pid=$!
printf 'nameserver 127.0.0.1:%s\n' "$port" >"$work/resolv.conf"
for _ in $(seq 50); do
    if "$work/dns_resnquery" 1 1 "$suffix" "$port" >/dev/null 2>&1 &&
        ZELORM_RESOLV_CONF="$work/resolv.conf" ZELORM_LOCK_DIR="$work" "$bin/dns_walk" 1 1 "$suffix" |
        grep -q ' failed 0 '; then
        break
    fi
    sleep 0.1
done

median() {
    sort -g | awk '{a[NR] = $1} END {print (NR % 2 ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2)}'
}

# compare <threads>
compare() {
    local threads=$1
    : >"$work/ours"
    : >"$work/peer"
    for _ in $(seq "$rounds"); do
        ZELORM_RESOLV_CONF="$work/resolv.conf" ZELORM_LOCK_DIR="$work" \
            "$bin/dns_walk" "$threads" "$names" "$suffix" >>"$work/ours"
        "$work/dns_resnquery" "$threads" "$names" "$suffix" "$port" >>"$work/peer"
    done
    local ours peer ours_rss peer_rss failed
    ours=$(awk '{print $4 / $2}' "$work/ours" | median)
    peer=$(awk '{print $4 / $2}' "$work/peer" | median)
    ours_rss=$(awk '{print $8}' "$work/ours" | sort -g | tail -1)
    peer_rss=$(awk '{print $8}' "$work/peer" | sort -g | tail -1)
    printf '%-22s %10.0f %10.0f %7.2f %10s %10s\n' "first queries, $threads thr" "$ours" "$peer" \
        "$(awk -v a="$ours" -v b="$peer" 'BEGIN {print (b > 0 ? a / b : 0)}')" "$ours_rss" "$peer_rss"
    failed=$(cat "$work/ours" "$work/peer" | awk '{f += $6} END {print f + 0}')
    [ "$failed" -eq 0 ] || echo "   $failed lookups failed (see the runs above)"
}

echo "== dns: first queries of $names distinct names against dnsmasq on 127.0.0.1; ours beside res_nquery"
echo "   $rounds rounds, medians in queries per second; ratio = ours / glibc's"
printf '%-22s %10s %10s %7s %10s %10s\n' "work" "ours q/s" "glibc q/s" "ratio" "ours KiB" "glibc KiB"
compare 1
compare 8
