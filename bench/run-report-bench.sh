#!/usr/bin/env bash
# Log report benchmarks, natively (not part of the test command):
#   1. Anonymizer throughput on a 2 MiB log with four names (eight rules), in MB/s;
#   2. packing a 22 MiB report against gzip -6 on the same bytes: sizes side by side and the
#      time ratio gzip / pack (1.0 means as fast as gzip);
#   3. gathering a full-size report from a generated tree: time and peak memory.
# Usage: bench/run-report-bench.sh
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$here/build/bench-native"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
ninja -C "$build" -j2 report_bench >/dev/null
work="$(mktemp -d /tmp/vantrel-report-bench.XXXXXX)"
trap 'rm -rf "$work"' EXIT
field() { sed -n "s/^$1: //p" <<<"$2"; }
now() { date +%s.%N; }

echo "== 1. Anonymizer, 2 MiB log, eight rules"
out="$("$build/report_bench" anonymize)"
echo "throughput (best of 5):  $(field mb_per_s "$out") MB/s  ($(field seconds "$out") s)"

echo "== 2. packing a 22 MiB report vs gzip -6"
out="$("$build/report_bench" pack "$work/raw")"
best_gzip=""
for _ in 1 2 3; do
  t0="$(now)"; gzip -6 -c "$work/raw" >"$work/raw.gz"
  s="$(awk -v a="$(now)" -v b="$t0" 'BEGIN { printf "%.4f", a - b }')"
  if [ -z "$best_gzip" ] || awk -v a="$s" -v b="$best_gzip" 'BEGIN { exit !(a < b) }'; then best_gzip="$s"; fi
done
echo "input:                   $(field input_bytes "$out") bytes"
echo "launcher archive:        $(field archive_bytes "$out") bytes in $(field seconds "$out") s"
echo "gzip -6:                 $(stat -c %s "$work/raw.gz") bytes in $best_gzip s"
echo "size ratio archive/gzip: $(awk -v a="$(field archive_bytes "$out")" -v b="$(stat -c %s "$work/raw.gz")" 'BEGIN { printf "%.3f", a / b }')"
echo "time ratio gzip/pack:    $(awk -v a="$best_gzip" -v b="$(field seconds "$out")" 'BEGIN { printf "%.3f", a / b }')"
echo "peak memory of packing:  $(( $(field peak_rss_kib "$out") / 1024 )) MiB"

echo "== 3. gathering a full-size report"
out="$("$build/report_bench" gather)"
echo "entries:                 $(field entries "$out")  (text $(field text_bytes "$out") bytes, dumps $(field dump_bytes "$out") bytes)"
echo "time:                    $(field seconds "$out") s"
echo "peak memory:             $(( $(field peak_rss_kib "$out") / 1024 )) MiB (before gathering: $(( $(field rss_before_kib "$out") / 1024 )) MiB)"
