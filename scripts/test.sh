#!/usr/bin/env bash
# The whole test suite from a clean clone: set-up, the native build's unit tests, the same
# tests under ASan+UBSan and under TSan, short fuzz runs, and both Windows builds under Wine:
# the win32 seam tests and the end-to-end tests (Xvfb), once for the x86_64 twin under the
# host's Wine and once for the i686 release inside the 32-bit root that setup.sh makes.
# Ends with one line "N passed, M failed".
set -uo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
cd "$here"
jobs="$(nproc)"
fuzz_seconds="${VANTREL_FUZZ_SECONDS:-8}"
export VANTREL_DEPS="${VANTREL_DEPS:-/var/cache/vantrel-deps}"

started=$SECONDS
"$here/scripts/setup.sh" || { echo "0 passed, 1 failed"; exit 1; }
"$here/scripts/build.sh" all || { echo "build failed"; echo "0 passed, 1 failed"; exit 1; }

passed=0
failed=0
failures=()
count_ctest() {  # $1 = label, rest = ctest args
  local label="$1"; shift
  local log; log="$(mktemp)"
  ctest "$@" --output-on-failure --timeout 600 >"$log" 2>&1
  local rc=$?
  cat "$log"
  local line; line="$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1)"
  if [ -n "$line" ]; then
    local total bad
    total="$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")"
    bad="$(sed -E 's/.*passed, ([0-9]+) tests failed.*/\1/' <<<"$line")"
    passed=$((passed + total - bad)); failed=$((failed + bad))
    [ "$bad" -gt 0 ] && failures+=("$label")
  elif [ $rc -ne 0 ]; then
    failed=$((failed + 1)); failures+=("$label")
  fi
  rm -f "$log"
}

echo "== format"
if scripts/format.sh --check; then passed=$((passed + 1)); else failed=$((failed + 1)); failures+=("format"); fi

echo "== unit tests (native)"
count_ctest native --test-dir build/native -j"$jobs"
echo "== unit tests (ASan+UBSan)"
count_ctest asan --test-dir build/asan -j"$jobs"
echo "== unit tests (TSan)"
TSAN_OPTIONS="halt_on_error=1" count_ctest tsan --test-dir build/tsan -j"$jobs"

echo "== fuzz (${fuzz_seconds}s each)"
for f in build/fuzz/fuzz_*; do
  [ -x "$f" ] || continue
  name="$(basename "$f")"
  corpus="tests/fuzz/corpus/${name#fuzz_}"
  mkdir -p "build/fuzz/work/$name"
  args=("build/fuzz/work/$name")
  [ -d "$corpus" ] && args+=("$corpus")
  if "$f" -max_total_time="$fuzz_seconds" -rss_limit_mb=2048 -print_final_stats=0 "${args[@]}" >"build/fuzz/$name.log" 2>&1; then
    echo "$name: ok"; passed=$((passed + 1))
  else
    tail -30 "build/fuzz/$name.log"; echo "$name: FAILED"; failed=$((failed + 1)); failures+=("$name")
  fi
done

i686_path="$here/scripts/i686-wine:$PATH"  # wine, wineserver and wineboot inside the 32-bit root
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# scripts/i386-root.sh left whether the root's Wine runs here (the boot's id, then "runs" or why not).
i686_runs="$(sed -n 2p "$VANTREL_DEPS/i386-root/.vantrel-wine32" 2>/dev/null)"
for build in x86_64:win64 i686:win32; do
  name="${build%%:*}" tree="${build##*:}"
  echo "== win32 seam tests (Wine, $name)"
  if [ "$name" = i686 ] && [ "$i686_runs" != runs ]; then
    echo "skipped: the i686 build can't run here: ${i686_runs:-no 32-bit root}"
    continue
  fi
  path="$PATH"; [ "$name" = i686 ] && path="$i686_path"
  prefix="$here/build/wineprefix-unit-$name"
  if [ ! -f "$prefix/system.reg" ]; then
    rm -rf "$prefix"
    WINEPREFIX="$prefix" PATH="$path" wineboot -i >/dev/null 2>&1 || echo "wineboot failed for $name in $prefix"
  fi
  WINEPREFIX="$prefix" PATH="$path" count_ctest "wine-$name" --test-dir "build/$tree"
  WINEPREFIX="$prefix" PATH="$path" wineserver -k >/dev/null 2>&1 || true
done
unset WINEDEBUG WINEDLLOVERRIDES

# One session a build, in turn (two cores can't run two Wine sessions side by side without
# upsetting the timing margins); the i686 session runs only the tests that run the launcher.
for name in x86_64 i686; do
  echo "== end to end (Wine + Xvfb, $name)"
  if [ "$name" = i686 ] && [ "$i686_runs" != runs ]; then
    echo "skipped: the i686 build can't run here: ${i686_runs:-no 32-bit root}"
    continue
  fi
  log="$(mktemp)"
  e2e_started=$SECONDS
  only=""; [ "$name" = i686 ] && only=1
  VANTREL_E2E_BUILDS="$name" VANTREL_E2E_BUILD_TESTS_ONLY="$only" \
    /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/e2e 2>&1 | tee "$log"
  e2e_rc=${PIPESTATUS[0]}
  echo "end to end, $name: $((SECONDS - e2e_started)) s"
  summary="$(grep -E '(passed|failed|error|skipped).* in [0-9.]+s' "$log" | tail -1)"
  e2e_passed="$(grep -oE '[0-9]+ passed' <<<"$summary" | awk '{s += $1} END {print s + 0}')"
  e2e_failed="$(grep -oE '[0-9]+ (failed|errors?)' <<<"$summary" | awk '{s += $1} END {print s + 0}')"
  passed=$((passed + ${e2e_passed:-0})); failed=$((failed + ${e2e_failed:-0}))
  if [ "$e2e_rc" -ne 0 ] && [ "$e2e_rc" -ne 5 ] && [ "${e2e_failed:-0}" -eq 0 ]; then failed=$((failed + 1)); fi
  [ "$e2e_rc" -ne 0 ] && [ "$e2e_rc" -ne 5 ] && failures+=("e2e-$name")
  rm -f "$log"
done

echo "whole run: $((SECONDS - started)) s"
[ "${#failures[@]}" -gt 0 ] && echo "failed groups: ${failures[*]}"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
