#!/bin/sh
# Instructions per closest-hit and per shadow query through the kd-tree,
# counted by callgrind on the query loops of tresk_bench alone, and recorded
# under LABEL in bench/results.tsv and bench/RESULTS.md (table 4). Unlike
# wall-clock figures these do not depend on what else the machine runs.
#
#   bench/callgrind.sh LABEL [BUILD_DIR] [SOURCE_DIR]
set -eu
label=$1
build=${2:-build-bench}
source=${3:-$(cd "$(dirname "$0")/.." && pwd)}
rays=${RAYS:-20000}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
for query in closest shadow closest4 shadow4; do
    case $query in
        closest) fn=runClosestQueries ;;
        shadow) fn=runShadowQueries ;;
        closest4) fn=runClosestPackets ;;
        shadow4) fn=runShadowPackets ;;
    esac
    valgrind --tool=callgrind --instr-atstart=no --callgrind-out-file="$out/cg" \
        --toggle-collect="*$fn*" "$build/bench/tresk_bench" --query-kernel "$rays" \
        > "$out/log" 2>&1
    total=$(callgrind_annotate "$out/cg" | awk '/PROGRAM TOTALS/ { gsub(",", "", $1); print $1 }')
    # The packet queries' ray counts (whole tiles) as the kernel reports them.
    n=$(awk -v q="$query" '$1 == q && $2 == "rays" { print $3 }' "$out/log")
    n=${n:-$rays}
    perRay=$(awk -v t="$total" -v n="$n" 'BEGIN { printf "%.0f", t / n }')
    case $query in
        closest4) name="closest, 2 × 2 packets" ;;
        shadow4) name="shadow, 2 × 2 packets" ;;
        *) name=$query ;;
    esac
    echo "$label: $name $perRay instructions per ray ($n rays)"
    "$build/bench/tresk_bench" --source "$source" --record-callgrind "$label" "$name" "$n" "$perRay"
done
