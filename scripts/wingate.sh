#!/usr/bin/env bash
# Portability gate for the 32-bit Windows target.
#
# Checks the agent's sources with the 32-bit MinGW-w64 cross compiler (-fsyntax-only) against the
# installed Qt 5 headers, and runs moc on the agent's headers as a Windows build would (with the
# Windows compiler's predefined macros) and checks moc's output the same way. POSIX-only headers
# and the POSIX-named calls that MinGW ships as deprecated compatibility functions are errors.
#
# This proves that the code compiles for Windows with this Qt's headers, in seconds and without
# Qt for Windows; the Windows build (scripts/win32-build.sh) compiles, links and runs it for real.
# Files named *_posix.cpp are the Unix half of a platform pair and are left out.
#
#   scripts/wingate.sh                 check the agent (app, client, vnc, credentials, protocol) and websockify.exe
#   scripts/wingate.sh PATH...         check these files or folders instead
#   scripts/wingate.sh --plain-moc ... run moc without the Windows macros (for the gate's own tests)
set -uo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
cxx=i686-w64-mingw32-g++-posix
plain_moc=0
if [[ "${1:-}" == "--plain-moc" ]]; then
    plain_moc=1
    shift
fi

if ! command -v "$cxx" >/dev/null 2>&1; then
    echo "wingate: $cxx not found (Debian package g++-mingw-w64-i686)" >&2
    exit 2
fi
qt_headers=$(qmake -query QT_INSTALL_HEADERS 2>/dev/null || true)
[[ -d "$qt_headers" ]] || qt_headers=/usr/include/x86_64-linux-gnu/qt5
qt_bins=$(qmake -query QT_INSTALL_BINS 2>/dev/null || true)
[[ -x "$qt_bins/moc" ]] || qt_bins=/usr/lib/qt5/bin
nlohmann_dir=/usr/include/nlohmann
for need in "$qt_headers/QtCore/qglobal.h" "$qt_bins/moc" "$qt_bins/uic" "$nlohmann_dir/json.hpp"; do
    if [[ ! -e "$need" ]]; then
        echo "wingate: missing $need" >&2
        exit 2
    fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The Windows compiler's own macros, for moc.
"$cxx" -std=c++17 -dM -E -x c++ /dev/null >"$work/windows-macros.h"

# POSIX-only headers that MinGW happens to ship: first on the path, each only an #error.
for header in unistd.h dirent.h strings.h libgen.h getopt.h sys/time.h sys/param.h; do
    mkdir -p "$work/posix-only/$(dirname "$header")"
    printf '#error "<%s> is POSIX-only: use Qt, or guard the platform call with Q_OS_UNIX"\n' \
        "$header" >"$work/posix-only/$header"
done

# nlohmann-json through a folder that holds only it: /usr/include must stay off the path.
mkdir -p "$work/json"
ln -s "$nlohmann_dir" "$work/json/nlohmann"

mkdir -p "$work/generated"
qt_includes=(-isystem "$qt_headers")
for module in QtCore QtGui QtWidgets QtNetwork QtWebSockets; do
    qt_includes+=(-isystem "$qt_headers/$module")
done
# __MINGW_MSVC_COMPAT_WARNINGS turns MinGW's POSIX-named functions (umask, chmod, open, ...) into
# deprecation errors; the two _CRT_SECURE settings silence only MSVC's "unsafe function" advice on
# memcpy and the like, which is no portability fault. Warnings are errors: a long that overflows
# at 32 bits is only a warning otherwise.
cxxflags=(-std=c++17 -fsyntax-only -Wall -Wextra -Werror
    -DUNICODE -D_UNICODE -DWIN32
    -D__MINGW_MSVC_COMPAT_WARNINGS -D_CRT_SECURE_NO_WARNINGS -D_CRT_SECURE_CPP_OVERLOAD_STANDARD_NAMES=1
    -DQT_NO_DEPRECATED_WARNINGS -Werror=deprecated-declarations
    -I"$work/posix-only" -I"$root" -I"$work/generated" "${qt_includes[@]}" -isystem "$work/json")

if (($#)); then
    targets=("$@")
else
    targets=("$root/app" "$root/client" "$root/vnc" "$root/credentials" "$root/protocol"
             "$root/platform/websockify")
fi
sources=()
headers=()
forms=()
for target in "${targets[@]}"; do
    if [[ -d "$target" ]]; then
        while IFS= read -r -d '' file; do
            case "$file" in
            *_posix.cpp) ;; # the Unix half of a platform pair; the Windows build has its own
            *.cpp) sources+=("$file") ;;
            *.h) headers+=("$file") ;;
            *.ui) forms+=("$file") ;;
            esac
        done < <(find "$target" -maxdepth 1 -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.ui' \) -print0 | sort -z)
    elif [[ -f "$target" ]]; then
        case "$target" in
        *.cpp) sources+=("$target") ;;
        *.h) headers+=("$target") ;;
        *.ui) forms+=("$target") ;;
        esac
    else
        echo "wingate: no such file or folder: $target" >&2
        exit 2
    fi
done

failures=0
checked=0
check() { # check LABEL FILE
    if "$cxx" "${cxxflags[@]}" "$2" 2>"$work/errors"; then
        echo "ok      $1"
    else
        echo "FAILED  $1"
        sed 's/^/        /' "$work/errors"
        failures=$((failures + 1))
    fi
    checked=$((checked + 1))
}

for form in ${forms[@]+"${forms[@]}"}; do
    name=$(basename "$form" .ui)
    if ! "$qt_bins/uic" "$form" -o "$work/generated/ui_$name.h"; then
        echo "FAILED  uic ${form#"$root"/}"
        failures=$((failures + 1))
    fi
done

moc_macros=(--include "$work/windows-macros.h" -DUNICODE -DWIN32)
((plain_moc)) && moc_macros=()
for header in ${headers[@]+"${headers[@]}"}; do
    grep -q 'Q_OBJECT\|Q_GADGET' "$header" || continue
    out="$work/generated/moc_$(basename "$header" .h).cpp"
    if ! "$qt_bins/moc" ${moc_macros[@]+"${moc_macros[@]}"} -I"$root" \
        -I"$qt_headers" -I"$qt_headers/QtCore" "$header" -o "$out" 2>"$work/errors"; then
        echo "FAILED  moc ${header#"$root"/}"
        sed 's/^/        /' "$work/errors"
        failures=$((failures + 1))
        continue
    fi
    check "moc ${header#"$root"/}" "$out"
done

for source in ${sources[@]+"${sources[@]}"}; do
    check "${source#"$root"/}" "$source"
done

if ((checked == 0)); then
    echo "wingate: nothing to check" >&2
    exit 2
fi
echo "wingate: $checked checked for 32-bit Windows, $failures failed"
((failures == 0))
