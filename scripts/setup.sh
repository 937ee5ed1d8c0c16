#!/usr/bin/env bash
# Prepares a checkout for work on a Debian 12 machine: installs the cross toolchain, Wine and the
# test libraries when they are missing, configures the project in build/ (which fetches SQLite at
# a pinned version and checks its hash once, see cmake/Sqlite.cmake), builds it, and creates the
# project's own Wine prefix in build/wineprefix (never the user's default prefix).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}

# ca-certificates: the configure step downloads SQLite over HTTPS (cmake/Sqlite.cmake).
# gcovr: the coverage report (scripts/coverage.sh).
# osslsigncode, openssl: signing a release (scripts/release.sh) and its test's throwaway certificate.
packages=(g++-mingw-w64-x86-64-posix mingw-w64-tools wine64 wine libwine-dev cmake ninja-build
          googletest nlohmann-json3-dev wixl msitools ca-certificates gcovr osslsigncode openssl)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "setup: installing ${missing[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
fi

if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$root" -B "$build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-posix.cmake" \
        -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} ${CONFIGURE_ARGS:-} >/dev/null
fi
# SETUP_TARGETS: build only these targets (the mutation run builds per mutant what it needs).
cmake --build "$build" ${SETUP_TARGETS:+--target $SETUP_TARGETS}

export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "setup: creating the Wine prefix $WINEPREFIX"
    wineboot -u >/dev/null 2>&1 || true
fi
# A crash must exit with a failing status: no automatic crash debugger in the prefix.
"$root/scripts/crash-debugger-off.sh" "$WINEPREFIX"
# Keep one wineserver alive for the whole run: every later wine start is then quick.
wineserver -p 60 >/dev/null 2>&1 || true
