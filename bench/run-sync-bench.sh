#!/usr/bin/env bash
# Synchronisation benchmarks, natively, against realm-site on loopback. Each ratio compares the
# launcher's update run with a peer tool on the same data in the same run (higher is better for
# the launcher; 1.0 means as fast as the peer):
#   1. unchanged folder of 10,000 files: find -printf (stat only) / the whole update run, and a
#      proof under strace that the run opened no game file;
#   2. first check of 1 GiB in 64 present files: openssl dgst -sha256 / the run (target >= 0.85);
#   3. download of 1 GiB in 64 files: curl writing the files + openssl hashing them (and the
#      same flush to disk that the launcher does) / the run
#      (target >= 0.9), with the run's peak memory.
# Not part of the test command. Usage: bench/run-sync-bench.sh [SECTION...]  (default: 1 2 3;
# VANTREL_BENCH_KEEP=1 keeps the data)
set -euo pipefail
source "$(dirname "$0")/bench_lib.sh"
bench_build realm-site sync_bench
bench_work sync
field() { sed -n "s/^$1: //p" <<<"$2"; }

run_launcher() {  # game folder, settings folder -> prints the bench program's lines
  mkdir -p "$2"
  "$build/sync_bench" "$url" "$1" "$2" Game.exe
}

sections=("$@")
want() { [ "${#sections[@]}" -eq 0 ] || [[ " ${sections[*]} " == *" $1 "* ]]; }

if want 1; then
echo "== 1. unchanged folder of 10,000 files"
small_realm "$work/small" 2048
cp -a "$work/small/files" "$work/small-game"
start_site "$work/small"
first="$(run_launcher "$work/small-game" "$work/small-settings")"
echo "first check (hashes all):  $(field seconds "$first") s  [$(field finish "$first")]"
best_run=""
for _ in 1 2 3; do
  out="$(run_launcher "$work/small-game" "$work/small-settings")"
  s="$(field seconds "$out")"
  best_run="$(least "$best_run" "$s")"
done
echo "unchanged run (best of 3): $best_run s  [$(field finish "$out")]"
best_find=""
for _ in 1 2 3; do
  t0="$(now)"; find "$work/small-game" -printf '%s %T@ %p\n' >/dev/null; s="$(elapsed "$t0")"
  best_find="$(least "$best_find" "$s")"
done
echo "find -printf (best of 3):  $best_find s"
echo "ratio find / run:          $(ratio "$best_find" "$best_run")"
# Where the rest goes: the 10,000-entry manifest itself has to be fetched and read.
best_manifest=""
for _ in 1 2 3; do
  t0="$(now)"; curl -s --fail -o /dev/null "$url/api/launcher/manifest"; s="$(elapsed "$t0")"
  best_manifest="$(least "$best_manifest" "$s")"
done
echo "manifest fetch alone, curl: $best_manifest s ($(stat -c %s "$work/small-settings/files.txt") bytes of hash ledger read and written per run)"
strace -f -qq -e trace=open,openat -o "$work/strace.log" \
  "$build/sync_bench" "$url" "$work/small-game" "$work/small-settings" Game.exe >/dev/null
opened="$(grep -F "$work/small-game/" "$work/strace.log" | grep -v O_DIRECTORY | grep -c . || true)"
echo "game files opened by the unchanged run (strace): $opened"
[ "$opened" = 0 ] || echo "WARNING: the unchanged run read game files"
rm -rf "$work/small" "$work/small-game"
fi

want 2 || want 3 || exit 0
mkdir -p "$work/big/files/Data"
echo "$bench_realm_json" >"$work/big/realm.json"
printf 'MZ bench' >"$work/big/files/Game.exe"
for i in $(seq -w 0 63); do head -c 16777216 /dev/urandom >"$work/big/files/Data/part$i.mpq"; done
cp -a "$work/big/files" "$work/big-game"
start_site "$work/big"  # realm-site hashes the realm at start, before anything is timed
if want 2; then
echo "== 2. first check of 1 GiB in 64 present files"
cat "$work/big-game"/Data/* >/dev/null
best_openssl=""
for _ in 1 2; do
  t0="$(now)"; openssl dgst -sha256 "$work/big-game"/Data/* >/dev/null; s="$(elapsed "$t0")"
  best_openssl="$(least "$best_openssl" "$s")"
done
best_check=""
for n in 1 2; do
  out="$(run_launcher "$work/big-game" "$work/big-settings-$n")"  # a fresh ledger: every file is hashed
  s="$(field seconds "$out")"
  best_check="$(least "$best_check" "$s")"
done
echo "openssl dgst -sha256:      $best_openssl s"
echo "first check (best of 2):   $best_check s  [$(field finish "$out")]"
echo "ratio openssl / check:     $(ratio "$best_openssl" "$best_check")  (target >= 0.85)"

fi

want 3 || exit 0
echo "== 3. download of 1 GiB in 64 files from realm-site on loopback"
urls=()
for i in $(seq -w 0 63); do urls+=(-o "$work/curl/part$i.mpq" "$url/api/launcher/file/Data/part$i.mpq"); done
# The launcher flushes every downloaded file to disk before it moves it into place; the second
# peer figure adds the same flush (sync FILE... fsyncs each file) so like is compared with like.
best_curl=""
best_curl_sync=""
for _ in 1 2; do
  rm -rf "$work/curl"; mkdir -p "$work/curl"
  sync
  t0="$(now)"
  curl -s --fail "${urls[@]}"
  openssl dgst -sha256 "$work/curl"/* >/dev/null
  s="$(elapsed "$t0")"
  sync "$work/curl"/*
  s_sync="$(elapsed "$t0")"
  best_curl="$(least "$best_curl" "$s")"
  best_curl_sync="$(least "$best_curl_sync" "$s_sync")"
done
rm -rf "$work/curl"
best_download=""
peak=""
for n in 1 2; do
  rm -rf "$work/dl-game" "$work/dl-settings"
  sync
  mkdir -p "$work/dl-game"
  cp "$work/big/files/Game.exe" "$work/dl-game/"
  out="$(run_launcher "$work/dl-game" "$work/dl-settings")"
  s="$(field seconds "$out")"
  best_download="$(least "$best_download" "$s")"
  p="$(field peak_rss_kib "$out")"
  if [ -z "$peak" ] || [ "$p" -gt "$peak" ]; then peak="$p"; fi
done
echo "curl + openssl (best of 2):        $best_curl s"
echo "curl + openssl + fsync (best of 2): $best_curl_sync s"
echo "download (best of 2):               $best_download s  [$(field finish "$out")]"
echo "ratio curl / download:              $(ratio "$best_curl" "$best_download")"
echo "ratio curl+fsync / download:        $(ratio "$best_curl_sync" "$best_download")  (target >= 0.9)"
echo "peak memory of the run:     $((peak / 1024)) MiB"
# realm-site streams files from disk: its peak stays far below the 16 MiB of one file.
echo "peak memory of realm-site:  $(($(awk '/^VmHWM:/ { print $2 }' "/proc/$site_pid/status") / 1024)) MiB"
cmp -s "$work/dl-game/Data/part63.mpq" "$work/big/files/Data/part63.mpq" || echo "WARNING: downloaded file differs"
