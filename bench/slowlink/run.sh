#!/usr/bin/env bash
# The slow-link benchmark (see slowlink.mjs): our page against direct noVNC over a tbf-shaped
# link between network namespaces. Needs root (namespaces, tc), Xvfb, websockify, noVNC,
# Chromium and playwright-core (scripts/install-deps.sh --test); exits 77 (skipped) without them.
#   bench/slowlink/run.sh [BUILD_DIR] [options of slowlink.mjs]
# BUILD_DIR defaults to build/ beside this checkout; options: run with --help.
set -u
here="$(cd "$(dirname "$0")" && pwd)"
source_dir="$(cd "$here/../.." && pwd)"
build="$source_dir/build"
if [[ $# -gt 0 && "$1" != --* ]]; then
    build="$(cd "$1" && pwd)" || exit 2
    shift
fi

skip() {
    echo "SKIP: $*"
    exit 77
}
((EUID == 0)) || skip "needs root for network namespaces and tc"
for tool in node ip tc Xvfb websockify /usr/bin/chromium; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed"
done
[[ -f /usr/share/novnc/vnc.html ]] || skip "noVNC (Debian package novnc) is not installed"
[[ -d "$source_dir/tests/web/node_modules/playwright-core" ]] ||
    skip "playwright-core is not installed (scripts/install-deps.sh --test runs npm ci)"
# Network namespaces need the kernel's support and the right to make them (not in every
# container).
probe="vslprobe$$"
ip netns add "$probe" 2>/dev/null || skip "cannot create network namespaces here"
ip netns del "$probe"

binaries=(
    --server "$build/server/velmora-server"
    --agent "$build/app/velmora"
    --readpassword "$build/scripts/velmora-readpassword"
    --desktop "$build/bench/slowlink/velmora-slowlink-desktop"
    --delayline "$build/bench/slowlink/velmora-slowlink-delayline"
)
for ((i = 1; i < ${#binaries[@]}; i += 2)); do
    [[ -x "${binaries[$i]}" ]] || { echo "${binaries[$i]} is not built" >&2; exit 2; }
done
exec node "$here/slowlink.mjs" "${binaries[@]}" "$@"
