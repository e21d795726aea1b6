#!/usr/bin/env bash
# Block-map updates of a 256 MiB archive of incompressible data, natively with the launcher's own
# code against realm-site serve on loopback, every figure a ratio measured in this run:
#   A  1,000,003 bytes inserted near the start and 4 MiB overwritten in three places
#   B  120 scattered edits of 8-60 KiB
#   C  the current file, with 20 damaged 512-byte spots in the local copy (repair)
#   D  a full rewrite
#   E  A again, from a host that ignores Range (nginx max_ranges 0 over the exported realm)
# For each: bytes fetched (bodies and heads, counted by a proxy), requests and time against a
# whole download of the same file, against Debian's zsync (zsyncmake, zsync -i old) on the same
# edit, and zstd --patch-from's size as the floor. A and the whole download also over a link
# of 20 Mbit/s and 50 ms made by a userspace proxy. Then the chunking speed of the x86_64
# Windows build under Wine, and the launcher's peak memory for a 1 GiB archive.
# Targets: A <= 1.15 x new bytes + map; B <= 2 x; C <= 2 MiB; D, E <= whole + map;
# A on the shaped link <= 0.35 of a whole download's time; chunking >= 300 MB/s under Wine;
# peak memory < 64 MiB. Not part of the test command. VANTREL_BENCH_KEEP=1 keeps the data.
set -euo pipefail
source "$(dirname "$0")/bench_lib.sh"
bench_build realm-site blockmap_run chunk_speed
bench_work blockmap
mib=1048576

