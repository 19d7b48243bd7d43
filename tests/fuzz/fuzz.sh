#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs one of them.
#   tests/fuzz/fuzz.sh TARGET [SECONDS] [BUILD_DIR]     TARGET: clientmessage | fastpath
# The target works in a temporary directory, so every path given to it is absolute. The run
# starts from the saved corpus and writes what it finds to BUILD_DIR/corpus-TARGET; new
# inputs worth keeping can be reduced into tests/fuzz/corpus/TARGET with -merge=1 by hand.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
target="${1:?usage: fuzz.sh clientmessage|fastpath [SECONDS] [BUILD_DIR]}"
seconds="${2:-60}"
build="${3:-$root/build-fuzz}"
cxx="$(command -v clang++-14 || command -v clang++)"
cc="$(command -v clang-14 || command -v clang)"

if [[ ! -f "$build/CMakeCache.txt" ]]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" -DVELMORA_FUZZ=ON >/dev/null
fi
cmake --build "$build" --target "fuzz_$target"

work="$build/corpus-$target"
mkdir -p "$work"
cd "$build"
# Qt widgets are not involved; keep Qt quiet and let libFuzzer stop at the first finding.
QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=1 \
    "$build/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
    -artifact_prefix="$build/" \
    -max_len=65536 "$work" "$root/tests/fuzz/corpus/$target"
