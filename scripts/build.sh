#!/usr/bin/env bash
# Configures and builds the trees the tests and the demo use, each in build/<name>:
# native, asan, tsan, fuzz (clang), win64 (x86_64 launcher + Wine tests), win32 (i686 release).
# Usage: scripts/build.sh [all | native | win64 | NAME...]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
cd "$here"
export VANTREL_DEPS="${VANTREL_DEPS:-/var/cache/vantrel-deps}"
jobs="$(nproc)"

configure() {  # name, extra cmake args...
  local name="$1"; shift
  if [ ! -f "build/$name/build.ninja" ]; then
    cmake -S . -B "build/$name" -G Ninja "$@" >/dev/null
  fi
}

build_one() {
  case "$1" in
    native) configure native ;;
    asan) configure asan -DVANTREL_SANITIZE=address ;;
    tsan) configure tsan -DVANTREL_SANITIZE=thread ;;
    fuzz) CC=clang CXX=clang++ configure fuzz -DVANTREL_FUZZ=ON ;;
    win64) configure win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Release ;;
    win32) configure win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release ;;
    *) echo "unknown build $1" >&2; return 2 ;;
  esac
  echo "== build $1"
  cmake --build "build/$1" -j"$jobs"
}

targets=("$@")
[ "${#targets[@]}" -eq 0 ] && targets=(all)
[ "${targets[0]}" = all ] && targets=(native asan tsan fuzz win64 win32)
for t in "${targets[@]}"; do build_one "$t"; done