make_data() {  # size in MiB, folder[, A]: old.bin and the targets (new-A ... new-D), local copies
  python3 - "$1" "$2" "${3:-all}" <<'PY'
import os, random, sys
size, out, which = int(sys.argv[1]) << 20, sys.argv[2], sys.argv[3]
rng = random.Random(15)
def randbytes(n):  # in pieces: one call is limited to 2^31 bits
    return b"".join(rng.randbytes(min(1 << 24, n - at)) for at in range(0, n, 1 << 24))
old = randbytes(size)
def put(name, data):
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)
put("old.bin", old)
a = bytearray(old[:2000000] + randbytes(1000003) + old[2000000:])
for at, n in ((size // 4, 2 << 20), (size // 2, 1 << 20), (3 * size // 4, 1 << 20)):
    a[at:at + n] = randbytes(n)
put("new-A.bin", bytes(a))
put("new-A.bytes", str(1000003 + (4 << 20)).encode())
if which == "A":
    sys.exit(0)
b = bytearray(old)
changed = 0
for at in sorted(rng.randrange(size - 65536) for _ in range(120)):
    n = rng.randrange(8192, 61441)
    b[at:at + n] = randbytes(n)
    changed += n
put("new-B.bin", bytes(b))
put("new-B.bytes", str(changed).encode())
damaged = bytearray(old)
for _ in range(20):
    at = rng.randrange(size - 512)
    damaged[at:at + 512] = bytes(512)
put("new-C.bin", old)
put("local-C.bin", bytes(damaged))
put("new-C.bytes", str(20 * 512).encode())
put("new-D.bin", randbytes(size))
put("new-D.bytes", str(size).encode())
PY
}

proxy_pid=""
start_proxy() {  # target port, Mbit/s (0: none), round trip in ms
  [ -n "$proxy_pid" ] && { kill "$proxy_pid"; wait "$proxy_pid" 2>/dev/null || true; }
  proxy_port="$(free_port)"
  proxy_bytes_seen=0
  proxy_requests_seen=0
  rm -f "$work/proxy.stats"
  python3 "$here/bench/shaping_proxy.py" "$proxy_port" "$1" "$2" "$3" "$work/proxy.stats" >"$work/proxy.log" 2>&1 &
  proxy_pid=$!
  bench_pids+=("$proxy_pid")
  for _ in $(seq 1 100); do grep -q ready "$work/proxy.log" 2>/dev/null && return 0; sleep 0.1; done
  echo "proxy did not start"; exit 1
}

realm_with() {  # target file -> $work/realm holding it as Data/archive.mpq
  rm -rf "$work/realm"
  mkdir -p "$work/realm/files/Data"
  echo "$bench_realm_json" >"$work/realm/realm.json"
  printf 'MZ bench' >"$work/realm/files/Game.exe"
  cp "$1" "$work/realm/files/Data/archive.mpq"
}

# One update run through the proxy, the game folder holding `local` (or nothing): sets
# run_seconds, run_bytes, run_requests, run_peak_kib.
run_update() {  # local copy or "", proxy port
  rm -rf "$work/game" "$work/settings"
  mkdir -p "$work/game/Data" "$work/settings"
  printf 'MZ bench' >"$work/game/Game.exe"
  [ -n "$1" ] && cp "$1" "$work/game/Data/archive.mpq"
  local line
  line="$("$build/blockmap_run" "http://127.0.0.1:$2" "$work/game" "$work/settings")" || { echo "run failed: $line"; exit 1; }
  cmp -s "$work/game/Data/archive.mpq" "$work/realm/files/Data/archive.mpq" || { echo "wrong file placed"; exit 1; }
  read -r run_seconds run_peak_kib _ <<<"$line"
  for _ in $(seq 1 50); do [ -s "$work/proxy.stats" ] && break; sleep 0.1; done
  sleep 0.3
  # The proxy counts from its start; each run is what it added.
  local total_bytes total_requests
  read -r total_bytes total_requests <"$work/proxy.stats"
  run_bytes=$((total_bytes - proxy_bytes_seen))
  run_requests=$((total_requests - proxy_requests_seen))
  proxy_bytes_seen=$total_bytes
  proxy_requests_seen=$total_requests
  rm -f "$work/proxy.stats"
}

zsync_bytes() {  # new file, old file -> bytes zsync fetched (its control file included)
  local z="$work/zsync"
  rm -rf "$z"; mkdir -p "$z/www"
  cp "$1" "$z/www/new.bin"
  (cd "$z/www" && zsyncmake -u "http://127.0.0.1:$nginx_port/new.bin" -o new.bin.zsync new.bin >/dev/null 2>&1)
  local out
  out="$(cd "$z" && zsync -q -i "$2" -o out.bin "http://127.0.0.1:$nginx_port/new.bin.zsync" 2>&1 || true)"
  cmp -s "$z/out.bin" "$1" || { echo "zsync failed: $out" >&2; echo 0; return; }
  # nginx's log holds every body it sent to zsync: the control file and the ranges.
  awk '{ s += $1 } END { print s }' "$work/nginx/zsync.log"
  : >"$work/nginx/zsync.log"
}

echo "== data (256 MiB archive, five scenarios)"
mkdir -p "$work/data"
make_data 256 "$work/data"
size=$((256 * mib))

nginx_port="$(free_port)"
mkdir -p "$work/nginx"
start_nginx "$work/nginx" "$nginx_port" "
  log_format bytes '\$body_bytes_sent';
  server { listen 127.0.0.1:$nginx_port; root $work/zsync/www; access_log $work/nginx/zsync.log bytes; }"

printf '%-3s %12s %12s %9s %9s %9s %9s %11s %11s %9s\n' "" "new bytes" "fetched" "/whole" "/new" "requests" "time/whole" "zsync" "/zsync" "zstd floor"
declare -A fetched_of
for s in A B C D E; do
  new="$work/data/new-$s.bin"
  [ "$s" = E ] && new="$work/data/new-A.bin"
  realm_with "$new"
  local_copy="$work/data/old.bin"
  [ "$s" = C ] && local_copy="$work/data/local-C.bin"
  if [ "$s" = E ]; then
    # The exported realm from nginx, which answers every Range with the whole file.
    rm -rf "$work/static"
    "$build/realm-site" export --root "$work/realm" --out "$work/static" >/dev/null
    e_port="$(free_port)"
    start_nginx "$work/nginx-e" "$e_port" "server { listen 127.0.0.1:$e_port; root $work/static; max_ranges 0; }"
    target_port="$e_port"
  else
    start_site "$work/realm"
    target_port="$site_port"
  fi
  start_proxy "$target_port" 0 0
  run_update "" "$proxy_port"
  whole_bytes=$run_bytes whole_seconds=$run_seconds
  run_update "$local_copy" "$proxy_port"
  new_bytes="$(cat "$work/data/new-${s/E/A}.bytes")"
  zb="$(zsync_bytes "$new" "$local_copy")"
  zstd -q -f --long=29 --patch-from="$local_copy" "$new" -o "$work/patch.zst" 2>/dev/null || true
  floor="$(stat -c %s "$work/patch.zst" 2>/dev/null || echo 0)"
  printf '%-3s %12d %12d %9s %9s %9d %9s %11d %11s %9d\n' "$s" "$new_bytes" "$run_bytes" \
    "$(ratio "$run_bytes" "$whole_bytes")" "$(ratio "$run_bytes" "$new_bytes")" "$run_requests" \
    "$(ratio "$run_seconds" "$whole_seconds")" "$zb" "$(ratio "$run_bytes" "${zb/#0/1}")" "$floor"
  fetched_of[$s]=$run_bytes
done
echo "(whole download of one file: $whole_bytes bytes; fetched counts every body and head, the map and manifest included)"

echo "== A and a whole download on a 20 Mbit/s, 50 ms link (userspace proxy)"
realm_with "$work/data/new-A.bin"
start_site "$work/realm"
start_proxy "$site_port" 20 50
run_update "$work/data/old.bin" "$proxy_port"
a_seconds=$run_seconds
run_update "" "$proxy_port"
printf 'A: %.2f s, whole: %.2f s, ratio %s (target <= 0.35)\n' "$a_seconds" "$run_seconds" "$(ratio "$a_seconds" "$run_seconds")"

echo "== chunking and hashing the local copy (default 4/16/64 KiB)"
read -r bytes seconds chunks <<<"$("$build/chunk_speed" "$work/data/old.bin" 3)"
native_rate="$(awk -v b="$bytes" -v s="$seconds" 'BEGIN { printf "%.0f", b / s / 1e6 }')"
hash_start="$(now)"; openssl dgst -sha256 "$work/data/old.bin" >/dev/null; hash_seconds="$(elapsed "$hash_start")"
echo "native: $native_rate MB/s ($chunks chunks); openssl dgst -sha256 alone: $(awk -v b="$bytes" -v s="$hash_seconds" 'BEGIN { printf "%.0f", b / s / 1e6 }') MB/s"
win_exe="$here/build/win64/chunk_speed.exe"
if cmake --build "$here/build/win64" --target chunk_speed >/dev/null 2>&1 && [ -f "$win_exe" ]; then
  export WINEPREFIX="$work/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  wineboot -i >/dev/null 2>&1 || true
  read -r bytes seconds chunks <<<"$(wine "$win_exe" "Z:$work/data/old.bin" 3 | tr -d '\r')"
  wineserver -k >/dev/null 2>&1 || true
  wine_rate="$(awk -v b="$bytes" -v s="$seconds" 'BEGIN { printf "%.0f", b / s / 1e6 }')"
  echo "x86_64 under Wine: $wine_rate MB/s (target >= 300), $(ratio "$wine_rate" "$native_rate") of native"
else
  echo "x86_64 under Wine: no win64 build (scripts/build.sh win64)"
fi

echo "== peak memory for a 1 GiB archive (A-like edit)"
rm -rf "$work/data"; mkdir -p "$work/data"
make_data 1024 "$work/data" A
realm_with "$work/data/new-A.bin"
start_site "$work/realm"
start_proxy "$site_port" 0 0
run_update "$work/data/old.bin" "$proxy_port"
echo "peak resident: $((run_peak_kib / 1024)) MiB (target < 64), $run_requests requests, $run_bytes bytes"
