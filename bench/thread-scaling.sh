#!/bin/sh
# Whole-process thread scaling of `tresk-render` on the bunny scene: the
# bunny scan of glmark2-data on the model stage (written once with
# --save-scene), still size 640 x 480, 16 passes, the scene read included.
# Runs one and two threads alternately and prints, per run and as medians,
# the wall time, the CPU time (user + system) and the scene-read time that
# tresk-render reports; then the 2-over-1 wall-clock ratio and the share of
# the one-thread run spent reading the scene (the part that does not run on
# all threads). Only meaningful when both cores are free: "cores busy"
# (CPU over wall of the two-thread runs) well below 2 means the second core
# was taken by something else.
#
#   bench/thread-scaling.sh [RUNS] [BUILD_DIR]     (default 5, build)
set -eu
runs=${1:-5}
build=${2:-build}
cd "$(dirname "$0")/.."
render=$build/app/tresk-render
bunny=/usr/share/glmark2/models/bunny.obj
[ -x "$render" ] || { echo "no $render: build tresk-render first" >&2; exit 2; }
[ -f "$bunny" ] || { echo "$bunny is missing: install the package glmark2-data" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$render" "$bunny" --save-scene "$work/bunny" --passes 1 --threads 1 -o "$work/stage.tga" \
    >/dev/null 2>&1
# Line 4 of a scene file is the still size.
sed -i '4s/.*/640 480/' "$work/bunny/scene.txt"

echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "threads  wall s  cpu s  scene read s"
for i in $(seq "$runs"); do
    for threads in 1 2; do
        /usr/bin/time -o "$work/time" -f "%e %U %S" "$render" "$work/bunny/scene.txt" \
            --passes 16 --threads "$threads" -o "$work/out.tga" >"$work/out" 2>/dev/null
        read_s=$(sed -n 's/.*scene read in \([0-9.]*\) s.*/\1/p' "$work/out")
        awk -v t="$threads" -v r="$read_s" '{ printf "%7d  %6.2f  %5.2f  %12s\n", t, $1, $2 + $3, r }' \
            "$work/time" | tee -a "$work/runs"
    done
done
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
awk '
function median(a, n,    i, j, x) {
    for (i = 2; i <= n; i++) { x = a[i]; for (j = i - 1; j >= 1 && a[j] > x; j--) a[j + 1] = a[j]; a[j + 1] = x }
    return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
}
{ n[$1]++; w[$1, n[$1]] = $2; c[$1, n[$1]] = $3; r[$1, n[$1]] = $4 }
END {
    for (t = 1; t <= 2; t++) {
        for (i = 1; i <= n[t]; i++) { ww[i] = w[t, i]; cc[i] = c[t, i]; rr[i] = r[t, i] }
        mw[t] = median(ww, n[t]); mc[t] = median(cc, n[t]); mr[t] = median(rr, n[t])
    }
    printf "medians: 1 thread %.2f s wall, %.2f s cpu, scene read %.2f s; 2 threads %.2f s wall, %.2f s cpu, scene read %.2f s\n", mw[1], mc[1], mr[1], mw[2], mc[2], mr[2]
    printf "2 threads over 1 (wall): %.2f; cores busy in the 2-thread runs: %.2f; scene read: %.1f %% of the 1-thread run\n", mw[1] / mw[2], mc[2] / mw[2], 100 * mr[1] / mw[1]
}' "$work/runs"
