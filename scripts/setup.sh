#!/usr/bin/env bash
# One-time (and idempotent) set-up of a Debian 12 machine for building and testing
# the launcher: compilers, cross toolchains, libraries, Wine and the window-test tools,
# plus OpenSSL built for both MinGW targets and GoogleTest built for MinGW, and the 32-bit
# Debian root in which the i686 build runs under Debian's 32-bit Wine (scripts/i386-root.sh),
# mounted for the folder this script runs from.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
cache="${VANTREL_DEPS:-/var/cache/vantrel-deps}"

packages=(
  build-essential cmake ninja-build pkg-config perl dpkg-dev
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix
  libz-mingw-w64-dev zlib1g-dev libssl-dev
  nlohmann-json3-dev libcpp-httplib-dev libcurl4-openssl-dev libmicrohttpd-dev
  googletest libgtest-dev
  clang libclang-rt-14-dev
  wine wine64 xvfb xdotool imagemagick x11-utils
  nginx-light python3 python3-pytest p7zip-full zip unzip curl openssl strace
  minisign slowhttptest zsync zstd
  libsqlite3-dev libzip-dev chromium
  debootstrap qemu-user-static
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq || { echo "setup: apt-get update failed" >&2; exit 1; }
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null ||
    { echo "setup: installing ${missing[*]} failed" >&2; exit 1; }
fi

"$here/scripts/build-deps.sh" "$cache" || { echo "setup: building OpenSSL and GoogleTest for MinGW failed" >&2; exit 1; }
# Without the root only the i686 build's Wine tests are skipped, each saying why; the rest runs.
"$here/scripts/i386-root.sh" "$cache/i386-root" "$here" ||
  echo "setup: the 32-bit root for the i686 build isn't ready; its Wine tests will be skipped" >&2
