#!/usr/bin/env bash
# The portability gate must reject what cannot build for Windows and accept the portable ways.
set -uo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
gate="$root/scripts/wingate.sh"
fixtures="$root/tests/scripts/wingate"
failures=0

expect() { # expect STATUS DESCRIPTION GATE-ARGUMENTS...
    local want=$1 what=$2
    shift 2
    local output status
    output=$("$gate" "$@" 2>&1)
    status=$?
    if [[ $status -eq $want ]]; then
        echo "PASS  $what"
    else
        echo "FAIL  $what: gate exited $status, expected $want"
        echo "$output" | sed 's/^/      /'
        failures=$((failures + 1))
    fi
}

for file in "$fixtures"/reject/*; do
    expect 1 "rejects $(basename "$file")" "$file"
done
expect 0 "accepts the portable equivalents" "$fixtures/accept"
expect 0 "moc with the Windows macros matches the Windows class" "$fixtures/moc"
expect 1 "moc without the Windows macros is caught" --plain-moc "$fixtures/moc"
expect 2 "a missing path is an error, not a pass" "$fixtures/does-not-exist"

echo "wingate self-test: $failures failed"
((failures == 0))
