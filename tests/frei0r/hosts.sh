#!/usr/bin/env bash
# The frei0r plug-ins inside the real hosts: every effect through ffmpeg,
# a transition through melt, effects in a GStreamer pipeline, several
# instances in one process, and bad parameter values. Where a plug-in and
# `fieldfx render` get the same RGB frames, settings, run length, rate and
# field order, their outputs must be the same bytes.
#
# usage: hosts.sh BUILD_DIR   (exit 77: a host is missing, outside CI)
set -euo pipefail
build=$(cd "$1" && pwd)
readme="$(cd "$(dirname "$0")/../.." && pwd)/README.md"
fieldfx="$build/bin/fieldfx"
export FREI0R_PATH="$build/lib/frei0r-1"

source "$(dirname "$0")/../support/require_tools.sh"
require_tools hosts.sh ffmpeg melt gst-launch-1.0

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
export HOME="$work" GST_REGISTRY="$work/gst-registry.bin" XDG_CACHE_HOME="$work/cache"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*" >&2; }
ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }
# Raw RGBA bytes of a PNG sequence or clip, for comparing.
raw() { ff -framerate 25 -i "$1" -pix_fmt rgba -f rawvideo "$2"; }
same() {  # same NAME A B
    if cmp -s "$2" "$3"; then pass "$1"; else fail "$1: the bytes differ"; fi
}

# Two six-frame RGB sequences of 96x64 (a multiple of 8, as frei0r asks).
frames=6
ff -f lavfi -i testsrc2=size=96x64:rate=25 -frames:v $frames -pix_fmt rgb24 -start_number 0 a%04d.png
ff -f lavfi -i "smptebars=size=96x64:rate=25" -frames:v $frames -pix_fmt rgb24 -start_number 0 b%04d.png
length=0.24  # six frames at 25 a second
raw a%04d.png a.rgba

# --- ffmpeg: every effect, the same bytes as fieldfx render ---------------
# name | frei0r parameters | the same settings for fieldfx | --field-order (- for none)
effects=(
  "Dye|0xCC3366|0.5|$length|25|progressive|--set tintColor=#CC3366 --set fadePercent=50|-"
  "Blur|0.5|Columns|0.3|Fade out|$length|25|tff|--set blurSize=13 --set blurDirection=Columns --set fadePercent=30 --set fadeMode=1|tff"
  "Glow|0.25|1|0.8|Fade in and out|$length|25|bff|--set blurSize=7 --set glowGain=Double --set fadePercent=80 --set fadeMode=2|bff"
  "Limelight|0.5|0.2|0.25/0.5|0.6|$length|25|progressive|--set spotSize=50 --set edgeSoftness=10 --set spotCenter=24,16 --set fadePercent=60|-"
  "Underwater|0.5|0.3|0.8|0.4|$length|25|progressive|--set waveCount=6 --set waveAmplitude=7 --set waveSpeed=24 --set fadePercent=40|-"
  "Patina|Old|0.5|0.8|0|$length|25|progressive|--set filmAge=Old --set tintAmount=20 --set contrastLevel=80 --set filmCondition=1|-"
)
for entry in "${effects[@]}"; do
    IFS='|' read -r -a f <<<"$entry"
    name=${f[0]}
    order=${f[-1]}
    settings=${f[-2]}
    params=$(IFS='|'; echo "${f[*]:1:${#f[@]}-3}")
    lower=$(echo "$name" | tr 'A-Z' 'a-z')
    if ! ff -framerate 25 -i a%04d.png -vf "frei0r=filter_name=fieldfx_$lower:filter_params=$params" \
            -pix_fmt rgba -f rawvideo "plug-$name.rgba"; then
        fail "ffmpeg with fieldfx_$lower"
        continue
    fi
    # shellcheck disable=SC2086
    "$fieldfx" render "$name" a%04d.png --rate 25 -o "ref-$name-%04d.png" --quiet $settings \
        $([ "$order" = - ] || echo "--field-order $order")
    raw "ref-$name-%04d.png" "ref-$name.rgba"
    same "ffmpeg fieldfx_$lower equals fieldfx render" "plug-$name.rgba" "ref-$name.rgba"
    if cmp -s "plug-$name.rgba" a.rgba; then fail "fieldfx_$lower left the frames unchanged"; fi
done

