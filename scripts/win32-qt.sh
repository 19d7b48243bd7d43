#!/usr/bin/env bash
# Qt 5.15 for 32-bit Windows, built here with the i686 MinGW-w64 (posix threads) compilers:
# a static release qtbase from Debian's source package and qtwebsockets from Qt's own source
# tarball, installed to a cache folder outside the clone and reused while the configure line,
# the sources and the compiler stay the same.
#
#   scripts/win32-qt.sh            build it unless cached; the last line of standard output is
#                                  the installed prefix (progress goes to standard error)
#   scripts/win32-qt.sh --prefix   print the prefix that a build would use, build nothing
#
# Environment:
#   VELMORA_CACHE_DIR           cache folder (default /var/cache/velmora)
#   VELMORA_QTWEBSOCKETS_SOURCE qtwebsockets-everywhere-src-5.15.8.tar.xz (default: the copy in
#                               ../shared/third-party/ beside the clone)
# Packages (the compilers, make, perl) come from scripts/install-deps.sh --win32.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

qt_version=5.15.8
websockets_tarball=qtwebsockets-everywhere-src-${qt_version}.tar.xz
websockets_sha256=fc41c85326c6e5dbd0adad37d9fb608bae2c6fc9c00695d8a85c3fc4c1458a3f
websockets_tag=v${qt_version}-lts-lgpl
websockets_commit=658509543361fc698c1a2720219baabaa3ba59d5
websockets_url="https://code.qt.io/cgit/qt/qtwebsockets.git/tag/?h=${websockets_tag}"
websockets_source="${VELMORA_QTWEBSOCKETS_SOURCE:-$root/../shared/third-party/$websockets_tarball}"
cache="${VELMORA_CACHE_DIR:-/var/cache/velmora}"

# Only what the agent and its tests need: no SQL, XML, QtConcurrent, printing, bearer plugins or
# JPEG plugin, which also keeps the first build of a fresh machine shorter. The Debian tarball
# lacks the wintab sources that tablet events need. TLS comes from Windows' own Schannel, so that
# no OpenSSL is shipped.
configure_line=(
    -xplatform win32-g++ -device-option CROSS_COMPILE=i686-w64-mingw32-
    -static -release -opensource -confirm-license
    -nomake examples -nomake tests
    -no-opengl -no-dbus -no-icu -no-openssl -schannel -no-direct2d -no-feature-tabletevent
    -no-feature-sql -no-feature-xml -no-feature-concurrent -no-feature-printer
    -no-feature-bearermanagement -no-libjpeg
    -qt-zlib -qt-libpng -qt-pcre -qt-freetype -qt-harfbuzz
    -no-sql-db2 -no-sql-ibase -no-sql-mysql -no-sql-oci -no-sql-odbc -no-sql-psql
    -no-sql-sqlite -no-sql-sqlite2 -no-sql-tds
)

log() { printf 'win32-qt: %s\n' "$*" >&2; }
die() { printf 'win32-qt: %s\n' "$*" >&2; exit 1; }

compiler_version() {
    i686-w64-mingw32-g++-posix --version 2>/dev/null | head -n 1 || echo none
}

key=$(printf '%s\n' "$qt_version" "${configure_line[@]}" "$websockets_sha256" "$(compiler_version)" |
    sha256sum | cut -c1-12)
prefix="$cache/qt-$qt_version-win32-$key"

if [[ "${1:-}" == "--prefix" ]]; then
    echo "$prefix"
    exit 0
fi
if [[ -f "$prefix/.complete" ]]; then
    log "reusing $prefix"
    echo "$prefix"
    exit 0
fi

command -v i686-w64-mingw32-g++-posix >/dev/null ||
    die "i686-w64-mingw32-g++-posix is missing: run scripts/install-deps.sh --win32"

# Fail before the long build if the second source is not at hand.
source "$root/scripts/third-party.sh"
require_archive "$websockets_source" VELMORA_QTWEBSOCKETS_SOURCE "Qt WebSockets $qt_version" \
    "$websockets_tag" "$websockets_commit" "$websockets_url" "$websockets_sha256"

