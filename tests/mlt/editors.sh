#!/usr/bin/env bash
# The MLT module in the real editors, Debian 12's Kdenlive 22.12 and
# Shotcut 22.12: the build installed under a temporary prefix, each editor
# run on a virtual display (Xvfb) in a D-Bus session of its own, with its
# configuration, data and cache in a temporary home, and pointed at the
# prefix through the environment; the system is left as it was (but for the
# packages this script installs).
#
#   Kdenlive: the module is loaded, no fieldfx file is refused (its log), and
#   its effect list, searched for "fieldfx", shows the six effects under
#   their own names in their groups and the compositions list shows Rotate
#   and Rebound (a screenshot, read back with tesseract).
#   Kdenlive again, opening kdenlive.sh's project: no question, and every
#   fieldfx key read where the project puts it (its log).
#   Shotcut: its log reports the six filters added; one is added to a clip
#   and its controls load without a QML error.
#
# usage: tests/mlt/editors.sh BUILD_DIR [OUT_DIR]
# Installs kdenlive, shotcut, xvfb, xdotool, dbus-x11, imagemagick and
# tesseract-ocr (with apt-get, as tools/install-deps does) when missing;
# the everyday tools/install-deps does not. Screenshots, logs and the time
# each step took go to OUT_DIR (default BUILD_DIR/editors-test).
set -euo pipefail
build=$(cd "$1" && pwd)
out=${2:-$build/editors-test}
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
mkdir -p "$out"
out=$(cd "$out" && pwd)
rm -f "$out"/*.png "$out"/*.log "$out"/*.txt

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*" >&2; }
now() { date +%s.%N; }
took() {  # took WHAT START
    local seconds
    seconds=$(awk -v a="$2" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }')
    echo "time: $1: $seconds s" | tee -a "$out/timings.txt" >&2
}

start=$(now)
FIELDFX_EXTRA_PACKAGES="kdenlive shotcut xvfb xdotool dbus-x11 imagemagick tesseract-ocr" \
    "$source_dir/tools/install-deps" --demo
took "installing the editors' packages (nothing when present)" "$start"

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

# --- the build installed under a temporary prefix --------------------------
prefix="$work/prefix"
start=$(now)
cmake --install "$build" --prefix "$prefix" >"$out/install.log" 2>&1 || { cat "$out/install.log" >&2; exit 1; }
module=$(find "$prefix" -name libmltfieldfx.so | head -1)
[ -n "$module" ] || { echo "editors.sh: cmake --install put no libmltfieldfx.so under $prefix" >&2; exit 1; }
module_dir=$(dirname "$module")
# MLT reads one module directory: the system's modules are linked in beside ours.
cmake -DFROM="$(pkg-config --variable=moduledir mlt-framework-7)" -DTO="$module_dir" -DKEEP=libmltfieldfx.so \
    -P "$source_dir/host/mlt/LinkMltDirectory.cmake"
# Shotcut reads its QML from ../share/shotcut beside its program: a copy of
# the program, and the system's QML linked in beside the fieldfx filters.
mkdir -p "$work/shotcut/bin" "$work/shotcut/share/shotcut/qml/filters"
cp /usr/bin/shotcut "$work/shotcut/bin/"
for entry in /usr/share/shotcut/*; do
    [ "$(basename "$entry")" = qml ] || ln -s "$entry" "$work/shotcut/share/shotcut/"
done
for entry in /usr/share/shotcut/qml/*; do
    [ "$(basename "$entry")" = filters ] || ln -s "$entry" "$work/shotcut/share/shotcut/qml/"
done
for entry in /usr/share/shotcut/qml/filters/* "$prefix"/share/shotcut/qml/filters/*; do
    ln -s "$entry" "$work/shotcut/share/shotcut/qml/filters/"
done
took "cmake --install and the links for MLT and Shotcut" "$start"
if grep -q "fieldfx.limelight" "$prefix/share/kdenlive/kdenliveeffectscategory.rc" 2>/dev/null; then
    pass "Kdenlive's categories merged with the effects"
else
    fail "no merged kdenliveeffectscategory.rc under the prefix"
fi

export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_DATA_HOME="$work/home/.local/share"
export XDG_CACHE_HOME="$work/home/.cache" XDG_RUNTIME_DIR="$work/runtime"
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME"
mkdir -m 700 "$XDG_RUNTIME_DIR"
export XDG_DATA_DIRS="$prefix/share:/usr/local/share:/usr/share"
export MLT_REPOSITORY="$module_dir"
unset MLT_DATA MLT_PROFILES_PATH
export QT_QPA_PLATFORM=xcb

# --- a virtual display ---------------------------------------------------------
exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1600x1000x24 -nolisten tcp >"$out/xvfb.log" 2>&1 &
pids+=($!)
disown
exec 3>&-
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.2; done
export DISPLAY=":$(cat "$work/display")"

# Waits until a process whose parent is PARENT and whose name is NAME exists.
child() {
    local pid=""
    for _ in $(seq 100); do
        pid=$(pgrep -P "$1" -x "$2" || true)
        [ -n "$pid" ] && break
        sleep 0.1
    done
    echo "$pid"
}
# Ends a program and the D-Bus session around it.
stop() {  # stop SESSION_PID PROGRAM_PID
    kill -TERM "$2" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$2" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$2" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}
shot() { import -window root "$out/$1"; }
# Types slowly: a busy machine loses keys typed at full speed.
typeslow() {
    local i
    for ((i = 0; i < ${#1}; i++)); do xdotool type -- "${1:i:1}"; sleep 0.15; done
}
# The text of a part of a screenshot, read back: light text on Kdenlive's
# dark theme, enlarged for tesseract.
readback() {  # readback PNG GEOMETRY
    convert "$out/$1" -crop "$2" -negate -resize 300% -colorspace gray "$work/ocr.png"
    tesseract "$work/ocr.png" - 2>/dev/null | sed '/^[[:space:]]*$/d'
}
# Checks that each ITEM line of the list follows the line GROUP, with no
# other group line between them.
in_group() {  # in_group TEXTFILE GROUP ITEM...
    local file=$1 group=$2
    shift 2
    for item in "$@"; do
        if awk -v g="$group" -v i="$item" -v groups="$groups_re" '
                index($0, g) { inside = 1; next }
                $0 ~ groups { inside = 0 }
                inside && $0 ~ ("(^|[^A-Za-z])" i "$") { found = 1 }
                END { exit !found }' "$file"; then
            pass "Kdenlive lists $item under $group"
        else
            fail "Kdenlive does not list $item under $group"
        fi
    done
}

# A clip of the size and rate of Kdenlive's default profile (HD 1080p 25
# fps), so that it asks nothing when the clip is added.
ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=1920x1080:rate=25 -frames:v 50 \
    -pix_fmt yuv420p "$work/clip.mp4"

# --- Kdenlive -------------------------------------------------------------------
start=$(now)
dbus-run-session -- kdenlive -i "$work/clip.mp4" >"$out/kdenlive.log" 2>&1 &
session=$!
pids+=("$session")
kdenlive=$(child "$session" kdenlive)
window=""
for _ in $(seq 240); do
    window=$(xdotool search --name ' Kdenlive$' 2>/dev/null | head -1 || true)
    [ -n "$window" ] && break
    sleep 0.5
done
if [ -z "$window" ]; then
    fail "Kdenlive showed no main window within two minutes"
    shot kdenlive-failed.png
else
    took "Kdenlive start-up, to its main window" "$start"
    if grep -E '(plugin not available|Empty metadata for|Invalid metadata for|broken effect|Failed to parse).*fieldfx' \
            "$out/kdenlive.log"; then
        fail "Kdenlive refused a fieldfx file (above)"
    else
        pass "Kdenlive refused no fieldfx file"
    fi
    groups_re='^(Alpha, Mask|Audio|Blur and Sharpen|Channels|Color and Image|Deprecated|EQ and|Generate|Grain and|Image adj|LADSPA|Misc|Modulators|Motion|On Master|Pitch|Reverb|Stereo|Steve|Stylize|Templates|Transform|Utility|Volume|Custom|Compositions|Transitions)'
    # A tab below the project bin, then its search field, searched for
    # "fieldfx" until the list shows EXPECTED (Kdenlive shows its window
    # before it takes clicks). The places are those of Kdenlive 22.12's
    # default layout on a 1600 x 1000 screen.
    search() {  # search TAB_X TAB_Y NAME EXPECTED
        for _ in $(seq 12); do
            xdotool mousemove "$1" "$2" click 1
            sleep 1
            xdotool mousemove 207 76 click 1 key ctrl+a
            sleep 0.5
            typeslow fieldfx
            sleep 3
            shot "$3.png"
            readback "$3.png" 420x420+0+90 >"$out/$3.txt"
            grep -q "$4" "$out/$3.txt" && return
            sleep 5
        done
    }
    search 195 465 kdenlive-effects Underwater
    took "Kdenlive start-up, to the effects listed" "$start"
    if grep -q libmltfieldfx.so "/proc/$kdenlive/maps"; then pass "Kdenlive loaded libmltfieldfx.so"; else
        fail "libmltfieldfx.so is not loaded in Kdenlive"; fi
    in_group "$out/kdenlive-effects.txt" "Blur and Sharpen" Blur
    in_group "$out/kdenlive-effects.txt" "Color and Image correction" Dye
    in_group "$out/kdenlive-effects.txt" "Stylize" Glow Limelight Patina
    in_group "$out/kdenlive-effects.txt" "Transform, Distort and Perspective" Underwater
    # Limelight onto the clip: the clip from the project bin into the
    # timeline (V, insert), selected there, then Limelight double-clicked
    # in the list; a frame of it shown in the project monitor.
    xdotool mousemove 37 465 click 1
    sleep 1
    xdotool mousemove 138 109 click 1
    sleep 1
    xdotool key v
    sleep 2
    xdotool mousemove 182 715 click 1
    sleep 1
    xdotool mousemove 195 465 click 1
    sleep 2
    xdotool mousemove 88 202 click --repeat 2 --delay 120 1
    sleep 3
    xdotool mousemove 185 565 click 1
    sleep 4
    shot kdenlive-limelight.png
    # Kdenlive's window alone, for docs/kdenlive-effects.png.
    convert "$out/kdenlive-limelight.png" -crop 1333x832+0+0 +repage "$out/kdenlive-window.png"
    if grep -q 'END parsing of  "fieldfx.limelight" . Number of found parameters 4' "$out/kdenlive.log"; then
        pass "Kdenlive put Limelight with its 4 parameters on the clip"
    else
        fail "Kdenlive did not put Limelight on the clip"
    fi
    readback kdenlive-limelight.png 380x260+950+510 >"$out/kdenlive-limelight.txt"
    for control in "Spot size" "Edge softness"; do
        if grep -q "$control" "$out/kdenlive-limelight.txt"; then pass "Kdenlive shows Limelight's $control"; else
            fail "Kdenlive shows no $control control"; fi
    done
    search 122 465 kdenlive-compositions Rebound
    for name in Rotate Rebound; do
        if grep -qE "(^|[^A-Za-z])$name\$" "$out/kdenlive-compositions.txt"; then
            pass "Kdenlive lists the composition $name"
        else
            fail "Kdenlive does not list the composition $name"
        fi
    done
fi
stop "$session" "$kdenlive"

# --- Kdenlive opening a project with keyed fieldfx effects ----------------------
# The project kdenlive.sh renders (Blur with linear, discrete and smooth
# keys on V1, a Rotate composition from frame 3): Kdenlive opens it as its
# own, without a question, and reads every key where the project puts it,
# the composition's counted from its start.
mkdir "$work/project"
"$source_dir/tests/mlt/kdenlive-project.sh" "$work/project"
start=$(now)
dbus-run-session -- kdenlive "$work/project/project.kdenlive" >"$out/kdenlive-project.log" 2>&1 &
session=$!
pids+=("$session")
kdenlive=$(child "$session" kdenlive)
window=""
for _ in $(seq 240); do
    # (Its title, "project / DV/DVD PAL — Kdenlive": xdotool matches the
    # part before the dash only.)
    window=$(xdotool search --name '^project / ' 2>/dev/null | head -1 || true)
    [ -n "$window" ] && break
    sleep 0.5
done
sleep 5
shot kdenlive-project.png
if [ -z "$window" ]; then
    fail "Kdenlive showed no main window for the project within two minutes"
else
    took "Kdenlive start-up, to the project open" "$start"
    if xdotool search --name '^Incorrect project file' >/dev/null 2>&1; then
        fail "Kdenlive questioned the project file (kdenlive-project.png)"
    else
        pass "Kdenlive opened the project without a question"
    fi
    for line in 'END parsing of  "fieldfx.blur" . Number of found parameters 4' \
            'END parsing of  "fieldfx.rotate" . Number of found parameters 3' \
            'ADD keyframe 2 QVariant(double, 9)' 'ADD keyframe 5 QVariant(double, 5)' \
            'ADD keyframe 9 QVariant(double, 15)' 'ADD keyframe 6 QVariant(double, 0)' \
            'qml: loaded composition:  3 '; do
        if grep -qF "$line" "$out/kdenlive-project.log"; then pass "Kdenlive: $line"; else
            fail "Kdenlive's log has no '$line'"; fi
    done
fi
stop "$session" "$kdenlive"

# --- Shotcut ----------------------------------------------------------------------
appdata="$work/shotcut-appdata"
mkdir -p "$appdata"
start=$(now)
dbus-run-session -- "$work/shotcut/bin/shotcut" --noupgrade --appdata "$appdata" "$work/clip.mp4" \
    >"$out/shotcut-console.log" 2>&1 &
session=$!
pids+=("$session")
shotcut=$(child "$session" shotcut)
shotcut_log="$appdata/shotcut-log.txt"
for _ in $(seq 240); do
    [ "$(grep -c 'reading filter metadata "fieldfx_' "$shotcut_log" 2>/dev/null)" = 6 ] && break
    sleep 0.5
done
took "Shotcut start-up, to its filters loaded" "$start"
sleep 5
for folder in blur dye glow limelight patina underwater; do
    name="$(echo "${folder:0:1}" | tr a-z A-Z)${folder:1}"
    if grep -A1 "reading filter metadata \"fieldfx_$folder\"" "$shotcut_log" 2>/dev/null |
            grep -q "added filter \"$name\""; then
        pass "Shotcut added the filter $name"
    else
        fail "Shotcut did not add the filter $name"
    fi
done
# The Filters panel, its + button, its search field: Limelight onto the clip.
xdotool mousemove 103 396 click 1
sleep 2
xdotool mousemove 21 367 click 1
sleep 2
xdotool mousemove 290 147 click 1
sleep 1
typeslow Limelight
sleep 2
xdotool mousemove 88 206 click 1
sleep 5
shot shotcut-limelight.png
cp "$shotcut_log" "$out/shotcut.log" 2>/dev/null || true
if grep -qE '\] <[^>]*> .*(ui\.qml|fieldfx).*(rror|not a type|undefined|Cannot)' "$out/shotcut.log"; then
    fail "Shotcut reported a QML error in a fieldfx filter"
    grep -E '(ui\.qml|fieldfx)' "$out/shotcut.log" >&2
else
    pass "Shotcut reported no QML error in the fieldfx filters"
fi
readback shotcut-limelight.png 620x200+240+130 >"$out/shotcut-limelight.txt"
if grep -q "Spot size" "$out/shotcut-limelight.txt" && grep -q "Spot centre" "$out/shotcut-limelight.txt"; then
    pass "Shotcut shows Limelight's controls"
else
    fail "Shotcut shows no Limelight controls"
fi
stop "$session" "$shotcut"

if [ $failures -ne 0 ]; then
    echo "editors.sh: $failures failure(s); screenshots and logs in $out" >&2
    exit 1
fi
echo "editors.sh: all passed; screenshots and logs in $out" >&2
