#!/bin/bash
# End-to-end test of the viewer: the real program on a virtual X server
# (Xvfb, Mesa's software rasteriser), driven with xdotool as a person would.
#
#   viewer_e2e.sh TRESK PROBE
#
# TRESK is the viewer, PROBE the test's screenshot and comparison tool
# (tests/viewer_probe.cpp). Exits 77 (skipped) when Xvfb or xdotool is
# missing. Screenshots and logs stay in $TRESK_E2E_KEEP when that is set.
set -u

TRESK=$(realpath "$1")
PROBE=$(realpath "$2")
HERE=$(cd "$(dirname "$0")" && pwd)

for tool in Xvfb xdotool; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "SKIP: $tool is not installed (tools/install-deps.sh installs it)"
        exit 77
    fi
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/tresk-e2e.XXXXXX")
XVFB_PID=
VIEWER_PID=
cleanup() {
    [ -n "$VIEWER_PID" ] && kill "$VIEWER_PID" 2>/dev/null
    [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null
    wait 2>/dev/null
    if [ -n "${TRESK_E2E_KEEP:-}" ]; then
        mkdir -p "$TRESK_E2E_KEEP" && cp -r "$WORK"/. "$TRESK_E2E_KEEP"/
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT

failures=0
pass() { echo "ok   - $*"; }
fail() {
    echo "FAIL - $*"
    failures=$((failures + 1))
}
die() {
    echo "FAIL - $*"
    echo "--- viewer output:"
    cat "$WORK"/*/viewer.log 2>/dev/null
    exit 1
}

# Polls a command until it succeeds; false after the timeout (seconds).
wait_for() {
    local timeout=$1
    shift
    local end=$((SECONDS + timeout))
    while ! "$@" >/dev/null 2>&1; do
        [ $SECONDS -ge $end ] && return 1
        sleep 0.1
    done
    return 0
}

# The X server may refuse a connection for a moment while another client
# connects; every X tool call is retried briefly before it counts as failed.
xdo() {
    local attempt
    for attempt in 1 2 3 4 5 6 7 8 9 10; do
        xdotool "$@" 2>/dev/null && return 0
        sleep 0.1
    done
    echo "xdotool $* failed" >&2
    return 1
}

# --- the X server ---------------------------------------------------------
Xvfb -displayfd 5 -screen 0 800x600x24 -nolisten tcp 5>"$WORK/display" >"$WORK/xvfb.log" 2>&1 &
XVFB_PID=$!
display_known() { [ -s "$WORK/display" ] && kill -0 "$XVFB_PID"; }
if ! wait_for 30 display_known; then
    echo "SKIP: Xvfb did not start: $(cat "$WORK/xvfb.log")"
    exit 77
fi
display=$(head -n1 "$WORK/display")
export DISPLAY=":$display"
# A leak checker, when the build has one, would count the GL driver's
# process-lifetime allocations as the viewer's.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
echo "# Xvfb on $DISPLAY"

# --- helpers on the viewer -----------------------------------------------
window_of() { "$PROBE" find "$1"; }

# Starts the viewer in folder $1 on scene file $2.
start_viewer() {
    (cd "$1" && exec "$TRESK" "$2" >viewer.log 2>&1) &
    VIEWER_PID=$!
}

# Waits for the viewer to end; its exit code in $exit_code.
wait_viewer() {
    local timeout=$1
    local end=$((SECONDS + timeout))
    while kill -0 "$VIEWER_PID" 2>/dev/null; do
        if [ $SECONDS -ge $end ]; then
            exit_code=timeout
            return 1
        fi
        sleep 0.1
    done
    wait "$VIEWER_PID"
    exit_code=$?
    VIEWER_PID=
    return 0
}

# Answers the message box titled $1 with key $2.
answer_box() {
    local title=$1 key=$2 id
    local box_failed=0
    box_or_failure() {
        window_of "$title" && return 0
        # SDL reports a box it cannot draw (no core X font: xfonts-base).
        if grep -q "message box could not be shown\|no answer possible" "$WORK"/*/viewer.log; then
            box_failed=1
            return 0
        fi
        return 1
    }
    wait_for 60 box_or_failure || die "no \"$title\" box appeared"
    [ $box_failed = 0 ] || die "the viewer cannot show message boxes (is xfonts-base installed?)"
    id=$(window_of "$title")
    xdo windowfocus --sync "$id"
    xdo key --window "$id" "$key"
    wait_for 20 bash -c "! '$PROBE' find '$title'" || die "the \"$title\" box stayed open"
}

# A quick tap: down and up together, often between two frames.
tap() { xdo key "$@"; }


shot() { "$PROBE" shot "$WINDOW" "$1" || die "no screenshot $1"; }

# Overlay box: the frames-per-second line sits at 5 % from the left and
# 5 % from the top of the 640 × 480 window, one 14-pixel line high.
OVERLAY="20 0 420 40"

# Saves the displayed picture with F1 and waits until out.tga is new.
save_image() {
    rm -f "$RUN/out.tga"
    tap F1
    wait_for 30 test -s "$RUN/out.tga" || die "F1 wrote no out.tga"
}

# --- scene of the main case -----------------------------------------------
RUN="$WORK/run"
mkdir -p "$RUN"
cp "$HERE/data/viewer/scene.txt" "$HERE/data/viewer/"*.obj "$RUN/" 2>/dev/null
[ -f "$RUN/scene.txt" ] || die "tests/data/viewer/scene.txt is missing"

# --- case 1: a session ------------------------------------------------------
echo "# case 1: answer No, look, move, refine, switch size, save, quit"
start_viewer "$RUN" scene.txt
answer_box "Start FullScreen?" Escape
pass "the fullscreen question was answered No"

wait_for 60 window_of Tresk || die "no Tresk window"
WINDOW=$(window_of Tresk)
size=unknown
for attempt in 1 2 3 4 5 6 7 8 9 10; do
    info=$(xwininfo -id "$WINDOW" 2>/dev/null) &&
        size=$(awk '/Width:/ {w=$2} /Height:/ {h=$2} END {print w "x" h}' <<<"$info") && break
    sleep 0.1
done
[ "$size" = "640x480" ] && pass "window client area is 640x480" || fail "window is $size"

wait_for 60 grep -q "Rendering Time:" "$RUN/Log.txt" || die "the first frame was never logged"
# The first frame is drawn once the overlay appears.
first_frame_drawn() {
    "$PROBE" shot "$WINDOW" "$WORK/probe.png" &&
        [ "$("$PROBE" magenta "$WORK/probe.png" $OVERLAY)" -gt 50 ]
}
wait_for 60 first_frame_drawn || die "the first frame never showed its overlay"
pass "first frame shown with the magenta frames-per-second line"
xdo windowfocus --sync "$WINDOW"

# At rest (no key, no refinement, the mouse still) the viewer sleeps between
# events: CPU time of the process over 3 s, in clock ticks.
cpu_ticks() { awk '{print $14 + $15}' "/proc/$VIEWER_PID/stat"; }
sleep 0.5
before=$(cpu_ticks)
sleep 3
used=$(($(cpu_ticks) - before))
percent=$((used * 100 / (3 * $(getconf CLK_TCK))))
echo "# idle viewer: $percent % of a core over 3 s"
[ "$percent" -lt 10 ] && pass "an idle viewer uses under 10 % of a core ($percent %)" ||
    fail "an idle viewer uses $percent % of a core"

save_image
cp "$RUN/out.tga" "$RUN/first.tga"
shot "$RUN/first.png"
read -r w h < <("$PROBE" size "$RUN/first.tga")
[ "$w $h" = "160 120" ] && pass "F1 saved the interactive size 160x120" || fail "out.tga is ${w}x$h"
if "$PROBE" compare "$RUN/first.png" "$RUN/first.tga" $OVERLAY; then
    pass "the window shows the renderer's own image in the centred 480x480 square, black columns at the sides"
else
    fail "the window differs from out.tga drawn undistorted in the centred square"
fi

# W held and the mouse moved: the picture must change.
xdo keydown w
sleep 0.15
xdo mousemove_relative -- 40 -10
sleep 0.15
xdo keyup w
sleep 0.3
shot "$RUN/moved.png"
change=$("$PROBE" diff "$RUN/first.png" "$RUN/moved.png" $OVERLAY)
if awk -v d="$change" 'BEGIN {exit !(d > 5)}'; then
    pass "W and the mouse changed the picture (mean difference $change)"
else
    fail "the picture hardly changed after W and the mouse ($change)"
fi
save_image
shot "$RUN/moved.png"
"$PROBE" compare "$RUN/moved.png" "$RUN/out.tga" $OVERLAY >/dev/null &&
    pass "the moved view on screen is the saved image" || fail "moved view differs from out.tga"

# Space: progressive refinement; successive frames change less and less.
tap space
shot "$RUN/p0.png"
sleep 0.3
shot "$RUN/p1.png"
sleep 3
shot "$RUN/p2.png"
sleep 0.3
shot "$RUN/p3.png"
early=$("$PROBE" diff "$RUN/p0.png" "$RUN/p1.png" $OVERLAY)
late=$("$PROBE" diff "$RUN/p2.png" "$RUN/p3.png" $OVERLAY)
echo "# progressive: change over 0.3 s early $early, later $late"
if awk -v e="$early" -v l="$late" 'BEGIN {exit !(e > 0 && l < e)}'; then
    pass "progressive frames converge (change $early, then $late)"
else
    fail "progressive frames do not converge (change $early, then $late)"
fi
tap space  # refinement off again

# Keys 1 and 2 are the number row whatever the layout: on the French layout
# that row gives "&" and "é" without Shift.
KEY1=1
KEY2=2
if command -v setxkbmap >/dev/null 2>&1 && setxkbmap fr 2>/dev/null; then
    KEY1=ampersand
    KEY2=eacute
    echo "# French keyboard layout: keys 1 and 2 are $KEY1 and $KEY2"
fi

# Key 2: the still size, without the overlay; F1 saves it.
tap $KEY2
sleep 0.5
save_image
read -r w h < <("$PROBE" size "$RUN/out.tga")
[ "$w $h" = "320 240" ] && pass "key 2 switched to the still size 320x240" ||
    fail "still out.tga is ${w}x$h"
shot "$RUN/still.png"
[ "$("$PROBE" magenta "$RUN/still.png" $OVERLAY)" -eq 0 ] && pass "no overlay at the still size" ||
    fail "overlay drawn at the still size"
"$PROBE" compare "$RUN/still.png" "$RUN/out.tga" 0 0 0 0 >/dev/null &&
    pass "the still picture on screen is the saved image" || fail "still view differs from out.tga"

# A save that fails (a folder stands where out.tga goes) says so in the window.
rm -f "$RUN/out.tga"
mkdir "$RUN/out.tga"
tap F1
NOTICE="20 440 620 480"
notice_shown() {
    "$PROBE" shot "$WINDOW" "$RUN/notice.png" &&
        [ "$("$PROBE" magenta "$RUN/notice.png" $NOTICE)" -gt 50 ]
}
wait_for 10 notice_shown && pass "a failed F1 is told in the window" ||
    fail "a failed F1 showed nothing in the window"
reports=$(grep -c "Saving the image failed" "$RUN/viewer.log")
[ "$reports" = 1 ] && pass "one press, one report of the failed save" ||
    fail "one press gave $reports reports of the failed save"
rmdir "$RUN/out.tga"

# Key 1: back to the interactive size with its overlay.
tap $KEY1
overlay_back() {
    "$PROBE" shot "$WINDOW" "$RUN/back.png" &&
        [ "$("$PROBE" magenta "$RUN/back.png" $OVERLAY)" -gt 50 ]
}
wait_for 10 overlay_back && pass "key 1 ($KEY1) returned to the interactive size" ||
    fail "key 1 ($KEY1) did not return to the interactive size"
setxkbmap us 2>/dev/null

# Esc: the program ends by itself with 0.
tap Escape
wait_viewer 30 || die "the viewer did not end after Esc"
[ "$exit_code" = 0 ] && pass "Esc ended the viewer with exit code 0" || fail "exit code $exit_code"

# Log.txt: each entry a line and an empty line, in order.
expected_log='^Tresk 0\.5\n\nReading Scene File\.\.\.\n\nPolycount: 2\n\nReading Scene File Done\n\nRandom LUT Generated\n\nRendering Time: [0-9.e+]+\n\nSaving the image failed: [^\n]+\n\n$'
if perl -0777 -ne "exit(/$expected_log/ ? 0 : 1)" "$RUN/Log.txt"; then
    pass "Log.txt holds its six entries and the failed save in order"
else
    fail "Log.txt is not as expected:"
    cat -A "$RUN/Log.txt"
fi

# --- case 2: a broken scene file -------------------------------------------
echo "# case 2: a broken scene file"
BROKEN="$WORK/broken"
mkdir -p "$BROKEN"
# A long token makes a long message: the box wraps it within the screen.
printf '0\n4\n160 oops%0150d\n' 0 >"$BROKEN/scene.txt"
start_viewer "$BROKEN" scene.txt
answer_box "Start FullScreen?" Escape
wait_for 60 window_of Error || die "no Error box for the broken scene"
box_width=$(xwininfo -id "$(window_of Error)" | awk '/Width:/ {print $2}')
[ -n "$box_width" ] && [ "$box_width" -le 800 ] &&
    pass "the long scene error's box is ${box_width} px wide, within the 800 px screen" ||
    fail "the long scene error's box is ${box_width:-?} px wide"
answer_box "Error" Return
pass "the scene error was shown in a box captioned Error"
wait_viewer 30 || die "the viewer did not end after the scene error"
if [ "$exit_code" != 0 ] && [ "$exit_code" != timeout ]; then
    pass "the viewer ended with exit code $exit_code"
else
    fail "the viewer ended with exit code $exit_code after a broken scene"
fi
grep -q "scene.txt" "$BROKEN/viewer.log" && pass "the message names the scene file" ||
    fail "the message does not name the file: $(cat "$BROKEN/viewer.log")"
[ "$(grep -c "oops" "$BROKEN/viewer.log")" = 1 ] && pass "stderr keeps the message on one line" ||
    fail "stderr split the message"

# Without a display the viewer stops at once, pointing to tresk-render.
(cd "$BROKEN" && exec env -u DISPLAY timeout 20 "$TRESK" scene.txt >nodisplay.log 2>&1)
code=$?
if [ $code != 0 ] && [ $code != 124 ] && grep -q "tresk-render" "$BROKEN/nodisplay.log"; then
    pass "without a display the viewer ends at once with $code and points to tresk-render"
else
    fail "without a display: exit $code, $(cat "$BROKEN/nodisplay.log")"
fi

# --- case 3: missing mesh, fullscreen toggle, reload -----------------------
echo "# case 3: a missing mesh file, Alt+Enter, F5"
MISSING="$WORK/missing"
mkdir -p "$MISSING"
sed 's/panel\.obj/no-such-panel.obj/' "$RUN/scene.txt" >"$MISSING/scene.txt"
start_viewer "$MISSING" scene.txt
answer_box "Start FullScreen?" Escape
answer_box "ERROR" Return
pass "the missing mesh file was reported in a box captioned ERROR"
wait_for 60 grep -q "Rendering Time:" "$MISSING/Log.txt" || die "loading did not go on"
wait_for 60 window_of Tresk || die "no Tresk window after the missing mesh"
pass "loading went on and the first frame was rendered"

# Alt+Enter after moving, darkening and switching to the still size: the
# window is made anew (the virtual screen has no 640 × 480 mode, so the
# switch fails with its message and the window comes back windowed), with
# the same scene, view, size and picture; the scene is not read again.
WINDOW=$(window_of Tresk)
xdo windowfocus --sync "$WINDOW"
xdo keydown d
sleep 0.3
xdo keyup d
xdo keydown e
sleep 0.3
xdo keyup e
tap 2
still_now() {
    "$PROBE" shot "$WINDOW" "$MISSING/before-toggle.png" &&
        [ "$("$PROBE" magenta "$MISSING/before-toggle.png" $OVERLAY)" -eq 0 ]
}
wait_for 30 still_now || die "key 2 did not show the still size"
sleep 0.3
shot "$MISSING/before-toggle.png"
xdo key alt+Return
answer_box "Error" Return
pass "Alt+Enter tried fullscreen and reported the failed mode switch"
wait_for 60 window_of Tresk || die "no Tresk window after the toggle"
WINDOW=$(window_of Tresk)
xdo windowfocus --sync "$WINDOW"
sleep 1
shot "$MISSING/after-toggle.png"
change=$("$PROBE" diff "$MISSING/before-toggle.png" "$MISSING/after-toggle.png" 0 0 0 0)
awk -v d="$change" 'BEGIN {exit !(d < 1)}' &&
    pass "the new window shows the same still picture (difference $change)" ||
    fail "the view changed across Alt+Enter (difference $change)"
readings=$(grep -c '^Reading Scene File\.\.\.$' "$MISSING/Log.txt")
[ "$readings" = 1 ] && pass "Log.txt holds one reading block after Alt+Enter" ||
    fail "Log.txt holds $readings reading blocks after Alt+Enter"
"$PROBE" find ERROR >/dev/null && fail "the mesh notice came again: the scene was read again"

# A failed F5 (broken file): the Error box, then the viewer answers as before.
tap 1
wait_for 30 first_frame_drawn || die "key 1 did not bring the overlay back"
cp "$MISSING/scene.txt" "$MISSING/good-scene.txt"
sed -i '3s/.*/160 oops/' "$MISSING/scene.txt"
tap F5
answer_box "Error" Return
xdo windowfocus --sync "$WINDOW"
sleep 0.5
shot "$MISSING/before-w.png"
xdo keydown w
sleep 0.4
xdo keyup w
sleep 0.5
shot "$MISSING/after-w.png"
change=$("$PROBE" diff "$MISSING/before-w.png" "$MISSING/after-w.png" $OVERLAY)
awk -v d="$change" 'BEGIN {exit !(d > 2)}' &&
    pass "after a failed F5, held W changes the picture (difference $change)" ||
    fail "after a failed F5, held W changed nothing ($change)"

# F5 after repairing and editing the file: a darker exposure shows without
# a restart.
sed '6s/.*/0.25/' "$MISSING/good-scene.txt" >"$MISSING/scene.txt"
shot "$MISSING/before-reload.png"
tap F5
answer_box "ERROR" Return
darker() {
    "$PROBE" shot "$WINDOW" "$MISSING/after-reload.png" &&
        awk -v d="$("$PROBE" diff "$MISSING/before-reload.png" "$MISSING/after-reload.png" $OVERLAY)" \
            'BEGIN {exit !(d > 10)}'
}
wait_for 30 darker && pass "F5 reloaded the edited scene" || fail "F5 changed nothing on screen"

tap Escape
wait_viewer 30 || die "the viewer did not end after Esc"
[ "$exit_code" = 0 ] && pass "Esc ended the viewer with exit code 0" || fail "exit code $exit_code"

# --- case 4: long passes -----------------------------------------------------
echo "# case 4: the room at its still size under progressive refinement"
ROOM="$WORK/room"
mkdir -p "$ROOM"
cp "$HERE/../examples/room/scene.txt" "$ROOM/"
# Starts the room, switches to the still size and turns refinement on.
start_room() {
    start_viewer "$ROOM" scene.txt
    answer_box "Start FullScreen?" Escape
    wait_for 60 window_of Tresk || die "no Tresk window for the room"
    WINDOW=$(window_of Tresk)
    wait_for 60 first_frame_drawn || die "the room's first frame never showed"
    xdo windowfocus --sync "$WINDOW"
    tap 2
    # The still picture (without the overlay) is on screen after its first pass.
    still_shown() {
        "$PROBE" shot "$WINDOW" "$WORK/probe.png" &&
            [ "$("$PROBE" magenta "$WORK/probe.png" $OVERLAY)" -eq 0 ]
    }
    wait_for 60 still_shown || die "the room's still size never showed"
    tap space
    sleep 1  # passes of the 400x400 size follow each other now
}
# Milliseconds since the epoch.
now_ms() { echo $(($(date +%s%N) / 1000000)); }
# Waits for the viewer to end; the milliseconds since $1 in $delay_ms.
time_exit() {
    wait "$VIEWER_PID"
    exit_code=$?
    delay_ms=$(($(now_ms) - $1))
    VIEWER_PID=
}

start_room
rm -f "$ROOM/out.tga"
for i in 1 2 3; do
    tap F1
    sleep 0.2
done
if wait_for 10 test -s "$ROOM/out.tga"; then
    read -r w h < <("$PROBE" size "$ROOM/out.tga")
    [ "$w $h" = "400 400" ] && pass "three quick F1 taps during long passes saved the 400x400 picture" ||
        fail "F1 during long passes saved ${w}x$h"
else
    fail "three quick F1 taps during long passes wrote no out.tga"
fi
start=$(now_ms)
tap Escape
time_exit "$start"
[ "$exit_code" = 0 ] && pass "a quick Esc tap mid-pass ended the viewer with 0 after $delay_ms ms" ||
    fail "Esc mid-pass: exit code $exit_code after $delay_ms ms"

start_room
sent=$("$PROBE" close "$WINDOW") || die "WM_DELETE_WINDOW could not be sent"
time_exit "$sent"
echo "# close request to exit, mid-pass: $delay_ms ms"
if [ "$exit_code" = 0 ] && [ "$delay_ms" -lt 500 ]; then
    pass "WM_DELETE_WINDOW mid-pass ended the viewer with 0 within 0.5 s ($delay_ms ms)"
else
    fail "WM_DELETE_WINDOW mid-pass: exit code $exit_code after $delay_ms ms"
fi

echo "# $failures failure(s)"
[ $failures -eq 0 ]
