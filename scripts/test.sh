#!/usr/bin/env bash
# Installs what is missing, builds everything twice (plain, and with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs every test in both builds; ends with ctest's summary.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

scripts/install-deps.sh --test

scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DVELMORA_SANITIZE=ON
scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo

status=0
echo "== tests with AddressSanitizer and UndefinedBehaviorSanitizer"
(cd build-asan && ctest --output-on-failure --parallel 2 -LE nosanitize) || status=1
echo "== tests"
(cd build && ctest --output-on-failure --parallel 2) || status=1
exit $status
