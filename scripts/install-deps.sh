#!/usr/bin/env bash
# Installs what the project needs and is missing; silent when everything is there.
#   scripts/install-deps.sh          what building and running the demo needs
#   scripts/install-deps.sh --test   also what the tests need
set -euo pipefail

build_packages=(
    cmake g++ make ninja-build pkg-config
    qtbase5-dev qtbase5-dev-tools libqt5websockets5-dev nlohmann-json3-dev
    libboost-dev libboost-program-options-dev libssl-dev
)
run_packages=(
    tigervnc-scraping-server websockify xvfb xauth openbox xterm x11-utils novnc
)
test_packages=(
    tigervnc-tools vncsnapshot xtightvncviewer imagemagick x11-xserver-utils clang libclang-rt-14-dev
    g++-mingw-w64-i686 chromium xdotool
)

wanted=("${build_packages[@]}" "${run_packages[@]}")
if [[ "${1:-}" == "--test" ]]; then
    wanted+=("${test_packages[@]}")
fi
command -v node >/dev/null 2>&1 || wanted+=(nodejs)
command -v npm >/dev/null 2>&1 || wanted+=(npm)

missing=()
for pkg in "${wanted[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$pkg")
done

if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

if [[ "${1:-}" == "--test" ]]; then
    web_tests="$(cd "$(dirname "$0")/.." && pwd)/tests/web"
    if [[ -f "$web_tests/package.json" && ! -d "$web_tests/node_modules/playwright-core" ]]; then
        (cd "$web_tests" && npm ci --silent --no-audit --no-fund >/dev/null)
    fi
fi
