#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: the agent for 32-bit Windows
# (Qt for Windows is built once and cached; its tests run under Wine), and the Linux build twice,
# plainly and with AddressSanitizer and UndefinedBehaviorSanitizer. Ends with ctest's summaries.
#
# The Windows build (the first time mostly Qt and TigerVNC for Windows) runs in the background at
# idle priority from the start, so that it takes only what the Linux builds leave and what the
# suites, which mostly wait on timers and sockets, do not use; it writes build-win32/build.log.
# The tests that need it, or the whole machine to themselves (label "quiet"), run once it is done.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
started=$SECONDS

scripts/install-deps.sh --test

idle=(chrt --idle 0)
"${idle[@]}" true 2>/dev/null || idle=(nice -n 19)
mkdir -p build-win32
win32_log="$root/build-win32/build.log"
# A process group of its own (job control), so that a failure here stops all of it; the same
# session, since the kernel may share the processors out between sessions first, whatever the
# policy of the processes within each.
set -m
"${idle[@]}" scripts/win32-build.sh build-win32 </dev/null >"$win32_log" 2>&1 &
win32_pid=$!
set +m
trap 'kill -- -$win32_pid 2>/dev/null || true' EXIT
echo "== the Windows build runs in the background: $win32_log"

# Line tables only: enough for the sanitizers' reports and for backtraces, and a quarter less
# compiling than full debug information (a developer's own build keeps that).
lines_only=(-DCMAKE_CXX_FLAGS_DEBUG=-g1 "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG")

scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DVELMORA_SANITIZE=ON "${lines_only[@]}"
status=0
echo "== tests with AddressSanitizer and UndefinedBehaviorSanitizer"
(cd build-asan && ctest --output-on-failure --parallel 2 -LE nosanitize) || status=1

scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo "${lines_only[@]}" \
    -DVELMORA_WIN32_BUILD_DIR="$root/build-win32"
echo "== tests"
(cd build && ctest --output-on-failure --parallel 2 -LE 'win32|quiet') || status=1

echo "== waiting for the Windows build"
if wait "$win32_pid"; then
    grep '^win32-' "$win32_log" || true
else
    tail -n 60 "$win32_log"
    echo "== the Windows build failed; its log: $win32_log"
    status=1
fi
trap - EXIT
echo "== tests that need the Windows build or a quiet machine"
(cd build && ctest --output-on-failure --parallel 2 -L 'win32|quiet') || status=1
echo "== tests of the Windows build, under Wine"
scripts/win32-test.sh build-win32 --parallel 2 || status=1
echo "== done in $(((SECONDS - started) / 60)) min $(((SECONDS - started) % 60)) s"
exit $status
