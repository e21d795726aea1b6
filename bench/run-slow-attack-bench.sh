#!/usr/bin/env bash
# realm-site beside nginx (deploy/nginx/realm-site.conf) under slow attacks, longer than the
# test command's run: each attack lasts 60 s and the loopback swarm has 1,000 connections, twice
# the pool (VANTREL_ATTACK_SECONDS and VANTREL_SWARM_CONNECTIONS change them). Prints, for each
# server, fetches answered within 1 s, their p95, peak memory, time to full service after the
# attack and the most connections held; the targets are not asserted. Not part of the test command.
set -euo pipefail
source "$(dirname "$0")/bench_lib.sh"
bench_build realm-site
cd "$here"
VANTREL_NATIVE_BUILD="$build" VANTREL_ATTACK_REPORT_ONLY=1 \
  VANTREL_ATTACK_SECONDS="${VANTREL_ATTACK_SECONDS:-60}" VANTREL_SWARM_CONNECTIONS="${VANTREL_SWARM_CONNECTIONS:-1000}" \
  /usr/bin/python3 -m pytest -q -s -p no:cacheprovider tests/e2e/test_site_slow_attacks.py
