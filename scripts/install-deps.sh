#!/usr/bin/env bash
# Installs what the project needs and is missing; silent when everything is there.
#   scripts/install-deps.sh          what building and running the demo needs
#   scripts/install-deps.sh --test   also what the tests need, the Windows build's included
#   scripts/install-deps.sh --win32  only what building Qt and the agent for Windows and running
#                                    them under Wine needs
set -euo pipefail

build_packages=(
    cmake g++ make ninja-build pkg-config
    qtbase5-dev qtbase5-dev-tools libqt5websockets5-dev nlohmann-json3-dev
    libboost-dev libboost-program-options-dev libssl-dev libhiredis-dev
    libx11-dev libxext-dev
)
run_packages=(
    tigervnc-scraping-server websockify xvfb xauth openbox xterm x11-utils novnc ca-certificates
)
test_packages=(
    tigervnc-tools vncsnapshot xtightvncviewer imagemagick x11-xserver-utils clang libclang-rt-14-dev
    g++-mingw-w64-i686 chromium xdotool openssl iproute2 redis-server redis-sentinel haproxy
    x11-xkb-utils
)
# Qt for Windows from source (perl, python3 and make build it), the cross compilers, and Wine
# (32-bit) with a display to run the results on. TigerVNC's Windows server builds against MinGW's
# zlib and, from Debian's sources, pixman (meson) and libjpeg-turbo (SIMD with nasm).
win32_packages=(
    g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686 make perl python3
    xz-utils cmake ninja-build nlohmann-json3-dev wine wine32:i386 xvfb xauth x11-utils
    imagemagick
    libz-mingw-w64-dev meson nasm dpkg-dev
)

wanted=()
case "${1:-}" in
--test) wanted=("${build_packages[@]}" "${run_packages[@]}" "${test_packages[@]}"
                "${win32_packages[@]}") ;;
--win32) wanted=("${win32_packages[@]}") ;;
*) wanted=("${build_packages[@]}" "${run_packages[@]}") ;;
esac
if [[ "${1:-}" != "--win32" ]]; then
    command -v node >/dev/null 2>&1 || wanted+=(nodejs)
    command -v npm >/dev/null 2>&1 || wanted+=(npm)
fi

missing=()
declare -A seen=()
for pkg in "${wanted[@]}"; do
    [[ -z "${seen[$pkg]:-}" ]] || continue
    seen[$pkg]=1
    status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$pkg")
done

if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # Wine's 32-bit half comes from the i386 architecture.
    if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
    fi
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

if [[ "${1:-}" == "--test" ]]; then
    web_tests="$(cd "$(dirname "$0")/.." && pwd)/tests/web"
    if [[ -f "$web_tests/package.json" && ! -d "$web_tests/node_modules/playwright-core" ]]; then
        (cd "$web_tests" && npm ci --silent --no-audit --no-fund >/dev/null)
    fi
fi
