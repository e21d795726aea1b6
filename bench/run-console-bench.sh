#!/usr/bin/env bash
# The report console at scale (not part of the test command): fills a realm with 100,000
# reports over 30 days (300 crash groups, 5,000 accounts), then prints `realm-site reindex`
# reports per second and peak memory, the index's cost per upload, the median and p95 of 50
# requests each for /reports, a filtered /reports, a search and a group's page, and the
# server's peak memory. Needs about 4 GB of disk for the reports.
# Usage: bench/run-console-bench.sh [COUNT]
set -euo pipefail
source "$(dirname "$0")/bench_lib.sh"
bench_build console_bench realm-site
bench_work console
"$build/console_bench" run "$build/realm-site" "$work/realm" "${1:-100000}"
