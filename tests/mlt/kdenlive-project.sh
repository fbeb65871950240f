#!/usr/bin/env bash
# Writes DIR/project.kdenlive (kdenlive-project.kdenlive, rooted at DIR)
# and its two clips, DIR/a.y4m and DIR/b.y4m: 10 frames each, 720x576,
# 4:2:2, top field first, PAL's 16:15 pixels. Used by kdenlive.sh (melt
# renders the project) and editors.sh (Kdenlive opens it).
#
# usage: kdenlive-project.sh DIR
set -euo pipefail
dir=$(cd "$1" && pwd)
for clip in a b; do
    case $clip in
        a) source=testsrc2=size=720x576:rate=25 ;;
        b) source="smptebars=size=720x576:rate=25,hue=H=t" ;;
    esac
    ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "$source" -frames:v 10 \
        -vf setfield=tff,setsar=16/15 -pix_fmt yuv422p -field_order tt -f yuv4mpegpipe "$dir/$clip.y4m"
done
sed "s|@ROOT@|$dir|" "$(dirname "$0")/kdenlive-project.kdenlive" >"$dir/project.kdenlive"
