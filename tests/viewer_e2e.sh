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
no_window() { ! window_of "$1"; }

# Starts the viewer in folder $1 on scene file $2 and answers No to the
# fullscreen question.
start_viewer() {
    (cd "$1" && exec "$TRESK" "$2" >viewer.log 2>&1) &
    VIEWER_PID=$!
    answer_box "Start FullScreen?" Escape
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
        sleep 0.02
    done
    wait "$VIEWER_PID"
    exit_code=$?
    VIEWER_PID=
    return 0
}

# Answers the message box titled $1 with key $2.
answer_box() {
    local title=$1 key=$2 id
    # SDL reports a box it cannot draw (no core X font: xfonts-base).
    box_or_failure() {
        window_of "$title" ||
            grep -q "message box could not be shown\|no answer possible" "$WORK"/*/viewer.log
    }
    wait_for 60 box_or_failure || die "no \"$title\" box appeared"
    id=$(window_of "$title") || die "the viewer cannot show message boxes (is xfonts-base installed?)"
    xdo windowfocus --sync "$id"
    xdo key --window "$id" "$key"
    wait_for 20 no_window "$title" || die "the \"$title\" box stayed open"
}

# A quick tap: down and up together, often between two frames.
tap() { xdo key "$@"; }

# Waits for the viewer's window ($1 says when) and focuses it.
find_window() {
    wait_for 60 window_of Tresk || die "no Tresk window $1"
    WINDOW=$(window_of Tresk)
    xdo windowfocus --sync "$WINDOW"
}

shot() { "$PROBE" shot "$WINDOW" "$1" || die "no screenshot $1"; }
# Mean difference of the window now (shot into $2) from screenshot $1,
# outside the overlay box.
change_from() { shot "$2" && "$PROBE" diff "$1" "$2" $OVERLAY; }
above() { awk -v d="$1" -v m="$2" 'BEGIN {exit !(d > m)}'; }

# Overlay box: the frames-per-second line sits at 5 % from the left and
# 5 % from the top of the 640 × 480 window, one 14-pixel line high.
OVERLAY="20 0 420 40"

# Whether the window now shows (or, with "!", lacks) the magenta overlay
# colour in box $1..$4, the screenshot left in $WORK/probe.png.
magenta_in() {
    local negate=
    [ "$1" = "!" ] && negate=1 && shift
    "$PROBE" shot "$WINDOW" "$WORK/probe.png" || return 1
    local n=$("$PROBE" magenta "$WORK/probe.png" "$@")
    if [ -n "$negate" ]; then [ "$n" -eq 0 ]; else [ "$n" -gt 50 ]; fi
}
first_frame_drawn() { magenta_in $OVERLAY; }
still_shown() { magenta_in ! $OVERLAY; }

# Holds key $1 for $2 seconds.
hold() {
    xdo keydown "$1"
    sleep "$2"
    xdo keyup "$1"
}

# Taps Esc and checks that the viewer ends with 0; the delay in $delay_ms.
quit_with_esc() {
    local start=$(now_ms)
    tap Escape
    wait_viewer 30 || die "the viewer did not end after Esc ($1)"
    delay_ms=$(($(now_ms) - start))
    [ "$exit_code" = 0 ] && pass "Esc $1 ended the viewer with 0 after $delay_ms ms" ||
        fail "Esc $1: exit code $exit_code after $delay_ms ms"
}
# Milliseconds since the epoch.
now_ms() { echo $(($(date +%s%N) / 1000000)); }

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
echo "# case 1: answer No, look, idle, move, switch size, save, quit"
start_viewer "$RUN" scene.txt

find_window "at the start"
wait_for 60 first_frame_drawn || die "the first frame never showed its overlay"
read -r w h < <("$PROBE" size "$WORK/probe.png")
[ "$w $h" = "640 480" ] && pass "window client area is 640x480" || fail "window is ${w}x$h"
pass "first frame shown with the magenta frames-per-second line"

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
"$PROBE" compare "$RUN/first.png" "$RUN/first.tga" $OVERLAY &&
    pass "the window shows the renderer's own image in the centred 480x480 square, black columns at the sides" ||
    fail "the window differs from out.tga drawn undistorted in the centred square"

# W held and the mouse moved: the picture must change.
xdo mousemove_relative -- 40 -10
hold w 0.3
sleep 0.3
change=$(change_from "$RUN/first.png" "$RUN/moved.png")
above "$change" 5 && pass "W and the mouse changed the picture (mean difference $change)" ||
    fail "the picture hardly changed after W and the mouse ($change)"

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
still_shown && "$PROBE" compare "$WORK/probe.png" "$RUN/out.tga" 0 0 0 0 >/dev/null &&
    pass "the still picture on screen is the saved image, without the overlay" ||
    fail "still view differs from out.tga"

# A save that fails (a folder stands where out.tga goes) says so in the window.
rm -f "$RUN/out.tga"
mkdir "$RUN/out.tga"
tap F1
wait_for 10 magenta_in 20 440 620 480 && pass "a failed F1 is told in the window" ||
    fail "a failed F1 showed nothing in the window"
reports=$(grep -c "Saving the image failed" "$RUN/viewer.log")
[ "$reports" = 1 ] && pass "one press, one report of the failed save" ||
    fail "one press gave $reports reports of the failed save"
rmdir "$RUN/out.tga"

# Key 1: back to the interactive size with its overlay.
tap $KEY1
wait_for 10 first_frame_drawn && pass "key 1 ($KEY1) returned to the interactive size" ||
    fail "key 1 ($KEY1) did not return to the interactive size"
setxkbmap us 2>/dev/null

# Resizing or moving the window leaves the pointer off the new centre; that
# is no movement of the mouse, so the saved picture stays the same.
view_kept_after() {
    save_image
    mv "$RUN/out.tga" "$RUN/before.tga"
    xdo "$@"
    sleep 0.5
    save_image
    local turn=$("$PROBE" diff "$RUN/before.tga" "$RUN/out.tga" 0 0 0 0)
    ! above "$turn" 1 && pass "$1 kept the view (difference $turn)" ||
        fail "$1 turned the view (difference $turn)"
}
view_kept_after windowsize "$WINDOW" 720 560
view_kept_after windowmove "$WINDOW" 40 20

quit_with_esc "at rest"

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
wait_for 60 window_of Error || die "no Error box for the broken scene"
box_width=$(xwininfo -id "$(window_of Error)" | awk '/Width:/ {print $2}')
[ -n "$box_width" ] && [ "$box_width" -le 800 ] &&
    pass "the long scene error's box is ${box_width} px wide, within the 800 px screen" ||
    fail "the long scene error's box is ${box_width:-?} px wide"
answer_box "Error" Return
pass "the scene error was shown in a box captioned Error"
wait_viewer 30 && [ "$exit_code" != 0 ] && pass "the viewer ended with exit code $exit_code" ||
    fail "the viewer ended with exit code $exit_code after a broken scene"
[ "$(grep -c "scene.txt.*oops" "$BROKEN/viewer.log")" = 1 ] &&
    pass "stderr names the scene file, the message on one line" ||
    fail "stderr: $(cat "$BROKEN/viewer.log")"

# Without a display the viewer stops at once, pointing to tresk-render.
(cd "$BROKEN" && exec env -u DISPLAY timeout 20 "$TRESK" scene.txt >nodisplay.log 2>&1)
code=$?
[ $code != 0 ] && [ $code != 124 ] && grep -q "tresk-render" "$BROKEN/nodisplay.log" &&
    pass "without a display the viewer ends at once with $code and points to tresk-render" ||
    fail "without a display: exit $code, $(cat "$BROKEN/nodisplay.log")"

# --- case 3: missing mesh, fullscreen toggle, reload -----------------------
echo "# case 3: a missing mesh file, Alt+Enter, F5"
MISSING="$WORK/missing"
mkdir -p "$MISSING"
sed 's/panel\.obj/no-such-panel.obj/' "$RUN/scene.txt" >"$MISSING/scene.txt"
start_viewer "$MISSING" scene.txt
answer_box "ERROR" Return
pass "the missing mesh file was reported in a box captioned ERROR"
wait_for 60 grep -q "Rendering Time:" "$MISSING/Log.txt" || die "loading did not go on"
find_window "after the missing mesh"
pass "loading went on and the first frame was rendered"

# Alt+Enter after moving, darkening and switching to the still size: the
# window is made anew (the virtual screen has no 640 × 480 mode, so the
# switch fails with its message and the window comes back windowed), with
# the same scene, view, size and picture; the scene is not read again.
hold d 0.3
hold e 0.3
tap 2
wait_for 30 still_shown || die "key 2 did not show the still size"
sleep 0.3
shot "$MISSING/before-toggle.png"
xdo key alt+Return
answer_box "Error" Return
pass "Alt+Enter tried fullscreen and reported the failed mode switch"
find_window "after the toggle"
sleep 1
change=$(change_from "$MISSING/before-toggle.png" "$MISSING/after-toggle.png")
! above "$change" 1 && pass "the new window shows the same still picture (difference $change)" ||
    fail "the view changed across Alt+Enter (difference $change)"
readings=$(grep -c '^Reading Scene File\.\.\.$' "$MISSING/Log.txt")
[ "$readings" = 1 ] && pass "Log.txt holds one reading block after Alt+Enter" ||
    fail "Log.txt holds $readings reading blocks after Alt+Enter"
window_of ERROR >/dev/null && fail "the mesh notice came again: the scene was read again"

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
hold w 0.4
sleep 0.5
change=$(change_from "$MISSING/before-w.png" "$MISSING/after-w.png")
above "$change" 2 && pass "after a failed F5, held W changes the picture (difference $change)" ||
    fail "after a failed F5, held W changed nothing ($change)"

# F5 after repairing and editing the file: a darker exposure shows without
# a restart.
sed '6s/.*/0.25/' "$MISSING/good-scene.txt" >"$MISSING/scene.txt"
shot "$MISSING/before-reload.png"
tap F5
answer_box "ERROR" Return
darker() { above "$(change_from "$MISSING/before-reload.png" "$MISSING/after-reload.png")" 10; }
wait_for 30 darker && pass "F5 reloaded the edited scene" || fail "F5 changed nothing on screen"

quit_with_esc "after a reload"

# --- case 4: long passes -----------------------------------------------------
echo "# case 4: the room at its still size under progressive refinement"
ROOM="$WORK/room"
mkdir -p "$ROOM"
cp "$HERE/../examples/room/scene.txt" "$ROOM/"
# Starts the room, switches to the still size and turns refinement on.
start_room() {
    start_viewer "$ROOM" scene.txt
    find_window "for the room"
    wait_for 60 first_frame_drawn || die "the room's first frame never showed"
    tap 2
    # The still picture (without the overlay) is on screen after its first pass.
    wait_for 60 still_shown || die "the room's still size never showed"
    tap space
    sleep 1  # passes of the 400x400 size follow each other now
}

start_room
rm -f "$ROOM/out.tga"
for i in 1 2 3; do
    tap F1
    sleep 0.2
done
w=none h=; wait_for 10 test -s "$ROOM/out.tga" && read -r w h < <("$PROBE" size "$ROOM/out.tga")
[ "${w:-} ${h:-}" = "400 400" ] && pass "three quick F1 taps during long passes saved the 400x400 picture" ||
    fail "three quick F1 taps during long passes saved ${w:-no}x${h:-} picture"
quit_with_esc "tapped mid-pass"

start_room
sent=$("$PROBE" close "$WINDOW") || die "WM_DELETE_WINDOW could not be sent"
wait_viewer 30
delay_ms=$(($(now_ms) - sent))
[ "$exit_code" = 0 ] && [ "$delay_ms" -lt 500 ] &&
    pass "WM_DELETE_WINDOW mid-pass ended the viewer with 0 within 0.5 s ($delay_ms ms)" ||
    fail "WM_DELETE_WINDOW mid-pass: exit code $exit_code after $delay_ms ms"

# --- case 5: a model being written -------------------------------------------
echo "# case 5: F5 on a model that is half written"
MODEL="$WORK/model"
mkdir -p "$MODEL"
SPIDER=/usr/share/assimp/models/STL/Spider_binary.stl
cp "$SPIDER" "$MODEL/spider.stl" || die "$SPIDER is missing (assimp-testmodels)"
start_viewer "$MODEL" spider.stl
find_window "for the model"
wait_for 60 first_frame_drawn || die "the model's first frame never showed"
shot "$MODEL/before.png"
truncate -s 1000 "$MODEL/spider.stl"
tap F5
answer_box "Error" Return
pass "F5 on the half-written model showed the Error box"
sleep 0.5
change=$(change_from "$MODEL/before.png" "$MODEL/after.png")
! above "$change" 1 && pass "the model stayed on screen (difference $change)" ||
    fail "the picture changed after the failed F5 (difference $change)"
quit_with_esc "after a failed model reload"

# --- case 6: a model turned with the mouse -----------------------------------
echo "# case 6: drag, wheel, Home and the key panel on a model"
ORBIT="$WORK/orbit"
mkdir -p "$ORBIT"
cp "$SPIDER" "$ORBIT/spider.stl"
start_viewer "$ORBIT" spider.stl
find_window "for the orbit"
wait_for 60 first_frame_drawn || die "the model's first frame never showed"
HINT="20 420 620 480"  # the notice line, 5 % from the bottom
magenta_in $HINT && pass "the model's first frame shows the hint line" ||
    fail "the model's first frame shows no hint line"
wait_for 10 magenta_in ! $HINT || fail "the hint line stayed"
shot "$ORBIT/first.png"
# "count x y" of the model's pixels: how many, and their mean place.
model_in() { "$PROBE" model "$1"; }
# The picture changed from screenshot $1 (into $2) by more than $3.
changed() { above "$(change_from "$1" "$2")" "$3"; }
near_centre() { [ "${1#-}" -le 24 ] && [ "${2#-}" -le 24 ]; }  # 5 % of the 480-pixel picture

xdo mousemove --window "$WINDOW" 245 240
xdo mousedown 1
xdo mousemove --window "$WINDOW" 395 240
xdo mouseup 1
wait_for 10 changed "$ORBIT/first.png" "$ORBIT/turned.png" 2 || fail "a 150-pixel drag changed nothing"
sleep 0.5
shot "$ORBIT/turned.png"
read -r n0 x0 y0 < <(model_in "$ORBIT/first.png")
read -r n1 x1 y1 < <(model_in "$ORBIT/turned.png")
change=$("$PROBE" diff "$ORBIT/first.png" "$ORBIT/turned.png" $OVERLAY)
above "$change" 2 && near_centre $((x1 - 320)) $((y1 - 240)) &&
    pass "a 150-pixel drag turned the model (difference $change), its centre at ($x1, $y1)" ||
    fail "after a 150-pixel drag: difference $change, the model's centre at ($x1, $y1), was ($x0, $y0)"

xdo click --repeat 3 --delay 50 4
wait_for 10 changed "$ORBIT/turned.png" "$ORBIT/closer.png" 2 || fail "the wheel changed nothing"
sleep 0.5
shot "$ORBIT/closer.png"
read -r n2 x2 y2 < <(model_in "$ORBIT/closer.png")
[ "$n2" -gt $((n1 * 5 / 4)) ] && pass "three wheel steps: the model covers $n2 pixels, was $n1" ||
    fail "three wheel steps: the model covers $n2 pixels, was $n1"

tap Home
home() { ! changed "$ORBIT/first.png" "$ORBIT/home.png" 1; }
wait_for 10 home && pass "Home gave back the first picture" ||
    fail "Home: the picture differs from the first by $(change_from "$ORBIT/first.png" "$ORBIT/home.png")"

PANEL="20 60 620 300"
tap h
wait_for 10 magenta_in $PANEL && pass "H showed the key panel" || fail "H showed no key panel"
cp "$WORK/probe.png" "$ORBIT/panel.png"  # kept with the others for a look
tap h
wait_for 10 magenta_in ! $PANEL && pass "H again hid it" || fail "H again left the panel"
quit_with_esc "after turning a model"

echo "# $failures failure(s)"
[ $failures -eq 0 ]
