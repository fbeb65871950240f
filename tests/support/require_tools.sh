# Sourced by the host test scripts: require_tools NAME TOOL... ends the
# script when a tool is missing, with 77 (ctest's "skipped") outside CI and
# with 1 in CI, where tools/install-deps must have installed it.
require_tools() {
    local name=$1 tool
    shift
    for tool in "$@"; do
        if ! command -v "$tool" >/dev/null; then
            echo "$name: $tool is not installed (tools/install-deps installs it)" >&2
            [ "${CI:-}" = true ] && exit 1
            exit 77
        fi
    done
}
