#!/usr/bin/env bash
# TigerVNC's VNC server for Windows, winvnc4.exe, built here for 32-bit Windows with the i686
# MinGW-w64 (posix threads) compilers: static, so that it imports Windows' own DLLs only. Its
# libraries come from Debian: zlib from libz-mingw-w64-dev, pixman and libjpeg-turbo from their
# source packages (with Debian's patches). Installed to a cache folder outside the clone and reused
# while the sources, the options and the compiler stay the same.
#
#   scripts/win32-tigervnc.sh            build it unless cached; the last line of standard output
#                                        is the path of winvnc4.exe (progress goes to standard error)
#
# Environment:
#   VELMORA_CACHE_DIR        cache folder (default /var/cache/velmora)
#   VELMORA_TIGERVNC_SOURCE  tigervnc-1.12.0.tar.xz (default: the copy in ../shared/third-party/
#                            beside the clone)
# Packages (the compilers, meson, nasm, dpkg-dev, MinGW's zlib) come from
# scripts/install-deps.sh --win32.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

tigervnc_version=1.12.0
tigervnc_tarball=tigervnc-${tigervnc_version}.tar.xz
tigervnc_sha256=06d042a145740fe94303e80fa8ce40a0a69553353ddb0d0a34b9df25b4cb1fc5
tigervnc_tag=v${tigervnc_version}
tigervnc_commit=f1f65c5904e6143cd242c0f1c53d7f8147dabd74
tigervnc_url="https://github.com/TigerVNC/tigervnc/releases/tag/${tigervnc_tag}"
tigervnc_source="${VELMORA_TIGERVNC_SOURCE:-$root/../shared/third-party/$tigervnc_tarball}"
pixman_version=0.42.2
jpeg_version=2.1.5
cache="${VELMORA_CACHE_DIR:-/var/cache/velmora}"
host=i686-w64-mingw32

pixman_options=(
    --buildtype=release -Ddefault_library=static
    -Dtests=disabled -Dgtk=disabled -Dlibpng=disabled -Dopenmp=disabled
)
jpeg_options=(
    -DCMAKE_BUILD_TYPE=Release -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_TURBOJPEG=OFF
    -DWITH_SIMD=ON -DREQUIRE_SIMD=ON
)
# Server only. Without CMP0060 CMake turns the static zlib into -Wl,-Bstatic -lz -Wl,-Bdynamic,
# after which the program imports the compiler's DLLs despite -static.
tigervnc_options=(
    -DCMAKE_BUILD_TYPE=Release -DBUILD_VIEWER=0 -DENABLE_NLS=0 -DENABLE_GNUTLS=0
    -DCMAKE_POLICY_DEFAULT_CMP0060=NEW
    "-DCMAKE_EXE_LINKER_FLAGS=-static -static-libgcc -static-libstdc++"
)

log() { printf 'win32-tigervnc: %s\n' "$*" >&2; }
die() { printf 'win32-tigervnc: %s\n' "$*" >&2; exit 1; }

command -v $host-g++-posix >/dev/null ||
    die "$host-g++-posix is missing: run scripts/install-deps.sh --win32"
for tool in meson nasm dpkg-source; do
    command -v $tool >/dev/null || die "$tool is missing: run scripts/install-deps.sh --win32"
done
[[ -f /usr/$host/lib/libz.a ]] || die "MinGW's zlib is missing: run scripts/install-deps.sh --win32"

source "$root/scripts/third-party.sh"
require_archive "$tigervnc_source" VELMORA_TIGERVNC_SOURCE "TigerVNC $tigervnc_version" \
    "$tigervnc_tag" "$tigervnc_commit" "$tigervnc_url" "$tigervnc_sha256"

source "$root/scripts/debian-source.sh"
ensure_deb_src pixman
# The source packages as the archive describes them: their .dsc hashes join the cache key.
dsc_hashes() {
    apt-get source --print-uris "$1" 2>/dev/null | grep -o '[^ ]*\.dsc [0-9]* SHA256:[0-9a-f]*' ||
        die "apt-get cannot find the source package $1"
}

