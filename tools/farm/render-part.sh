#!/bin/sh
# One task of the job array that tools/farm/submit.sh submits: renders
# passes (i-1)*P+1 ... i*P of the scene into PARTS/part-i.exr, i being the
# task's index in the array, in a folder of its own (PARTS/task-i) where its
# Log.txt goes.
#   render-part.sh TRESK-RENDER SCENE SIZE P PARTS
set -eu
i=${SLURM_ARRAY_TASK_ID:?"not a task of a job array"}
mkdir -p "$5/task-$i"
cd "$5/task-$i"
exec "$1" "$2" --size "$3" --passes "$4" --first-pass $(((i - 1) * $4 + 1)) \
    --threads "${SLURM_CPUS_PER_TASK:-1}" -o "$5/part-$i.exr"
