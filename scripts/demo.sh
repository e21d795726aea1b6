#!/usr/bin/env bash
# The launcher against a demo realm: builds what it needs, serves a small realm folder with
# realm-site on loopback, stamps a copy of the x86_64 launcher with that address and runs it
# under Wine: on your display when DISPLAY is set, otherwise under Xvfb, saving a screenshot.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
cd "$here"
# Whatever fails says so: the named steps below with their own words, anything else by its line.
trap 'echo "demo: failed at line $LINENO: $BASH_COMMAND" >&2' ERR
fail() { echo "demo: $*" >&2; exit 1; }
"$here/scripts/setup.sh" || fail "scripts/setup.sh failed (see above)"
"$here/scripts/build.sh" native win64 || fail "building the native and win64 trees failed (see above)"

work="${VANTREL_DEMO_DIR:-$here/build/demo}"
rm -rf "$work"
mkdir -p "$work/realm/files/Data" "$work/realm/launcher" "$work/game" "$work/launcher"
port="${VANTREL_DEMO_PORT:-8640}"
address="http://127.0.0.1:$port"

# A small realm: a gateway, a game program (the stand-in that records how it was started)
# and a few files to download.
cp build/win64/stand_in_game.exe "$work/realm/files/Diablo II.exe" 2>/dev/null || printf 'MZ' >"$work/realm/files/Diablo II.exe"
head -c 300000 /dev/urandom >"$work/realm/files/Data/patch.mpq"
printf 'Welcome to the demo realm.\r\n' >"$work/realm/files/readme.txt"
cat >"$work/realm/realm.json" <<JSON
{
  "realm": "Demo Realm",
  "address": "127.0.0.1",
  "gateway_name": "Demo Realm",
  "site": "$address",
  "revision": "demo-1",
  "start": {"exe": "Diablo II.exe", "args": "-skiptobnet"},
  "news": "The demo realm is open. Press Play when the files are in step.",
  "operator_token": "$(head -c 16 /dev/urandom | od -An -tx1 | tr -d ' \n')"
}
JSON
# The game folder starts with the game program only; the launcher brings the rest.
cp "$work/realm/files/Diablo II.exe" "$work/game/"

build/native/realm-site serve --root "$work/realm" --listen "127.0.0.1:$port" >"$work/realm-site.log" 2>&1 &
site_pid=$!
for _ in $(seq 1 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  kill -0 "$site_pid" 2>/dev/null || fail "realm-site did not start: $(cat "$work/realm-site.log")"
  sleep 0.1
done
xvfb_pid=""
cleanup() {
  kill "$site_pid" 2>/dev/null || true
  WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
}
prefix="${VANTREL_DEMO_PREFIX:-$here/build/wineprefix-demo}"
trap cleanup EXIT

build/native/vantrel-stamp build/win64/VantrelLauncher.exe "$address" -o "$work/launcher/VantrelLauncher.exe" ||
  fail "stamping the launcher with $address failed"

export WINEPREFIX="$prefix" WINEDLLOVERRIDES="mscoree,mshtml="
headless=0
if [ -z "${DISPLAY:-}" ]; then
  headless=1
  number=77
  while [ -e "/tmp/.X11-unix/X$number" ] || [ -e "/tmp/.X$number-lock" ]; do number=$((number + 1)); done
  export DISPLAY=":$number"
  Xvfb "$DISPLAY" -screen 0 1280x1024x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
  xvfb_pid=$!
  # Wine needs the display to answer, not merely the process to exist.
  for _ in $(seq 1 150); do
    xdpyinfo >/dev/null 2>&1 && break
    kill -0 "$xvfb_pid" 2>/dev/null || fail "Xvfb did not start on $DISPLAY: $(cat "$work/xvfb.log")"
    sleep 0.1
  done
  xdpyinfo >/dev/null 2>&1 || fail "Xvfb on $DISPLAY accepts no connections after 15 s"
fi
# A prefix that an interrupted run left half made is made again.
users="$prefix/drive_c/users"
if [ ! -f "$prefix/system.reg" ] || [ ! -d "$users" ]; then
  rm -rf "$prefix"
  WINEDEBUG=-all wineboot -i >"$work/wineboot.log" 2>&1 || fail "wineboot failed: $(tail -5 "$work/wineboot.log")"
  wineserver -w || true
fi
user="$(ls "$users" 2>/dev/null | grep -vi '^public$' | head -1 || true)"
[ -f "$prefix/system.reg" ] && [ -n "$user" ] ||
  fail "wineboot made no usable prefix in $prefix (no system.reg or user folder): $(tail -5 "$work/wineboot.log" 2>/dev/null)"
settings="$users/$user/AppData/Roaming/Vantrel Launcher/127.0.0.1"
mkdir -p "$settings" || fail "could not make the launcher's settings folder $settings"
printf 'game_dir=%s\r\nwindowed=1\r\n' "Z:${work//\//\\}\\game" >"$settings/settings.txt"
# The game's gateway list already names the demo realm, so Play can start the game.
WINEDEBUG=-all wine reg add 'HKCU\Software\Battle.net\Configuration' /v 'Diablo II Battle.net Gateways' /t REG_MULTI_SZ \
  /d '1009\01\0127.0.0.1\0-1\0Demo Realm' /f >/dev/null 2>&1 || true

echo "demo: realm-site on $address, launcher in $work/launcher"
WINEDEBUG=-all,warn+seh,warn+debugstr wine "$work/launcher/VantrelLauncher.exe" 2>"$work/wine.log" &
launcher_pid=$!

if [ "$headless" = 1 ]; then
  # Wait for the first update run to end, press Play, and keep a picture of the window.
  for _ in $(seq 1 120); do grep -q 'finish: ' "$work/wine.log" 2>/dev/null && break; sleep 0.5; done
  grep -q 'finish: ' "$work/wine.log" || fail "the launcher finished no update run within a minute (see $work/wine.log)"
  sleep 1
  shot="$work/launcher.png"
  import -window root "$shot"
  win="$(xdotool search --onlyvisible --name 'Launcher$' | tail -1)"
  [ -n "$win" ] || fail "the launcher's window is not on $DISPLAY"
  eval "$(xdotool getwindowgeometry --shell "$win")"
  xdotool mousemove --sync $((X + 400)) $((Y + 417)) click 1
  for _ in $(seq 1 40); do [ -f "$work/game/stand-in-record.txt" ] && break; sleep 0.5; done
  sleep 1
  import -window root "$work/after-play.png"
  echo "demo: screenshots $shot and $work/after-play.png"
  [ -f "$work/game/stand-in-record.txt" ] && echo "demo: the game was started as: $(cat "$work/game/stand-in-record.txt")"
  WINEDEBUG=-all wine build/win64/post_message.exe VantrelLauncher 0x10 >/dev/null 2>&1 || true
  wait "$launcher_pid" || true
else
  echo "demo: close the launcher's window to end the demo"
  wait "$launcher_pid" || true
fi
"$here/scripts/console-demo.sh" "$work/console.png" || echo "demo: the console screenshot failed"
echo "demo: trace lines:"
grep -a ':OutputDebugStringA "' "$work/wine.log" | sed -E 's/.*OutputDebugStringA "(.*)"$/\1/'
