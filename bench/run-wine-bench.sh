#!/usr/bin/env bash
# The launcher under Wine against bare programs making the same Windows calls, in one prefix and
# one run: first check, unchanged run, small-file and 1 GiB downloads (bench/wine_speed_bench.py
# says what each ratio compares). Builds the native and win64 trees first.
# Not part of the test command. Usage: bench/run-wine-bench.sh [wine_speed_bench.py arguments]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
"$here/scripts/build.sh" native win64 >/dev/null
exec /usr/bin/python3 "$here/bench/wine_speed_bench.py" "$@"
