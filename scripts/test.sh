#!/usr/bin/env bash
# The whole test suite from a clean clone: set-up, the native build's unit tests, the same
# tests under ASan+UBSan and under TSan, short fuzz runs, the Windows builds (the win32 seam
# tests run under Wine; the i686 release must link), and the end-to-end tests under Wine+Xvfb.
# Ends with one line "N passed, M failed".
set -uo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
cd "$here"
jobs="$(nproc)"
fuzz_seconds="${VANTREL_FUZZ_SECONDS:-8}"
export VANTREL_DEPS="${VANTREL_DEPS:-/var/cache/vantrel-deps}"

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

echo "== win32 seam tests (Wine)"
export WINEPREFIX="$here/build/wineprefix-unit" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
[ -d "$WINEPREFIX" ] || wineboot -i >/dev/null 2>&1
count_ctest wine --test-dir build/win64
wineserver -k >/dev/null 2>&1 || true
unset WINEPREFIX

echo "== end to end (Wine + Xvfb)"
log="$(mktemp)"
/usr/bin/python3 -m pytest -q -p no:cacheprovider tests/e2e 2>&1 | tee "$log"
e2e_rc=${PIPESTATUS[0]}
summary="$(grep -E '(passed|failed|error|skipped).* in [0-9.]+s' "$log" | tail -1)"
e2e_passed="$(grep -oE '[0-9]+ passed' <<<"$summary" | awk '{s += $1} END {print s + 0}')"
e2e_failed="$(grep -oE '[0-9]+ (failed|errors?)' <<<"$summary" | awk '{s += $1} END {print s + 0}')"
passed=$((passed + ${e2e_passed:-0})); failed=$((failed + ${e2e_failed:-0}))
if [ "$e2e_rc" -ne 0 ] && [ "$e2e_rc" -ne 5 ] && [ "${e2e_failed:-0}" -eq 0 ]; then failed=$((failed + 1)); fi
[ "$e2e_rc" -ne 0 ] && [ "$e2e_rc" -ne 5 ] && failures+=("e2e")
rm -f "$log"

[ "${#failures[@]}" -gt 0 ] && echo "failed groups: ${failures[*]}"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