key=$(printf '%s\n' "$tigervnc_sha256" "$(dsc_hashes pixman)" "$(dsc_hashes libjpeg-turbo)" \
    "${pixman_options[@]}" "${jpeg_options[@]}" "${tigervnc_options[@]}" \
    "$($host-g++-posix --version | head -n 1)" "$(nasm -v)" "$(meson --version)" |
    sha256sum | cut -c1-12)
prefix="$cache/tigervnc-$tigervnc_version-win32-$key"
# The complete source of what winvnc4.exe holds, which its licence (GPL) says goes with it: the
# source packages as fetched (with Debian's patches and packaging), TigerVNC's export, and the
# scripts that built it.
collect_sources() {
    local dir="$prefix/source" download="$prefix/source.tmp"
    rm -rf "$download"
    mkdir -p "$download"
    for package in pixman libjpeg-turbo libz-mingw-w64; do
        (cd "$download" && apt-get source --download-only -qq "$package" >/dev/null 2>&1) || true
        ls "$download/${package}_"*.dsc >/dev/null 2>&1 ||
            die "apt-get source $package fetched nothing"
    done
    cp "$tigervnc_source" "$root/scripts/win32-tigervnc.sh" "$root/scripts/debian-source.sh" \
        "$download/"
    # The archive may not serve every file a .dsc names (here: pixman's diff, libz-mingw-w64's
    # tarballs); the .dsc still names each file and its hash, as Debian keeps them.
    {
        echo "winvnc4.exe: TigerVNC $tigervnc_version (commit $tigervnc_commit), built by"
        echo "win32-tigervnc.sh (with debian-source.sh) against Debian's source packages:"
        for dsc in "$download"/*.dsc; do
            echo "  $(basename "$dsc"):"
            sed -n '/^Checksums-Sha256:/,/^[^ ]/{/^ /p}' "$dsc" | while read -r sum _ file; do
                if [[ -f "$download/$file" ]]; then
                    echo "    $file  SHA-256 $sum"
                else
                    echo "    $file  SHA-256 $sum (not served by the archive at build time)"
                fi
            done
        done
    } >"$download/SOURCES.txt"
    rm -rf "$dir"
    mv "$download" "$dir"
}

if [[ -f "$prefix/.complete" ]]; then
    log "reusing $prefix"
    [[ -d "$prefix/source" ]] || collect_sources
    echo "$prefix/winvnc4.exe"
    exit 0
fi

mkdir -p "$cache"
work="$cache/build-tigervnc-$key"
rm -rf "$work"
mkdir -p "$work/download" "$work/deps"
started=$SECONDS

run_logged() {
    local name=$1
    shift
    if ! "$@" >"$work/$name.log" 2>&1; then
        tail -n 40 "$work/$name.log" >&2
        die "$name failed; its log: $work/$name.log"
    fi
}

# Fetches a source package; prints its .dsc. Files the archive fails to serve are left out.
fetch_source() {
    local package=$1 version=$2
    (cd "$work/download" && apt-get source --download-only -qq "$package" >/dev/null 2>&1) || true
    local dsc
    dsc=$(ls "$work/download/${package}_${version}"-*.dsc 2>/dev/null | head -n 1)
    [[ -n "$dsc" ]] || die "the archive's $package is not version $version: $(ls "$work/download")"
    echo "$dsc"
}

cat >"$work/toolchain.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER $host-gcc-posix)
set(CMAKE_CXX_COMPILER $host-g++-posix)
set(CMAKE_RC_COMPILER $host-windres)
set(CMAKE_ASM_NASM_COMPILER nasm)
set(CMAKE_FIND_ROOT_PATH "$work/deps" /usr/$host)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
EOF
cat >"$work/meson-cross.txt" <<EOF
[binaries]
c = '$host-gcc-posix'
ar = '$host-ar'
strip = '$host-strip'
windres = '$host-windres'

[host_machine]
system = 'windows'
cpu_family = 'x86'
cpu = 'i686'
endian = 'little'
EOF

log "building pixman $pixman_version"
# The archive does not serve pixman's Debian diff, which holds only packaging: the upstream
# tarball, as apt-get checked it against the source package's hashes, is the whole source.
fetch_source pixman $pixman_version >/dev/null
pixman_orig="$work/download/pixman_$pixman_version.orig.tar.gz"
[[ -f "$pixman_orig" ]] || die "apt-get source pixman did not fetch $(basename "$pixman_orig")"
tar -xf "$pixman_orig" -C "$work"
pixman_src="$work/pixman-$pixman_version"
run_logged pixman-setup meson setup "$work/pixman-build" "$pixman_src" \
    --cross-file "$work/meson-cross.txt" --prefix "$work/deps" --libdir lib "${pixman_options[@]}"
run_logged pixman-install meson install -C "$work/pixman-build"

log "building libjpeg-turbo $jpeg_version"
jpeg_src="$work/libjpeg-turbo"
run_logged jpeg-unpack dpkg-source -x "$(fetch_source libjpeg-turbo $jpeg_version)" "$jpeg_src"
run_logged jpeg-configure cmake -S "$jpeg_src" -B "$work/jpeg-build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$work/toolchain.cmake" -DCMAKE_INSTALL_PREFIX="$work/deps" \
    "${jpeg_options[@]}"
run_logged jpeg-install cmake --build "$work/jpeg-build" --target install

log "building winvnc4.exe"
tar -xf "$tigervnc_source" -C "$work"
tigervnc_src="$work/tigervnc-$tigervnc_version"
[[ -d "$tigervnc_src" ]] || die "no tigervnc-$tigervnc_version folder in $tigervnc_tarball"
run_logged tigervnc-configure cmake -S "$tigervnc_src" -B "$work/tigervnc-build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$work/toolchain.cmake" \
    -DZLIB_INCLUDE_DIR=/usr/$host/include -DZLIB_LIBRARY=/usr/$host/lib/libz.a \
    -DPIXMAN_INCLUDE_DIR="$work/deps/include/pixman-1" -DPIXMAN_LIBRARY="$work/deps/lib/libpixman-1.a" \
    -DJPEG_INCLUDE_DIR="$work/deps/include" -DJPEG_LIBRARY="$work/deps/lib/libjpeg.a" \
    "${tigervnc_options[@]}"
run_logged tigervnc-build cmake --build "$work/tigervnc-build" --target winvnc4

exe=$(find "$work/tigervnc-build" -name winvnc4.exe | head -n 1)
[[ -f "$exe" ]] || die "the build made no winvnc4.exe"
# Imports only Windows' own DLLs, none of the compiler's.
imports=$($host-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
if grep -qiE 'libstdc|libgcc|winpthread|zlib|libz|pixman|jpeg' <<<"$imports"; then
    die "winvnc4.exe imports libraries that Windows lacks: $(tr '\n' ' ' <<<"$imports")"
fi

rm -rf "$prefix"
mkdir -p "$prefix"
$host-strip -o "$prefix/winvnc4.exe" "$exe"
# The licences of what the program holds, for the package.
mkdir -p "$prefix/licences"
cp "$tigervnc_src/LICENCE.TXT" "$prefix/licences/TigerVNC-LICENCE.txt"
cp "$pixman_src/COPYING" "$prefix/licences/pixman-COPYING.txt"
cp "$jpeg_src/LICENSE.md" "$prefix/licences/libjpeg-turbo-LICENSE.md"
cp "$jpeg_src/README.ijg" "$prefix/licences/libjpeg-turbo-README.ijg"
cp /usr/share/doc/libz-mingw-w64-dev/copyright "$prefix/licences/zlib-copyright.txt"
collect_sources
printf '%s\n' "${tigervnc_options[@]}" >"$prefix/.options"
touch "$prefix/.complete"
rm -rf "$work"
log "installed in $prefix after $(((SECONDS - started) / 60)) min"
echo "$prefix/winvnc4.exe"
