#!/usr/bin/env bash
# The MLT module inside melt: every service is registered and described
# (melt -query), keyframe strings and bad values are taken without a crash,
# each bad value logged once; and the module installed under a prefix finds
# its operators and metadata there. (exact.sh checks what the services
# render.)
#
# usage: melt.sh BUILD_DIR   (exit 77: melt is missing, outside CI)
set -euo pipefail
build=$(cd "$1" && pwd)
source_dir=$(cd "$(dirname "$0")/../.." && pwd)

source "$source_dir/tests/support/require_tools.sh"
require_tools melt.sh melt ffmpeg pkg-config

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
export HOME="$work"
# The build's module directory holds links to the system's modules too.
export MLT_REPOSITORY="$build/lib/mlt-7"
unset MLT_DATA
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*" >&2; }
has() {  # has NAME TEXT FILE
    if grep -qF -- "$2" "$3"; then pass "$1"; else fail "$1: no '$2' in"; cat "$3" >&2; fi
}

# --- every service registered and described ------------------------------
melt -query filters >filters.txt 2>&1
melt -query transitions >transitions.txt 2>&1
for name in blur dye glow limelight patina underwater; do
    has "filter fieldfx.$name registered" "  - fieldfx.$name" filters.txt
    melt -query "filter=fieldfx.$name" >"query-$name.txt" 2>&1
    has "fieldfx.$name described" "identifier: fieldfx.$name" "query-$name.txt"
    has "fieldfx.$name keyframable" "animation: yes" "query-$name.txt"
done
for name in rotate rebound; do
    has "transition fieldfx.$name registered" "  - fieldfx.$name" transitions.txt
    melt -query "transition=fieldfx.$name" >"query-$name.txt" 2>&1
    has "fieldfx.$name described" "type: transition" "query-$name.txt"
done
# A few fields in the operators' own terms.
grep -A7 'identifier: blurSize' query-blur.txt >blursize.txt || true
has "blurSize range" "minimum: 1" blursize.txt
has "blurSize maximum" "maximum: 25" blursize.txt
has "blurSize default" "default: 5" blursize.txt
has "blurDirection entries" "- Rows and columns" query-blur.txt
has "tintColor default" 'default: "#00ffff"' query-dye.txt
has "spotCenter as a rect" "type: rect" query-limelight.txt
has "hingeCorner numbers" "- 8" query-rebound.txt
has "Rotate turns range" "minimum: -9" query-rotate.txt

# --- keyframes and bad values: rendered, each problem logged once --------
cat >profile <<PROFILE
description=fieldfx test
frame_rate_num=25
frame_rate_den=1
width=96
height=64
progressive=0
top_field_first=1
sample_aspect_num=1
sample_aspect_den=1
display_aspect_num=3
display_aspect_den=2
colorspace=601
PROFILE
frames=6
last=$((frames - 1))
ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=96x64:rate=25 -frames:v $frames \
    -pix_fmt rgb24 -start_number 0 a%04d.png
melt -profile profile a%04d.png ttl=1 begin=0 out=$last \
    -filter fieldfx.blur blurSize="0=3;2|=9;5~=40" blurDirection=Diagonal fadePercent=nan fadeMode="0=Fade in;3=Fade out" \
    -filter fieldfx.limelight spotCenter="0=10 10;5=50 20 10 10" spotSize=50% \
    -filter fieldfx.dye tintColor="0=#ff0000;5=banana" \
    -consumer avformat:bad%04d.png vcodec=png start_number=0 real_time=-2 >bad.log 2>&1 || fail "melt with bad values"
if [ "$(ls bad*.png 2>/dev/null | wc -l)" = $frames ]; then pass "bad values rendered $frames frames"; else
    fail "bad values: $(ls bad*.png 2>/dev/null | wc -l) frames"; cat bad.log >&2; fi
for line in "blurSize at frame 5: 40 is out of range 1..25; held to 25" \
            "blurDirection: 'Diagonal' is not one of its entries" "fadePercent: 'nan' is not a number" \
            "spotSize: '50%' is not a number" "tintColor at frame 5: 'banana' is not a colour"; do
    count=$(grep -cF -- "$line" bad.log || true)
    # melt builds its graph twice (once to find the profile), so each
    # instance logs the line once: at most twice.
    if [ "$count" -ge 1 ] && [ "$count" -le 2 ]; then pass "logged once: $line"; else
        fail "'$line' logged $count times"; cat bad.log >&2; fi
done

# --- installed under a prefix ----------------------------------------------
if cmake --install "$build" --prefix "$work/prefix" >install.log 2>&1; then
    module=$(find "$work/prefix" -name libmltfieldfx.so | head -1)
    if [ -n "$module" ]; then
        system_modules=$(pkg-config --variable=moduledir mlt-framework-7)
        cmake -DFROM="$system_modules" -DTO="$(dirname "$module")" -DKEEP=libmltfieldfx.so \
            -P "$source_dir/host/mlt/LinkMltDirectory.cmake"
        MLT_REPOSITORY=$(dirname "$module") melt -query filter=fieldfx.patina >installed.txt 2>&1 || true
        has "installed module finds its operators and metadata" "identifier: filmAge" installed.txt
        has "installed Kdenlive effect" "fieldfx.glow" "$work/prefix/share/kdenlive/effects/fieldfx_glow.xml"
        has "installed Shotcut filter" "fieldfx.glow" "$work/prefix/share/shotcut/qml/filters/fieldfx_glow/meta.qml"
    else
        fail "cmake --install put no libmltfieldfx.so under the prefix"
    fi
else
    fail "cmake --install"; cat install.log >&2
fi

if [ $failures -ne 0 ]; then
    echo "melt.sh: $failures failure(s)" >&2
    exit 1
fi
echo "melt.sh: all passed" >&2
