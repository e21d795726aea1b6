#!/usr/bin/env bash
# The launcher under Wine against bare programs making the same Windows calls, in one prefix a
# build and one run: first check, unchanged run, small-file and 1 GiB downloads, hashing against
# openssl dgst (bench/wine_speed_bench.py says what each ratio compares), for the x86_64 twin
# under the host's Wine and the i686 release inside the 32-bit root, side by side. Builds the
# native, win64 and win32 trees and mounts the root first.
# Not part of the test command. Usage: bench/run-wine-bench.sh [wine_speed_bench.py arguments]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
"$here/scripts/build.sh" native win64 win32 >/dev/null
"$here/scripts/i386-root.sh" "${VANTREL_DEPS:-/var/cache/vantrel-deps}/i386-root" "$here"
exec /usr/bin/python3 "$here/bench/wine_speed_bench.py" "$@"
