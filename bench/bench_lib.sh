# Shared by the shell benchmarks: the Release build they run, a work folder that goes away with
# the processes they started, timing helpers and a private nginx. Source it after `set -euo
# pipefail`; it sets `here` (the repository) and `build`.
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VANTREL_BENCH_BUILD:-$here/build/bench-native}"
bench_pids=()

bench_build() {  # targets...
  if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  fi
  ninja -C "$build" -j2 "$@" >/dev/null
}

bench_cleanup() {
  local pid
  for pid in "${bench_pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  [ "${VANTREL_BENCH_KEEP:-0}" = 1 ] || rm -rf "$work"
}

bench_work() {  # name: makes $work, removed at exit unless VANTREL_BENCH_KEEP=1
  work="$(mktemp -d "/tmp/vantrel-$1-bench.XXXXXX")"
  trap bench_cleanup EXIT
}

now() { date +%s.%N; }
elapsed() { awk -v a="$(now)" -v b="$1" 'BEGIN { printf "%.4f", a - b }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
least() { [ -z "$1" ] && echo "$2" || awk -v a="$1" -v b="$2" 'BEGIN { print (b < a ? b : a) }'; }
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

site_pid=""
start_site() {  # realm folder: realm-site serve on a free port; sets url and site_port
  [ -n "$site_pid" ] && { kill "$site_pid"; wait "$site_pid" 2>/dev/null || true; }
  "$build/realm-site" serve --root "$1" --listen 127.0.0.1:0 >"$work/site.log" 2>&1 &
  site_pid=$!
  bench_pids+=("$site_pid")
  for _ in $(seq 1 600); do
    url="$(grep -o 'http://127.0.0.1:[0-9]*' "$work/site.log" || true)"
    site_port="${url##*:}"
    [ -n "$url" ] && return 0
    kill -0 "$site_pid" 2>/dev/null || { cat "$work/site.log"; exit 1; }
    sleep 0.1
  done
  echo "realm-site did not start"; exit 1
}

bench_realm_json='{"realm": "Bench", "address": "play.bench", "start": {"exe": "Game.exe", "args": ""}}'

small_realm() {  # folder, bytes per file (a multiple of 8): Game.exe and 9,999 files in 100 folders
  mkdir -p "$1/files"
  echo "$bench_realm_json" >"$1/realm.json"
  python3 - "$1/files" "$2" <<'EOF'
import os, sys
root, repeat = sys.argv[1], int(sys.argv[2]) // 8
open(os.path.join(root, "Game.exe"), "wb").write(b"MZ bench")
for i in range(9999):
    folder = os.path.join(root, "Data", f"d{i // 100:03d}")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, f"f{i:05d}.bin"), "wb") as f:
        f.write((b"%08d" % i) * repeat)
EOF
}

start_nginx() {  # folder, port, http-block lines: nginx in the foreground of its own folder
  local folder="$1" port="$2" block="$3"
  mkdir -p "$folder"
  cat >"$folder/nginx.conf" <<CONF
daemon off;
worker_processes 1;
user root;
pid $folder/nginx.pid;
error_log $folder/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $folder/body;
  proxy_temp_path $folder/proxy;
  fastcgi_temp_path $folder/fastcgi;
  uwsgi_temp_path $folder/uwsgi;
  scgi_temp_path $folder/scgi;
$block
}
CONF
  nginx -c "$folder/nginx.conf" -p "$folder" &
  bench_pids+=($!)
  for _ in $(seq 1 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return 0
    sleep 0.1
  done
  echo "nginx did not start: $(cat "$folder/error.log")"
  exit 1
}
