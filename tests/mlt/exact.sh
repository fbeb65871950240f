#!/usr/bin/env bash
# The MLT module renders exactly what fieldfx renders: every service, with
# keyframes, in a two-track project as editors save them (a tractor of two
# playlists; a filter on the first track's clip, or a transition from the
# first track to the second), rendered by melt, against `fieldfx render`
# with the same settings on the same frames, byte for byte; for
# top-field-first, bottom-field-first and progressive profiles (MLT's 4:2:2
# path), and for RGBA pictures (MLT's rgba path). Also the same project
# rendered by melt on several threads (real_time=-3).
#
# usage: exact.sh BUILD_DIR   (exit 77: melt is missing, outside CI)
set -euo pipefail
# shellcheck source=tests/mlt/common.sh
source "$(dirname "$0")/common.sh" exact.sh "$1"
frames=8
last=$((frames - 1))

# Each service: the settings as `fieldfx render --set` takes them, and the
# same as MLT properties (key frame k is field 2k).
declare -A cli mlt
cli[blur]="--set blurSize=3@0,9@6 --set blurDirection=Rows --set fadeMode=Fade\ in"
mlt[blur]="blurSize=0=3;3=9|blurDirection=Rows|fadeMode=Fade in"
cli[dye]="--set tintColor=#FF2000@0,#2040FF@14 --set fadePercent=0"
mlt[dye]="tintColor=0=#ff2000;7=#2040ff|fadePercent=0"
cli[glow]="--set blurSize=2@0,12@10 --set glowGain=Double"
mlt[glow]="blurSize=0=2;5=12|glowGain=Double"
cli[limelight]="--set spotCenter=20,10@0,70,20@14 --set spotSize=30"
mlt[limelight]="spotCenter=0=20 10;7=70 20|spotSize=30"
cli[patina]="--set filmAge=1 --set filmCondition=20 --set tintAmount=10@0,40@14"
mlt[patina]="filmAge=1|filmCondition=20|tintAmount=0=10;7=40"
cli[underwater]="--set waveAmplitude=2@0,9@14 --set waveCount=3"
mlt[underwater]="waveAmplitude=0=2;7=9|waveCount=3"
cli[rotate]="--set turns=2 --set trailCount=3@0,0@14 --set rotateMode=Grow\ in"
mlt[rotate]="turns=2|trailCount=0=3;7=0|rotateMode=Grow in"
cli[rebound]="--set hingeCorner=4 --set reboundCount=2@0,6@14"
mlt[rebound]="hingeCorner=4|reboundCount=0=2;7=6"

# An MLT property element per NAME=VALUE of a service's settings.
properties() {
    local IFS='|'
    for pair in $1; do printf '      <property name="%s">%s</property>\n' "${pair%%=*}" "${pair#*=}"; done
}

# project NAME SERVICE KIND CLIP_A CLIP_B PROFILE_LINES > NAME.mlt
project() {
    local service=$2 kind=$3 a=$4 b=$5 filter="" transition=""
    if [ "$kind" = filter ]; then
        filter="    <filter mlt_service=\"fieldfx.$service\">
$(properties "${mlt[$service]}")
    </filter>"
    else
        transition="    <transition mlt_service=\"fieldfx.$service\" in=\"0\" out=\"$last\">
      <property name=\"a_track\">0</property>
      <property name=\"b_track\">1</property>
$(properties "${mlt[$service]}")
    </transition>"
    fi
    cat <<XML
<?xml version="1.0" encoding="utf-8"?>
<mlt LC_NUMERIC="C" producer="main">
  <profile description="fieldfx test" width="96" height="64" frame_rate_num="25" frame_rate_den="1"
           sample_aspect_num="1" sample_aspect_den="1" display_aspect_num="3" display_aspect_den="2"
           colorspace="601" $6/>
  <producer id="clip_a" in="0" out="$last"><property name="resource">$a</property></producer>
  <producer id="clip_b" in="0" out="$last"><property name="resource">$b</property></producer>
  <playlist id="track_a">
    <entry producer="clip_a" in="0" out="$last">
$filter
    </entry>
  </playlist>
  <playlist id="track_b"><entry producer="clip_b" in="0" out="$last"/></playlist>
  <tractor id="main" in="0" out="$last">
    <track producer="track_a"/>
    <track producer="track_b" hide="$( [ "$kind" = filter ] && echo video || echo no)"/>
$transition
  </tractor>
</mlt>
XML
}

