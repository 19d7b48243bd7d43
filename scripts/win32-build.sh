#!/usr/bin/env bash
# Builds the agent for 32-bit Windows: Qt for Windows (scripts/win32-qt.sh) and TigerVNC's
# winvnc4.exe (scripts/win32-tigervnc.sh) first, both cached, then velmora.exe, the Windows
# stand-ins, the agent's test suites and velmora-win32.zip.
#   scripts/win32-build.sh [BUILD_DIR]     (default build-win32)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="${1:-$root/build-win32}"

qt_prefix=$("$root/scripts/win32-qt.sh" | tail -n 1)
winvnc4=$("$root/scripts/win32-tigervnc.sh" | tail -n 1)
if [[ ! -f "$build_dir/CMakeCache.txt" ]]; then
    cmake -S "$root" -B "$build_dir" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$root/scripts/win32-toolchain.cmake" \
        -DVELMORA_WIN32_QT="$qt_prefix" -DVELMORA_WIN32_WINVNC4="$winvnc4" \
        -DCMAKE_BUILD_TYPE=Release >/dev/null
else
    cmake -S "$root" -B "$build_dir" -DVELMORA_WIN32_QT="$qt_prefix" \
        -DVELMORA_WIN32_WINVNC4="$winvnc4" >/dev/null
fi
cmake --build "$build_dir" --parallel "$(nproc)"
