#!/bin/sh
# The viewer's command line with no display to reach: --help and --version
# answer on stdout and exit 0, a wrong argument exits 2 with the reason. None
# of them may start the window system (which would fail here, with exit 1 and
# its complaints on stderr) or write Log.txt.
#
#   viewer_command_line.sh TRESK
set -u
TRESK=$(realpath "$1")
WORK=$(mktemp -d "${TMPDIR:-/tmp}/tresk-cli.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
cd "$WORK" || exit 1
# No X server, no Wayland compositor (its default socket lives in the runtime
# folder, so that is an empty one).
unset DISPLAY WAYLAND_DISPLAY
export XDG_RUNTIME_DIR="$WORK"

failures=0
# check STATUS STREAM PATTERN ARGUMENT...: the exit status, and the first line
# of stdout or stderr (STREAM) matching PATTERN; the other stream is empty.
check() {
    expected=$1 stream=$2 pattern=$3
    shift 3
    "$TRESK" "$@" >out.txt 2>err.txt
    status=$?
    other=err.txt
    [ "$stream" = err.txt ] && other=out.txt
    if [ "$status" -eq "$expected" ] && head -n 1 "$stream" | grep -q -- "$pattern" &&
        [ ! -s "$other" ] && [ ! -e Log.txt ]; then
        echo "ok   - tresk $*"
    else
        echo "FAIL - tresk $*: status $status (expected $expected)"
        cat out.txt err.txt
        failures=$((failures + 1))
    fi
}

check 0 out.txt '^Usage: tresk \[scene-file | model-file\]$' --help
check 0 out.txt '^Usage: tresk ' scene.txt -h
check 0 out.txt '^tresk [0-9][0-9.]*$' --version
check 2 err.txt '^tresk: unknown option "--fullscreen"$' --fullscreen
check 2 err.txt '^tresk: more than one file given' a.obj b.obj
exit $((failures > 0))