# --- MLT's 4:2:2: interlaced both ways and progressive --------------------
for scan in tff bff progressive; do
    case $scan in
        tff) field=tff; order=tt; profile='progressive="0" top_field_first="1"'; consumer="progressive=0 top_field_first=1" ;;
        bff) field=bff; order=bb; profile='progressive="0" top_field_first="0"'; consumer="progressive=0 top_field_first=0" ;;
        progressive) field=prog; order=progressive; profile='progressive="1"'; consumer="progressive=1" ;;
    esac
    ff -f lavfi -i testsrc2=size=96x64:rate=25 -frames:v $frames -vf setfield=$field -pix_fmt yuv422p \
        -field_order $order -f yuv4mpegpipe "a-$scan.y4m"
    ff -f lavfi -i "smptebars=size=96x64:rate=25,hue=H=t" -frames:v $frames -vf setfield=$field -pix_fmt yuv422p \
        -field_order $order -f yuv4mpegpipe "b-$scan.y4m"
    for service in blur dye glow limelight patina underwater rotate rebound; do
        kind=filter inputs="a-$scan.y4m" op=${service^}
        case $service in rotate | rebound) kind=transition inputs="a-$scan.y4m b-$scan.y4m" ;; esac
        project "$service" "$service" $kind "a-$scan.y4m" "b-$scan.y4m" "$profile" >"$service-$scan.mlt"
        eval "\"$fieldfx\" render $op $inputs -o ref-$service-$scan.y4m --quiet ${cli[$service]}"
        for threads in 1 -3; do
            # shellcheck disable=SC2086
            melt -quiet "$service-$scan.mlt" -consumer avformat:"out-$service-$scan.y4m" f=yuv4mpegpipe \
                pix_fmt=yuv422p real_time=$threads $consumer >"melt-$service-$scan.log" 2>&1 ||
                { fail "melt $service $scan"; cat "melt-$service-$scan.log" >&2; continue; }
            if same_y4m "out-$service-$scan.y4m" "ref-$service-$scan.y4m"; then
                pass "fieldfx.$service, $scan, real_time=$threads: the bytes fieldfx renders"
            else
                fail "fieldfx.$service, $scan, real_time=$threads: frames differ from fieldfx render"
            fi
        done
    done
done

# --- MLT's rgba: PNG pictures in and out, alpha as the key ----------------
ff -f lavfi -i "testsrc2=size=96x64:rate=25,format=rgba,geq=r='r(X,Y)':g='g(X,Y)':b='b(X,Y)':a='128+X'" \
    -frames:v $frames -start_number 0 a%04d.png
ff -f lavfi -i smptebars=size=96x64:rate=25 -frames:v $frames -pix_fmt rgba -start_number 0 b%04d.png
for service in dye limelight patina rotate; do
    kind=filter inputs="a%04d.png" op=${service^}
    case $service in rotate) kind=transition inputs="a%04d.png b%04d.png" ;; esac
    project "$service" "$service" $kind "a%04d.png" "b%04d.png" 'progressive="1"' >"$service-rgba.mlt"
    sed -i 's|<property name="resource">\([ab]\)%04d.png</property>|<property name="resource">\1%04d.png</property><property name="begin">0</property><property name="ttl">1</property>|' "$service-rgba.mlt"
    eval "\"$fieldfx\" render $op $inputs -o ref-$service-%04d.png --rate 25 --quiet ${cli[$service]}"
    melt -quiet "$service-rgba.mlt" -consumer avformat:"out-$service-%04d.png" vcodec=png pix_fmt=rgba \
        start_number=0 progressive=1 >"melt-$service-rgba.log" 2>&1 || { fail "melt $service rgba"; continue; }
    ff -framerate 25 -i "ref-$service-%04d.png" -pix_fmt rgba -f rawvideo "ref-$service.rgba"
    ff -framerate 25 -i "out-$service-%04d.png" -pix_fmt rgba -f rawvideo "out-$service.rgba"
    if [ -s "ref-$service.rgba" ] && cmp -s "ref-$service.rgba" "out-$service.rgba"; then
        pass "fieldfx.$service, rgba: the bytes fieldfx renders, alpha as the key"
    else
        fail "fieldfx.$service, rgba: pictures differ from fieldfx render"
    fi
done

finish
