#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: the agent for 32-bit Windows
# (Qt for Windows is built once and cached; its tests run under Wine), and the Linux build twice,
# plainly and with AddressSanitizer and UndefinedBehaviorSanitizer. Ends with ctest's summaries.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
started=$SECONDS

scripts/install-deps.sh --test

scripts/win32-build.sh build-win32
scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DVELMORA_SANITIZE=ON
scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_WIN32_BUILD_DIR="$root/build-win32"

status=0
echo "== tests with AddressSanitizer and UndefinedBehaviorSanitizer"
(cd build-asan && ctest --output-on-failure --parallel 2 -LE nosanitize) || status=1
echo "== tests"
(cd build && ctest --output-on-failure --parallel 2) || status=1
echo "== tests of the Windows build, under Wine"
scripts/win32-test.sh build-win32 --parallel 2 || status=1
echo "== done in $(((SECONDS - started) / 60)) min $(((SECONDS - started) % 60)) s"
exit $status
