#!/bin/sh
# Renders a still on a Slurm cluster: a job array whose tasks each render a
# range of the passes (tresk-render --first-pass), and a merge job that
# starts once every task has succeeded (tresk-merge). The scene folder, the
# output's folder and the programs must lie on a file system that every
# node sees under the same path.
#
#   tools/farm/submit.sh SCENE -o FINAL [--tasks N] [--passes-per-task P]
#       [--size still|interactive] [--cpus-per-task C] [--parts DIR] [--wait]
#       [-- SBATCH-OPTION...]
#
# Task i renders passes (i-1)*P+1 ... i*P into DIR/part-i.exr (DIR: FINAL's
# name with "-parts" in place of its extension, beside it); the merge job
# writes FINAL. Options after -- go to both sbatch calls (a partition, an
# account, a time limit). With --wait the script returns when the merge job
# has ended, with its status. tresk-render and tresk-merge are taken from
# $TRESK_BIN, else from PATH, else from build/app of this source tree.
set -eu

# The comment above as the help: on stdout when asked for, else on stderr.
usage() {
    if [ "$1" -eq 0 ]; then out=1; else out=2; fi
    sed -n '2,/^set -eu/p' "$0" | sed '$d; s/^# \{0,1\}//' >&"$out"
    exit "$1"
}
fail() {
    echo "submit.sh: $*" >&2
    exit 2
}
whole() {
    case "$2" in '' | *[!0-9]* | 0*) fail "$1 expects a whole number from 1, not \"$2\"" ;; esac
}

scene="" output="" tasks=4 per_task=4 size=still cpus=1 parts="" wait=""
while [ $# -gt 0 ]; do
    case "$1" in
        -o | --output) [ $# -ge 2 ] || usage 2; output=$2; shift ;;
        --tasks) [ $# -ge 2 ] || usage 2; whole "$1" "$2"; tasks=$2; shift ;;
        --passes-per-task) [ $# -ge 2 ] || usage 2; whole "$1" "$2"; per_task=$2; shift ;;
        --cpus-per-task) [ $# -ge 2 ] || usage 2; whole "$1" "$2"; cpus=$2; shift ;;
        --size) [ $# -ge 2 ] || usage 2; size=$2; shift ;;
        --parts) [ $# -ge 2 ] || usage 2; parts=$2; shift ;;
        --wait) wait=--wait ;;
        -h | --help) usage 0 ;;
        --) shift; break ;;
        -*) fail "unknown option \"$1\"" ;;
        *) [ -z "$scene" ] || fail "more than one scene given"; scene=$1 ;;
    esac
    shift
done
{ [ -n "$scene" ] && [ -n "$output" ]; } || usage 2
command -v sbatch >/dev/null || fail "no sbatch here: run this where Slurm's commands are"
[ -f "$scene" ] || fail "no scene file \"$scene\""
case "$size" in still | interactive) ;; *) fail "--size expects still or interactive" ;; esac
case "$output" in *.tga | *.png | *.hdr | *.exr) ;; *) fail "-o must end in .tga, .png, .hdr or .exr" ;; esac

# Absolute paths: the jobs may start anywhere.
farm=$(cd "$(dirname "$0")" && pwd)
bin=${TRESK_BIN:-}
if [ -z "$bin" ]; then
    if command -v tresk-render >/dev/null; then bin=$(dirname "$(command -v tresk-render)"); else bin=$farm/../../build/app; fi
fi
for program in tresk-render tresk-merge; do
    [ -x "$bin/$program" ] || fail "no $program in \"$bin\" (set TRESK_BIN)"
done
bin=$(cd "$bin" && pwd)
scene=$(cd "$(dirname "$scene")" && pwd)/$(basename "$scene")
out_dir=$(cd "$(dirname "$output")" && pwd) || fail "no folder for \"$output\""
output=$out_dir/$(basename "$output")
[ -n "$parts" ] || parts=${output%.*}-parts
mkdir -p "$parts"
parts=$(cd "$parts" && pwd)

# Each task's first pass follows from its index, so a task run again
# renders the same range.
array=$(sbatch --parsable --job-name=tresk-render --array="1-$tasks" --cpus-per-task="$cpus" \
    --chdir="$parts" --output="$parts/task-%a.log" "$@" "$farm/render-part.sh" \
    "$bin/tresk-render" "$scene" "$size" "$per_task" "$parts")
array=${array%%;*}
echo "render job $array: $tasks tasks of $per_task passes, parts in $parts"
merge=$(sbatch --parsable $wait --job-name=tresk-merge --dependency="afterok:$array" \
    --kill-on-invalid-dep=yes --chdir="$parts" --output="$parts/merge.log" "$@" \
    "$farm/merge-parts.sh" "$bin/tresk-merge" "$parts" "$tasks" "$output")
merge=${merge%%;*}
if [ -z "$wait" ]; then
    echo "merge job $merge: writes $output once every task has succeeded (watch: squeue -j $array,$merge)"
    exit 0
fi
# sbatch --wait ends well for a job cancelled before it ran (a task failed).
state=$(scontrol show job -o "$merge" | sed -n 's/.*JobState=\([A-Z_]*\).*/\1/p')
if [ "$state" != COMPLETED ]; then
    echo "submit.sh: merge job $merge ended ${state:-unknown}: see $parts/*.log" >&2
    exit 1
fi
echo "merge job $merge: wrote $output"
