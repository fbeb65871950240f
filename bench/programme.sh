#!/usr/bin/env bash
# A programme-length render, measured: makes a 1080i H.264 source with
# audio (60 s unless told), then times the first frame of a render, the
# whole render against ffmpeg's nearest chain with the same encode, the
# first and the last of four chunks, and their join; it records the peak
# disk use in /tmp and $TMPDIR and the peak resident memory of the render.
# Prints a markdown table. Not part of the tests: it takes minutes.
#
#   bench/programme.sh [BUILD_DIR] [SECONDS]
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
seconds=${2:-60}
fieldfx=$build/bin/fieldfx
[ -x "$fieldfx" ] || { echo "programme.sh: $fieldfx: not built" >&2; exit 1; }

# GNU time reports the peak resident memory.
if [ ! -x /usr/bin/time ]; then FIELDFX_EXTRA_PACKAGES=time "$here/tools/install-deps" --demo; fi

work=$(mktemp -d "${BENCH_DIR:-$PWD}/programme-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir tmpdir

now() { date +%s.%N; }
since() { echo "$(now) - $1" | bc -l | xargs printf '%.2f'; }

echo "programme.sh: making a ${seconds} s 1080i source" >&2
ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=1920x1080:rate=25,format=yuv420p" \
    -f lavfi -i "sine=frequency=440:sample_rate=48000" -t "$seconds" \
    -c:v libx264 -flags +ildct+ilme -top 1 -field_order tt -x264-params tff=1 -bf 3 -g 50 \
    -c:a aac -b:a 192k source.mp4
frame_bytes=$((1920 * 1080 * 3 / 2 + 6))
operator=Dye

# Runs a command with its own /tmp (a tmpfs, where the kernel allows a
# mount namespace) and TMPDIR, polling both for the disk they take. Prints
# "<seconds> <peak KB in /tmp and TMPDIR> <peak resident KB> <CPU seconds>":
# the resident memory is the largest of the processes (the program or an
# ffmpeg it runs), the CPU time theirs together.
measured() {
    local script='
        poll() { local peak=0 used; while :; do
            used=$(du -sk /tmp "$TMPDIR" 2>/dev/null | awk "{s+=\$1} END {print s}")
            [ "$used" -gt "$peak" ] && peak=$used && echo "$peak" > "$WORK/peak"
            sleep 0.2; done; }
        echo 0 > "$WORK/peak"; poll & poller=$!
        start=$(date +%s.%N)
        /usr/bin/time -f "%M %U %S" -o "$WORK/rss" "$@" 2>>"$WORK/stderr.txt" || { kill $poller; exit 1; }
        end=$(date +%s.%N)
        kill $poller
        read -r rss user sys < "$WORK/rss"
        echo "$(echo "$end - $start" | bc -l | xargs printf %.2f) $(cat "$WORK/peak") $rss $(echo "$user + $sys" | bc -l)"'
    local private="mount -t tmpfs -o size=16g tmpfs /tmp && "
    if ! unshare -rm sh -c "${private}true" 2>/dev/null; then private=""; fi
    WORK=$work TMPDIR=$work/tmpdir unshare -rm bash -c "${private}${script}" bash "$@" 2>/dev/null ||
        WORK=$work TMPDIR=$work/tmpdir bash -c "$script" bash "$@"
}

echo "programme.sh: time to the first frame" >&2
start=$(now)
# The stream header and the first FRAME record whole (read with head, which
# starts at once, where an interpreter's own start-up would be counted; the
# 100 bytes over reach into the second record's header).
"$fieldfx" render $operator source.mp4 --quiet -o - 2>/dev/null | head -c $((frame_bytes + 100)) >/dev/null || true
first=$(since "$start")

echo "programme.sh: the whole render" >&2
read -r whole whole_disk whole_rss whole_cpu < <(measured "$fieldfx" render $operator source.mp4 --quiet -o whole.mp4)
echo "programme.sh: ffmpeg's nearest chain" >&2
read -r chain chain_disk chain_rss chain_cpu < <(measured ffmpeg -nostdin -v error -y -i source.mp4 -vf eq=brightness=0.05 \
    -flags +ildct+ilme -top 1 -field_order tt -x264-params tff=1 -c:a aac chain.mp4)
echo "programme.sh: chunks 1/4 and 4/4" >&2
for k in 2 3; do "$fieldfx" render $operator source.mp4 --quiet --chunk $k/4 -o chunk$k.mp4; done
read -r c1 c1_disk c1_rss c1_cpu < <(measured "$fieldfx" render $operator source.mp4 --quiet --chunk 1/4 -o chunk1.mp4)
read -r c4 c4_disk c4_rss c4_cpu < <(measured "$fieldfx" render $operator source.mp4 --quiet --chunk 4/4 -o chunk4.mp4)
echo "programme.sh: join" >&2
read -r join join_disk join_rss join_cpu < <(measured "$fieldfx" join joined.mp4 chunk1.mp4 chunk2.mp4 chunk3.mp4 chunk4.mp4)

raw=$(( seconds * 25 * frame_bytes / 1024 / 1024 ))
cat <<EOF
Source: ${seconds} s of 1920x1080 interlaced (top first) H.264, 25 frames a second, -bf 3 -g 50, AAC audio;
$(du -m source.mp4 | cut -f1) MB coded, ${raw} MB as 8-bit 4:2:0 frames. Operator: $operator, output H.264 .mp4.
Machine: $(nproc) cores, load average $(cut -d' ' -f1 /proc/loadavg) at the end.

| Measure | Wall time (s) | CPU time (s) | Peak disk in /tmp + \$TMPDIR (MB) | Peak resident memory (MB) |
|---|---|---|---|---|
| First frame of a render on stdout | $first | | | |
| Whole render | $whole | $whole_cpu | $((whole_disk / 1024)) | $((whole_rss / 1024)) |
| ffmpeg -vf eq, same encode | $chain | $chain_cpu | $((chain_disk / 1024)) | $((chain_rss / 1024)) |
| Chunk 1/4 | $c1 | $c1_cpu | $((c1_disk / 1024)) | $((c1_rss / 1024)) |
| Chunk 4/4 | $c4 ($(echo "$c4 / $c1" | bc -l | xargs printf %.2f)x of 1/4) | $c4_cpu ($(echo "$c4_cpu / $c1_cpu" | bc -l | xargs printf %.2f)x) | $((c4_disk / 1024)) | $((c4_rss / 1024)) |
| Join of the four chunks | $join | $join_cpu | $((join_disk / 1024)) | $((join_rss / 1024)) |
EOF
