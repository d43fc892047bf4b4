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
for query in closest shadow; do
    case $query in
        closest) fn=runClosestQueries ;;
        shadow) fn=runShadowQueries ;;
    esac
    valgrind --tool=callgrind --instr-atstart=no --callgrind-out-file="$out/cg" \
        --toggle-collect="*$fn*" "$build/bench/tresk_bench" --query-kernel "$rays" \
        > "$out/log" 2>&1
    total=$(callgrind_annotate "$out/cg" | awk '/PROGRAM TOTALS/ { gsub(",", "", $1); print $1 }')
    perRay=$(awk -v t="$total" -v n="$rays" 'BEGIN { printf "%.0f", t / n }')
    echo "$label: $query $perRay instructions per ray ($rays rays)"
    "$build/bench/tresk_bench" --source "$source" --record-callgrind "$label" "$query" "$rays" "$perRay"
done
