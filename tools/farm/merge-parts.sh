#!/bin/sh
# The merge job of tools/farm/submit.sh: every task's part into the picture.
#   merge-parts.sh TRESK-MERGE PARTS N OUTPUT
set -eu
merge=$1 parts=$2 tasks=$3 output=$4
set --
i=1
while [ "$i" -le "$tasks" ]; do
    set -- "$@" "$parts/part-$i.exr"
    i=$((i + 1))
done
exec "$merge" "$@" -o "$output"