# --- bad values: held to the range or ignored, never a crash -------------
# blurSize 7.5 is held to 25; the unknown direction, the NaN share, the
# index past the entries, the NaN rate and the unknown field order are
# ignored, so those keep their initial values.
ff -framerate 25 -i a%04d.png -vf "frei0r=filter_name=fieldfx_blur:filter_params=7.5|Diagonal|nan|9|$length|nan|sideways" \
    -pix_fmt rgba -f rawvideo bad.rgba || fail "ffmpeg with bad values"
"$fieldfx" render Blur a%04d.png --rate 25 -o bad-ref%04d.png --quiet --set blurSize=25
raw bad-ref%04d.png bad-ref.rgba
same "bad values held to the range or ignored" bad.rgba bad-ref.rgba
for params in "-1e300|3|-inf|Fade out and in|-3|-1|bff" "1e300|-1|1e300|-2|1e300|1e300|2" "|||||||||"; do
    if ff -framerate 25 -i a%04d.png -vf "frei0r=filter_name=fieldfx_blur:filter_params=$params" \
            -pix_fmt rgba -f rawvideo extreme.rgba && [ "$(stat -c %s extreme.rgba)" = "$(stat -c %s a.rgba)" ]; then
        pass "extreme values $params"
    else
        fail "extreme values $params"
    fi
done

# --- several instances in one process -------------------------------------
# Two Blurs with their own settings and a Patina with its own run.
ff -framerate 25 -i a%04d.png -filter_complex \
    "[0]split=3[x][y][z];[x]frei0r=fieldfx_blur:0.5|Columns|0.3|Fade out|$length|25|tff[p];[y]frei0r=fieldfx_blur:1|Rows|0|Fade in|$length|25|progressive[q];[z]frei0r=fieldfx_patina:Old|0.5|0.8|0|$length[r]" \
    -map '[p]' -pix_fmt rgba -f rawvideo two-a.rgba -map '[q]' -pix_fmt rgba -f rawvideo two-b.rgba \
    -map '[r]' -pix_fmt rgba -f rawvideo two-c.rgba || fail "ffmpeg with three instances"
same "first of two Blurs in one graph" two-a.rgba plug-Blur.rgba
"$fieldfx" render Blur a%04d.png --rate 25 -o two-ref%04d.png --quiet --set blurSize=25 --set blurDirection=Rows \
    --set fadePercent=0 --set fadeMode=0
raw two-ref%04d.png two-ref.rgba
same "second of two Blurs in one graph" two-b.rgba two-ref.rgba
same "Patina beside two Blurs in one graph" two-c.rgba plug-Patina.rgba

# --- melt: a transition ---------------------------------------------------
cat >profile <<PROFILE
description=fieldfx test
frame_rate_num=25
frame_rate_den=1
width=96
height=64
progressive=1
sample_aspect_num=1
sample_aspect_den=1
display_aspect_num=3
display_aspect_den=2
colorspace=601
PROFILE
last=$((frames - 1))
if melt -quiet -profile profile -track a%04d.png ttl=1 begin=0 out=$last -track b%04d.png ttl=1 begin=0 out=$last \
        -transition frei0r.fieldfx_rotate in=0 out=$last a_track=0 b_track=1 turns=0.6111 trailCount=0.3333 \
        rotateMode="Grow in" length=$length \
        -consumer avformat:melt%04d.png vcodec=png start_number=0 >melt.log 2>&1; then
    "$fieldfx" render Rotate a%04d.png b%04d.png --rate 25 -o melt-ref%04d.png --quiet --set turns=2 \
        --set trailCount=3 --set rotateMode="Grow in"
    raw melt%04d.png melt.rgba
    raw melt-ref%04d.png melt-ref.rgba
    if [ "$(stat -c %s melt.rgba)" = "$(stat -c %s a.rgba)" ]; then pass "melt rendered $frames frames"; else fail "melt: wrong frame count"; fi
    same "melt frei0r.fieldfx_rotate equals fieldfx render" melt.rgba melt-ref.rgba
else
    fail "melt with frei0r.fieldfx_rotate"; cat melt.log >&2
fi

# MLT with two render threads makes an instance per thread, and each sees
# every second frame: Patina's runs jump and must give the frames a whole
# run gives (over a still, whose frames are all alike). Two Blurs on one
# clip keep their own settings.
for threads in -1 -2; do
    melt -quiet -profile profile a0000.png out=$last -filter frei0r.fieldfx_patina filmAge=Recent length=$length \
        -consumer avformat:"patina$threads-%04d.png" vcodec=png start_number=0 real_time=$threads >melt.log 2>&1 ||
        { fail "melt with frei0r.fieldfx_patina, real_time=$threads"; cat melt.log >&2; }
    raw "patina$threads-%04d.png" "patina$threads.rgba"
