#!/usr/bin/env bash
# MIME parsing and decoding of the library beside GMime 3, on this machine in
# one run: mime_walk (ours) and gmime_walk (the peer, built here from
# net/bench/gmime_walk.c) parse the same messages from memory, walk every
# leaf part and decode it into memory, taking turns round after round.
# Prints the median time of each side, the ratio of throughputs (GMime's
# time / ours: above 1 means we are faster) and each side's peak resident
# memory.
#
#   net/bench/mime_compare.sh [rounds]
#
# Called by scripts/bench mime, which has built build/release.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top"
rounds=${1:-5}
bin=build/release/bin

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
gcc -O2 -o "$work/gmime_walk" net/bench/gmime_walk.c $(pkg-config --cflags --libs gmime-3.0)
"$bin/mime_walk" make "$work/mail"

median() {
    sort -g | awk '{a[NR] = $1} END {print (NR % 2 ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2)}'
}

# compare <label> <passes per measurement> <files...>
compare() {
    local label=$1 passes=$2
    shift 2
    : >"$work/ours"
    : >"$work/peer"
    for _ in $(seq "$rounds"); do
        ZELORM_LOCK_DIR="$work" "$bin/mime_walk" run "$passes" "$@" >>"$work/ours"
        "$work/gmime_walk" "$passes" "$@" >>"$work/peer"
    done
    local ours peer ours_rss peer_rss ours_bytes peer_bytes
    ours=$(awk '{print $2}' "$work/ours" | median)
    peer=$(awk '{print $2}' "$work/peer" | median)
    ours_rss=$(awk '{print $6}' "$work/ours" | sort -g | tail -1)
    peer_rss=$(awk '{print $6}' "$work/peer" | sort -g | tail -1)
    ours_bytes=$(awk 'NR == 1 {print $4}' "$work/ours")
    peer_bytes=$(awk 'NR == 1 {print $4}' "$work/peer")
    printf '%-28s %10.1f %10.1f %7.2f %10s %10s\n' "$label" \
        "$(awk -v t="$ours" -v n="$passes" 'BEGIN {print t * 1000 / n}')" \
        "$(awk -v t="$peer" -v n="$passes" 'BEGIN {print t * 1000 / n}')" \
        "$(awk -v a="$ours" -v b="$peer" 'BEGIN {print (a > 0 ? b / a : 0)}')" "$ours_rss" "$peer_rss"
    echo "   decoded bytes per pass: ours $ours_bytes, GMime $peer_bytes"
}

echo "== mime: parse, walk every leaf, decode to memory; ours beside GMime 3"
echo "   $rounds rounds, medians in ms per pass; ratio = our throughput / GMime's"
printf '%-28s %10s %10s %7s %10s %10s\n' "work" "ours ms" "GMime ms" "ratio" "ours KiB" "GMime KiB"
compare "10 MB message" 5 "$work/mail/big.eml"
compare "87 small messages" 50 "$work/mail/small/"*.eml