mkdir -p "$cache"
work="$cache/build-$key"
rm -rf "$work"
mkdir -p "$work"
started=$SECONDS

# Debian's default i686-w64-mingw32-g++ uses win32 threads; Qt wants the posix ones.
mkdir -p "$work/toolchain"
for tool in gcc g++ c++ cpp; do
    ln -s "/usr/bin/i686-w64-mingw32-$tool-posix" "$work/toolchain/i686-w64-mingw32-$tool"
done
export PATH="$work/toolchain:$PATH"

# qtbase's source package, through a deb-src entry beside the machine's own apt settings.
source "$root/scripts/debian-source.sh"
ensure_deb_src qtbase-opensource-src
mkdir -p "$work/download"
log "fetching qtbase's source package"
(cd "$work/download" && apt-get source --download-only -qq qtbase-opensource-src >/dev/null 2>&1) ||
    die "apt-get source qtbase-opensource-src failed"
orig=$(ls "$work/download"/qtbase-opensource-src_"$qt_version"*.orig.tar.xz 2>/dev/null | head -n 1)
[[ -n "$orig" ]] || die "the archive's qtbase source is not version $qt_version: $(ls "$work/download")"

log "unpacking $(basename "$orig")"
tar -xf "$orig" -C "$work"
qtbase_src=$(find "$work" -maxdepth 1 -type d -name 'qtbase-*' | head -n 1)
[[ -d "$qtbase_src" ]] || die "no qtbase folder in $(basename "$orig")"

# Prints how far a make run has come, once a minute, while it runs.
progress() {
    local what=$1 dir=$2 total=$3
    while sleep 60; do
        local done
        done=$(find "$dir" -name '*.o' -o -name '*.obj' 2>/dev/null | wc -l)
        log "$what: $done of about $total objects, $(((SECONDS - started) / 60)) min"
    done
}

run_logged() {
    local name=$1
    shift
    if ! "$@" >"$work/$name.log" 2>&1; then
        tail -n 40 "$work/$name.log" >&2
        die "$name failed; its log: $work/$name.log"
    fi
}

mkdir -p "$work/qtbase-build"
log "configuring qtbase (about 3 min)"
(cd "$work/qtbase-build" &&
    run_logged configure "$qtbase_src/configure" -prefix "$prefix" "${configure_line[@]}")

log "building qtbase (about 15 min on two cores)"
progress qtbase "$work/qtbase-build" 1400 &
progress_pid=$!
trap 'kill $progress_pid 2>/dev/null || true' EXIT
(cd "$work/qtbase-build" && run_logged qtbase-make make -j"$(nproc)")
(cd "$work/qtbase-build" && run_logged qtbase-install make install)
# qtbase names Schannel's import libraries as Windows spells them (Secur32, Crypt32); MinGW's are
# lower case, which a case-sensitive file system tells apart.
find "$prefix" \( -name '*.prl' -o -name '*.pc' -o -name '*.cmake' \) -exec \
    sed -i -e 's/-lSecur32/-lsecur32/g; s/-lCrypt32/-lcrypt32/g' {} +
kill $progress_pid 2>/dev/null || true
trap - EXIT

log "building qtwebsockets"
tar -xf "$websockets_source" -C "$work"
websockets_src=$(find "$work" -maxdepth 1 -type d -name 'qtwebsockets-*' | head -n 1)
[[ -d "$websockets_src" ]] || die "no qtwebsockets folder in $websockets_tarball"
# A git export carries no generated headers; with a .git folder qmake runs syncqt for them.
mkdir -p "$websockets_src/.git"
mkdir -p "$work/qtwebsockets-build"
(cd "$work/qtwebsockets-build" && run_logged qtwebsockets-qmake "$prefix/bin/qmake" "$websockets_src")
(cd "$work/qtwebsockets-build" && run_logged qtwebsockets-make make -j"$(nproc)")
(cd "$work/qtwebsockets-build" && run_logged qtwebsockets-install make install)

printf '%s\n' "${configure_line[@]}" >"$prefix/.configure-line"
touch "$prefix/.complete"
rm -rf "$work"
log "installed in $prefix after $(((SECONDS - started) / 60)) min"
echo "$prefix"
