# shellcheck shell=bash
# The setting the melt render tests (exact.sh, kdenlive.sh) share; sourced
# as `source common.sh NAME BUILD_DIR [TOOL...]`. Skips the test (exit 77)
# when melt, ffmpeg, python3 or another TOOL is missing outside CI, fails
# it in CI. Leaves the shell in a temporary directory removed at exit,
# with MLT reading the build's module directory, and defines:
#   build, fieldfx    the build directory and its fieldfx
#   fail, pass        count and print a result; finish ends the test
#   ff                ffmpeg, quiet, overwriting
#   same_y4m A B      the frames of two YUV4MPEG2 files equal, headers aside
#   y4m_frames IN FIRST COUNT OUT
#                     frames FIRST..FIRST+COUNT-1 of IN as a file of their own
test_name=$1
build=$(cd "$2" && pwd)
shift 2
source "$(dirname "${BASH_SOURCE[0]}")/../support/require_tools.sh"
require_tools "$test_name" melt ffmpeg python3 "$@"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
export HOME="$work" MLT_REPOSITORY="$build/lib/mlt-7"
unset MLT_DATA
# shellcheck disable=SC2034  # used by the scripts that source this
fieldfx="$build/bin/fieldfx"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*" >&2; }
ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }
finish() {
    if [ $failures -ne 0 ]; then
        echo "$test_name: $failures failure(s)" >&2
        exit 1
    fi
    echo "$test_name: all passed" >&2
}

same_y4m() {
    python3 - "$1" "$2" <<'PY'
import sys
frames = [open(p, 'rb').read().split(b'FRAME\n')[1:] for p in sys.argv[1:3]]
sys.exit(0 if frames[0] == frames[1] and len(frames[0]) > 0 else 1)
PY
}

y4m_frames() {
    python3 - "$@" <<'PY'
import sys
path, first, count, out = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
parts = open(path, 'rb').read().split(b'FRAME\n')
frames = parts[1:][first:first + count]
if len(frames) != count:
    sys.exit(f"{path}: has no frames {first}..{first + count - 1}")
open(out, 'wb').write(parts[0] + b''.join(b'FRAME\n' + f for f in frames))
PY
}
