#!/usr/bin/env bash
# All benchmarks (not part of the test command): each bench/run-*.sh prints its ratios
# against the peer tools measured in the same run, and peak memory.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
cd "$here"
"$here/scripts/setup.sh"
"$here/scripts/build.sh" native
status=0
for runner in bench/run-*.sh; do
  [ -x "$runner" ] || continue
  echo "== $runner"
  "$runner" || status=1
done
exit $status
