#!/usr/bin/env bash
# Builds what Debian does not package for MinGW: OpenSSL's libcrypto (from Debian's own
# source package, assembly enabled) and GoogleTest, for x86_64 and i686. The results are
# cached outside the work tree and reused; a second run only checks the stamps.
set -euo pipefail
cache="${1:-/var/cache/vantrel-deps}"
mkdir -p "$cache"
jobs="$(nproc)"

fetch_openssl_source() {
  local src="$cache/src"
  if ls "$src"/openssl_*.orig.tar.gz >/dev/null 2>&1; then return; fi
  mkdir -p "$src"
  if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src' /etc/apt/sources.list; then
    cat > /etc/apt/sources.list.d/vantrel-src.sources <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    apt-get update -qq
  fi
  # The upstream tarball arrives even when the Debian parts of a newer update do not.
  (cd "$src" && apt-get source --download-only openssl >/dev/null 2>&1) || true
  ls "$src"/openssl_*.orig.tar.gz >/dev/null 2>&1 || { echo "build-deps: no OpenSSL source" >&2; exit 1; }
}

build_openssl() {  # $1 = triple, $2 = OpenSSL target
  local triple="$1" target="$2" prefix="$cache/$1"
  [ -f "$prefix/.openssl-done" ] && return
  fetch_openssl_source
  local work; work="$(mktemp -d)"
  tar -xzf "$(ls "$cache"/src/openssl_*.orig.tar.gz | head -1)" -C "$work"
  local dir; dir="$(ls -d "$work"/openssl-* | head -1)"
  echo "build-deps: OpenSSL for $triple"
  (cd "$dir" && ./Configure "$target" --cross-compile-prefix="$triple-" --prefix="$prefix" \
       --libdir=lib no-shared no-tests no-engine no-dso no-module >/dev/null &&
   make -s -j"$jobs" build_libs >/dev/null 2>&1 && make -s install_dev >/dev/null 2>&1)
  rm -rf "$work"
  touch "$prefix/.openssl-done"
}

build_gtest() {  # $1 = triple
  local triple="$1" prefix="$cache/$1"
  [ -f "$prefix/.gtest-done" ] && return
  echo "build-deps: GoogleTest for $triple"
  local work; work="$(mktemp -d)"
  cmake -S /usr/src/googletest -B "$work" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_C_COMPILER="$triple-gcc-posix" \
    -DCMAKE_CXX_COMPILER="$triple-g++-posix" -DCMAKE_INSTALL_PREFIX="$prefix" \
    -Dgtest_disable_pthreads=OFF -DBUILD_GMOCK=OFF >/dev/null
  cmake --build "$work" >/dev/null
  cmake --install "$work" >/dev/null
  rm -rf "$work"
  touch "$prefix/.gtest-done"
}

for t in x86_64-w64-mingw32:mingw64 i686-w64-mingw32:mingw; do
  build_openssl "${t%%:*}" "${t##*:}"
  build_gtest "${t%%:*}"
done
