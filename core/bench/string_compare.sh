#!/usr/bin/env bash
# String appends of the library beside std::string, on this machine in one
# run: string_bench runs our side and the std::string side as separate
# processes, taking turns round after round, and the medians of each
# benchmark, the ratio (std::string's time / ours: 1 means as fast) and each
# side's peak resident memory are printed.
#
#   core/bench/string_compare.sh [rounds]
#
# Called by scripts/bench string, which has built build/release.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top"
rounds=${1:-5}
bench=build/release/bin/string_bench
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Runs the benchmarks matching a filter; appends "name time" lines to a file
# and prints the process's peak resident memory in KiB.
run() {
    local filter=$1 out=$2
    python3 - "$bench" "$filter" "$work/csv" <<'PY'
import resource, subprocess, sys
bench, flt, csv = sys.argv[1:]
with open(csv, "w") as f:
    subprocess.run([bench, "--benchmark_filter=" + flt, "--benchmark_min_time=0.2",
                    "--benchmark_format=csv"], stdout=f, stderr=subprocess.DEVNULL, check=True)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
PY
    # name,iterations,real_time,cpu_time,time_unit,...
    awk -F, '/^"BM_/ {gsub(/"/, "", $1); print $1, $3}' "$work/csv" >>"$out"
}

median_of() {
    awk -v name="$1" '$1 == name {print $2}' "$2" | sort -g |
        awk '{a[NR] = $1} END {print (NR % 2 ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2)}'
}

: >"$work/ours"
: >"$work/std"
ours_rss=0
std_rss=0
for _ in $(seq "$rounds"); do
    rss=$(run '^BM_Vorn(AppendChunk|AppendByte|BufferAppendChunk)' "$work/ours")
    ((rss > ours_rss)) && ours_rss=$rss
    rss=$(run '^BM_Std(AppendChunk|AppendByte)' "$work/std")
    ((rss > std_rss)) && std_rss=$rss
done

echo "== string: appends beside std::string, $rounds rounds, medians in ns per run of the benchmark"
echo "   ratio = std::string's time / ours (1.00: as fast; the target for reserved bulk appends is 0.5)"
printf '%-52s %12s %12s %7s\n' "work" "ours ns" "std ns" "ratio"
row() {
    local label=$1 ours_name=$2 std_name=$3 ours theirs
    ours=$(median_of "$ours_name" "$work/ours")
    theirs=$(median_of "$std_name" "$work/std")
    printf '%-52s %12.0f %12.0f %7.3f\n' "$label" "$ours" "$theirs" \
        "$(awk -v a="$ours" -v b="$theirs" 'BEGIN {print (a > 0 ? b / a : 0)}')"
}
row "64 KiB in 64-byte pieces, reserved, unlocked" BM_VornAppendChunkReserved/locked:0 BM_StdAppendChunkReserved
row "64 KiB in 64-byte pieces, reserved, locked" BM_VornAppendChunkReserved/locked:1 BM_StdAppendChunkReserved
row "64 KiB in 64-byte pieces, not reserved" BM_VornAppendChunk BM_StdAppendChunk
row "64 KiB in 64-byte pieces into a buffer" BM_VornBufferAppendChunk BM_StdAppendChunk
row "4 KiB byte by byte, unlocked" BM_VornAppendByte/locked:0 BM_StdAppendByte
row "4 KiB byte by byte, locked" BM_VornAppendByte/locked:1 BM_StdAppendByte
echo "   peak memory: ours ${ours_rss} KiB, std::string ${std_rss} KiB"
