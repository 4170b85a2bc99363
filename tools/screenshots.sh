#!/bin/sh
# Takes the README's screenshots of the real program under a virtual X server: the main window
# with live lists while the simulators run, both pages of the settings dialog and the filter
# dialog, the command window, and a whole programming sequence with the configuration editor's
# pages. Needs xvfb, xdotool and imagemagick; run from the repository root after a build.
#   tools/screenshots.sh [BUILD_DIR] [OUT_DIR]
set -eu
repo=$(pwd)
build=$(cd "${1:-build}" && pwd)
out=$(mkdir -p "${2:-docs/screenshots}" && cd "${2:-docs/screenshots}" && pwd)
display=:${KORMLINK_SHOT_DISPLAY:-87}
data=$(mktemp -d)
pids=""
cleanup() {
    for p in $pids; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$data"
}
trap cleanup EXIT INT TERM

cat >"$data/Kormlink.ini" <<'INI'
[In]
Port=19110
SyncP=60
[Out]
Port=19510
SyncP=60
[ComIn]
Com=0
[Client0]
Id=Station1
QSize=500
Flt0=0;4095;$01;$FF;1
[Client1]
Id=Archive
QSize=5000
Flt0=0;4095;$01;$FF;1
Flt1=1;500;$0A;$05;1
[Com]
QSize=200
Flt0=2;3;$02;$01;0
[upee]
delay=5
INI

Xvfb "$display" -screen 0 1280x860x24 -nolisten tcp >/dev/null 2>&1 &
pids="$pids $!"
sleep 1
export DISPLAY=$display
(cd "$data" && exec "$build/kormlink") >"$data/server.log" 2>&1 &
pids="$pids $!"
sleep 2
"$build/tools/rptsim" --port 19110 --repeaters 7 --rate 2 --status-every 20 --quiet \
    --report-every 0 --image "$repo/examples/repeater-config.hex" \
    --upload-file "$data/uploaded.hex" >/dev/null 2>&1 &
pids="$pids $!"
"$build/tools/monsim" --port 19510 --channel Station1 --quiet >/dev/null 2>&1 &
pids="$pids $!"
sleep 4

window() { xdotool search --sync --onlyvisible --name "$1" | head -n 1; }
shot() { import -window "$1" "$out/$2"; echo "wrote $out/$2"; }

main=$(window 'Kormlink v')
xdotool windowsize "$main" 1180 560
sleep 2
shot "$main" main-window.png

if [ "${KORMLINK_SHOT_DIALOGS:-1}" = 1 ]; then
    # Positions inside the dialogs are those of their layout at its opening size.
    click() { xdotool mousemove --window "$1" "$2" "$3" click 1; sleep 1; }
    xdotool windowfocus "$main"; sleep 0.5; xdotool key ctrl+comma
    settings=$(window '^Settings$')
    sleep 1
    click "$settings" 380 130          # the first filter of the selected channel
    shot "$settings" settings-tcpip.png
    click "$settings" 767 170          # "Edit"
    filter=$(window 'Filter settings')
    shot "$filter" filter-dialog.png
    xdotool key Escape
    sleep 1
    click "$settings" 104 53           # page "Com"
    shot "$settings" settings-com.png
    xdotool key Escape
    sleep 1
fi

if [ "${KORMLINK_SHOT_COMMANDS:-1}" = 1 ]; then
    # The command window after a command to one repeater, then the trace of that repeater.
    xdotool windowfocus "$main"; sleep 0.5; xdotool key ctrl+k
    cmd=$(window '^Commands$')
    sleep 1
    xdotool windowfocus "$cmd"; sleep 0.5
    xdotool type --delay 40 100003; xdotool key Tab; xdotool type --delay 40 dicfg
    xdotool key Return
    sleep 4
    shot "$cmd" command-window.png
    xdotool key ctrl+u Escape        # the hidden upload asks for its Id and code; cancelled
    sleep 1
fi

if [ "${KORMLINK_SHOT_EDITOR:-1}" = 1 ]; then
    # "Prog" for repeater 100003: its configuration is downloaded, each editor page is shot, a
    # range of the mask grid is dragged, and OK uploads the image back to the simulator.
    cmd=$(window '^Commands$')
    xdotool windowfocus "$cmd"; sleep 0.5
    xdotool mousemove --window "$cmd" 537 14 click 1; sleep 1
    xdotool type --delay 40 100003; xdotool key Tab; xdotool type --delay 40 1234
    xdotool key Return; sleep 1
    xdotool key Return                      # "Load from repeater?": Yes
    editor=$(window '^Edit$')
    sleep 1
    shot "$editor" editor-general.png
    xdotool key ctrl+Tab; sleep 1
    shot "$editor" editor-wiznet.png
    xdotool key ctrl+Tab; sleep 1
    # The grid starts at about (35, 408) in the editor; drag over rows 3 to 5.
    xdotool mousemove --window "$editor" 200 425 mousedown 1; sleep 0.3
    xdotool mousemove --window "$editor" 420 433; sleep 0.3
    xdotool mousemove --window "$editor" 640 440; sleep 0.3
    xdotool mouseup 1; sleep 0.5
    shot "$editor" editor-slots.png
    xdotool key ctrl+Tab; sleep 1
    warning=$(window '^Warning$')
    shot "$warning" editor-advanced-warning.png
    xdotool key Return; sleep 1
    shot "$editor" editor-advanced.png
    xdotool windowfocus "$editor"; sleep 0.3
    xdotool key Return; sleep 1             # OK
    xdotool key Return; sleep 4             # "To leave with record?": Yes
    shot "$cmd" command-window-upload.png
    if [ -s "$data/uploaded.hex" ]; then
        echo "the simulator took an upload of $(wc -l <"$data/uploaded.hex") lines"
    else
        echo "no upload reached the simulator" >&2
    fi
fi

if [ "${KORMLINK_SHOT_TRACE:-1}" = 1 ]; then
    # "DBG" for repeater 100003: its traffic as text, then as hexadecimal bytes.
    cmd=$(window '^Commands$')
    xdotool windowfocus "$cmd"; sleep 0.5
    xdotool mousemove --window "$cmd" 622 14 click 1; sleep 1
    xdotool type --delay 40 100003; xdotool key Return
    trace=$(window '^Fdbg$')
    xdotool windowsize "$trace" 760 360
    xdotool mousemove --window "$trace" 380 200   # off the tool bar, so no button shows hovered
    sleep 6
    shot "$trace" trace-text.png
    xdotool mousemove --window "$trace" 62 14 click 1   # "Hex"
    sleep 6
    shot "$trace" trace-hex.png
fi
