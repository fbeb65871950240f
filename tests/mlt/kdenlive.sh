#!/usr/bin/env bash
# A Kdenlive project with keyframed fieldfx effects renders, through melt,
# the bytes `fieldfx render` gives with the same keys as --set. The project
# (kdenlive-project.kdenlive, written out by kdenlive-project.sh) is as
# Kdenlive 22.12 saves it: PAL 25i top field first; the clips on tracks
# that are tractors of two playlists, with Kdenlive's own compositing
# (qtblend) between the tracks and its field order filter on the whole; key
# times as clock times ("00:00:00.080=9"), linear, discrete ("|=") and
# smooth ("~=") keys; a composition over part of the timeline, its keys
# counted from its own start.
#
#   V1  a.y4m, Blur: blurSize 3 (frame 0) linear to 9 (frame 2), held at 9
#       (discrete) to frame 5, smooth from 5 (frame 5) to 15 (frame 9);
#       Rows, fade share 100, fade in
#   V2  b.y4m
#   Rotate from V1 to V2 on frames 3..9: 2 turns, grow in, trail 3 to 0
#       over its first 7 frames
#
# So frames 0..2 are b.y4m's (V2 over V1), and frames 3..9 are Rotate over
# Blur's frames 3..9 and b.y4m's frames 3..9.
#
# usage: kdenlive.sh BUILD_DIR   (exit 77: melt is missing, outside CI)
set -euo pipefail
maker="$(cd "$(dirname "$0")" && pwd)/kdenlive-project.sh"
# Kdenlive's compositing (MLT's qtblend) needs a display: without one,
# melt runs on a virtual display of its own (xvfb-run).
display=()
[ -n "${DISPLAY:-}" ] || display=(xvfb-run -a)
# shellcheck source=tests/mlt/common.sh
source "$(dirname "$0")/common.sh" kdenlive.sh "$1" "${display[@]:0:1}"
"$maker" .

# Kdenlive renders its whole timeline (the black track runs on: up to the
# last clip), interlaced as its profile is.
"${display[@]}" melt project.kdenlive out=9 -consumer avformat:out.y4m f=yuv4mpegpipe pix_fmt=yuv422p \
    progressive=0 top_field_first=1 </dev/null >melt.log 2>&1 || { cat melt.log >&2; fail "melt renders the project"; }
if grep -q 'failed to load' melt.log; then
    fail "melt could not load all the project's services:"
    grep 'failed to load' melt.log >&2
fi

# The same keys as --set, in fields (key frame k is field 2k). The discrete
# key holds 9 up to the field before frame 5's key; after the smooth key
# frames 6, 7 and 8 get keys of their own where MLT's curve through 9, 5,
# 15, 15 is on them, rounded: Catmull-Rom at t = 1/4, 1/2, 3/4 gives 6.75,
# 9.75, 12.875 (straight lines would give 7.5, 10, 12.5).
"$fieldfx" render Blur a.y4m -o blur.y4m --quiet --set "blurSize=3@0,9@4,9@9,5@10,7@12,10@14,13@16,15@18" \
    --set blurDirection=Rows --set fadePercent=100 --set "fadeMode=Fade in"
y4m_frames blur.y4m 3 7 blur-3.y4m
y4m_frames b.y4m 3 7 b-3.y4m
"$fieldfx" render Rotate blur-3.y4m b-3.y4m -o rotate.y4m --quiet --set turns=2 --set "rotateMode=Grow in" \
    --set "trailCount=3@0,0@12"
y4m_frames b.y4m 0 3 b-0.y4m
y4m_frames out.y4m 0 3 out-0.y4m
y4m_frames out.y4m 3 7 out-3.y4m

if same_y4m out-0.y4m b-0.y4m; then pass "frames 0..2: V2's clip as it is"; else
    fail "frames 0..2 differ from V2's clip"; fi
if same_y4m out-3.y4m rotate.y4m; then
    pass "frames 3..9: the bytes of fieldfx render Blur, then Rotate, with the project's keys"
else
    fail "frames 3..9 differ from fieldfx render Blur, then Rotate, with the project's keys"
fi
if grep -q fieldfx melt.log; then
    fail "the module logged a problem with the project's values:"
    grep fieldfx melt.log >&2
fi
finish