done
same "Patina in two MLT threads equals one" patina-2.rgba patina-1.rgba
melt -quiet -profile profile a%04d.png ttl=1 begin=0 out=$last -filter frei0r.fieldfx_blur blurSize=1 blurDirection=Rows \
    fadePercent=0 -filter frei0r.fieldfx_blur blurSize=0.5 blurDirection=Columns fadePercent=0 \
    -consumer avformat:twoblur%04d.png vcodec=png start_number=0 >melt.log 2>&1 || fail "melt with two Blurs"
"$fieldfx" render Blur a%04d.png --rate 25 -o rows%04d.png --quiet --set blurSize=25 --set blurDirection=Rows --set fadePercent=0
"$fieldfx" render Blur rows%04d.png --rate 25 -o twoblur-ref%04d.png --quiet --set blurSize=13 --set blurDirection=Columns \
    --set fadePercent=0
raw twoblur%04d.png twoblur.rgba
raw twoblur-ref%04d.png twoblur-ref.rgba
same "two Blurs on one clip in melt equal fieldfx render twice" twoblur.rgba twoblur-ref.rgba

# --- GStreamer: two effects in one pipeline --------------------------------
# GStreamer limits every double property to 0..1, so the run keeps its
# default length and rate; Dye without a fade and Blur without one do not
# depend on them.
if gst-launch-1.0 -q multifilesrc location=a%04d.png index=0 stop-index=$last caps=image/png,framerate=25/1 \
        ! pngdec ! videoconvert ! video/x-raw,format=RGBA \
        ! frei0r-filter-fieldfx-dye tintcolor-r=0.8 tintcolor-g=0.2 tintcolor-b=0.4 fadepercent=0 \
        ! frei0r-filter-fieldfx-blur blursize=0.5 fadepercent=0 fieldorder=tff \
        ! multifilesink location=gst%04d.rgba >gst.log 2>&1; then
    cat gst000?.rgba >gst.rgba
    "$fieldfx" render Dye a%04d.png --rate 25 -o gst-dye%04d.png --quiet --set tintColor=#CC3366 --set fadePercent=0
    "$fieldfx" render Blur gst-dye%04d.png --rate 25 -o gst-ref%04d.png --quiet --set blurSize=13 \
        --set fadePercent=0 --field-order tff
    raw gst-ref%04d.png gst-ref.rgba
    same "GStreamer dye ! blur equals fieldfx render twice" gst.rgba gst-ref.rgba
else
    fail "gst-launch-1.0 with frei0r-filter-fieldfx-dye"; cat gst.log >&2
fi

# --- the README's GStreamer example, as printed -----------------------------
# Taken from the README, so that the two cannot drift apart, and run over
# interlaced H.264 (which decodebin must decode, not end at once).
example=$(sed -n '/^gst-launch-1.0 filesrc location=in.mp4/,/filesink location=out.mp4$/p' "$readme")
if [ -z "$example" ]; then
    fail "the README's GStreamer example is not where this test looks for it"
else
    ff -f lavfi -i testsrc2=size=320x240:rate=25:duration=1 -vf setfield=tff -flags +ilme+ildct \
        -c:v libx264 -x264opts tff=1 -pix_fmt yuv420p in.mp4
    if bash -c "$example" >readme-gst.log 2>&1; then
        frames=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames \
                 -of csv=p=0 out.mp4)
        ff -i in.mp4 -frames:v 1 -pix_fmt rgb24 -f rawvideo readme-in.rgb
        ff -i out.mp4 -frames:v 1 -pix_fmt rgb24 -f rawvideo readme-out.rgb
        if [ "$frames" != 25 ]; then
            fail "the README's GStreamer example wrote $frames frames of 25"
        elif cmp -s readme-in.rgb readme-out.rgb; then
            fail "the README's GStreamer example left the picture as it was"
        else
            pass "the README's GStreamer example, as printed"
        fi
    else
        fail "the README's GStreamer example"; cat readme-gst.log >&2
    fi
fi

if [ $failures -ne 0 ]; then
    echo "hosts.sh: $failures failure(s)" >&2
    exit 1
fi
echo "hosts.sh: all passed" >&2
