#!/usr/bin/env bash
# Configures and builds one build folder: scripts/build.sh BUILD_DIR [extra cmake arguments]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="$1"
shift
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
if [[ ! -f "$build_dir/CMakeCache.txt" ]]; then
    cmake -S "$root" -B "$build_dir" "${generator[@]}" "$@" >/dev/null
else
    cmake -S "$root" -B "$build_dir" "$@" >/dev/null
fi
cmake --build "$build_dir" --parallel "$(nproc)"
