#!/usr/bin/env bash
# realm-site against nginx serving the exported tree of the same realm (with the repository's
# deployment configuration), in one run, each fetched by one curl over one connection:
#   1. 10,000 files of 2 KB (target: realm-site >= 0.5x nginx);
#   2. 1 GiB in 64 files (target: >= 0.8x).
# A ratio is nginx's time / realm-site's (1.0: as fast as nginx). Also prints realm-site's
# peak memory. Not part of the test command. VANTREL_BENCH_KEEP=1 keeps the data.
set -euo pipefail
source "$(dirname "$0")/bench_lib.sh"
bench_build realm-site
bench_work site

echo "== making a realm: 10,000 files of 2 KB and 64 files of 16 MiB"
mkdir -p "$work/realm/files"
echo '{"realm": "Bench", "address": "play.bench", "start": {"exe": "Game.exe", "args": ""}}' >"$work/realm/realm.json"
printf 'MZ bench' >"$work/realm/files/Game.exe"
python3 - "$work/realm/files" <<'EOF'
import os, sys
root = sys.argv[1]
for i in range(10000):
    folder = os.path.join(root, "Small", f"d{i // 100:03d}")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, f"f{i:05d}.bin"), "wb") as f:
        f.write(os.urandom(2048))
EOF
mkdir -p "$work/realm/files/Big"
for i in $(seq -w 0 63); do head -c 16777216 /dev/urandom >"$work/realm/files/Big/part$i.mpq"; done
"$build/realm-site" export --root "$work/realm" --out "$work/static" >/dev/null

site_port="$(free_port)"
"$build/realm-site" serve --root "$work/realm" --listen "127.0.0.1:$site_port" >"$work/site.log" 2>&1 &
site_pid=$!
bench_pids+=("$site_pid")
nginx_port="$(free_port)"
mkdir -p "$work/nginx"
sed -e "s|@LISTEN@|127.0.0.1:$nginx_port|" -e "s|@STATIC@|$work/static|" -e "s|@REALM_SITE@|127.0.0.1:$site_port|" \
  "$here/deploy/nginx/realm-site.conf" >"$work/nginx/realm-site.conf"
start_nginx "$work/nginx" "$nginx_port" "  include $work/nginx/realm-site.conf;"
for _ in $(seq 1 600); do
  grep -q "serving" "$work/site.log" 2>/dev/null && curl -s -o /dev/null "http://127.0.0.1:$nginx_port/api/launcher/manifest" && break
  sleep 0.1
done

# One curl, one connection, every file in turn (curl -K reads the list; it reuses the connection).
list() {  # base url, folder prefix, file list -> curl config
  while read -r path; do printf 'url = "%s/api/launcher/file/%s"\noutput = "/dev/null"\n' "$1" "$path"; done <"$2"
}
(cd "$work/realm/files" && find Small -type f | sort) >"$work/small.txt"
(cd "$work/realm/files" && find Big -type f | sort) >"$work/big.txt"
for who in site nginx; do
  port="$site_port"; [ "$who" = nginx ] && port="$nginx_port"
  list "http://127.0.0.1:$port" "$work/small.txt" >"$work/$who-small.curl"
  list "http://127.0.0.1:$port" "$work/big.txt" >"$work/$who-big.curl"
done
cat "$work/realm/files/Big"/* >/dev/null  # both read from the page cache

# Best of five, the two servers taking turns, so load from elsewhere on the machine falls on both.
timed() {  # config -> seconds
  local t0; t0="$(now)"
  curl -s --fail -K "$1"
  elapsed "$t0"
}
compare() {  # title, list name, target
  echo "== $1"
  local by_nginx="" by_site=""
  for _ in 1 2 3 4 5; do
    by_nginx="$(least "$by_nginx" "$(timed "$work/nginx-$2.curl")")"
    by_site="$(least "$by_site" "$(timed "$work/site-$2.curl")")"
  done
  echo "nginx (best of 5):       $by_nginx s"
  echo "realm-site (best of 5):  $by_site s"
  echo "ratio nginx / realm-site: $(ratio "$by_nginx" "$by_site")  (target >= $3)"
}
compare "1. 10,000 files of 2 KB over one connection" small 0.5
compare "2. 1 GiB in 64 files over one connection" big 0.8

echo "peak memory of realm-site: $(($(awk '/^VmHWM:/ { print $2 }' "/proc/$site_pid/status") / 1024)) MiB"
