#!/usr/bin/env bash
# What the signature check adds to an update run (target: under 5 ms), natively: a realm of
# 10,000 files exported by realm-site, its manifest signed with the minisign command and
# served by nginx on loopback. Prints the median unkeyed and keyed run over the unchanged
# folder, their difference, the check alone, and the peer: minisign -V on the same files.
# Not part of the test command. Usage: bench/run-signature-bench.sh [RUNS]  (default 15)
set -euo pipefail
source "$(dirname "$0")/bench_lib.sh"
runs="${1:-15}"
bench_build realm-site signature_bench
bench_work signature

mkdir -p "$work/settings"
small_realm "$work/realm" 8
cp -a "$work/realm/files" "$work/game"
"$build/realm-site" export --root "$work/realm" --out "$work/static" >/dev/null
minisign -G -W -p "$work/realm.pub" -s "$work/realm.key" >/dev/null </dev/null
manifest="$work/static/api/launcher/manifest"
expires=$(( $(date +%s) + 14 * 86400 ))
minisign -S -s "$work/realm.key" -m "$manifest" -x "$manifest.minisig" \
  -t "vantrel-manifest serial=$(date +%s) expires=$expires" >/dev/null </dev/null

port="$(free_port)"
start_nginx "$work/nginx" "$port" "  default_type application/octet-stream;
  server { listen 127.0.0.1:$port; root $work/static; location / { } }"

out="$("$build/signature_bench" "http://127.0.0.1:$port" "$work/game" "$work/settings" "$work/realm.pub" "$runs")"
field() { sed -n "s/^$1: //p" <<<"$out"; }
peer_start=$(now)
for _ in $(seq 1 20); do minisign -Vq -p "$work/realm.pub" -m "$manifest" >/dev/null; done
peer_ms=$(awk -v a="$(elapsed "$peer_start")" 'BEGIN { printf "%.3f", a * 1000 / 20 }')

echo "manifest of 10,000 files: $(field manifest_bytes) bytes"
echo "update run over the unchanged folder, median of $runs: unkeyed $(field unkeyed_run_ms) ms, keyed $(field keyed_run_ms) ms"
echo "the signature check adds $(field added_ms) ms to an update run (target: under 5 ms)"
echo "the check alone: $(field check_only_ms) ms; minisign -V on the same files (whole process): $peer_ms ms;" \
  "ratio $(awk -v a="$peer_ms" -v b="$(field check_only_ms)" 'BEGIN { printf "%.1f", a / b }')"
