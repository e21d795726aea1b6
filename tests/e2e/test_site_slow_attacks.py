"""realm-site under slow attacks from many addresses, beside nginx running the repository's
deployment file under the same attacks, natively on loopback.

The attacks: Debian's slowhttptest in its slow body, slow read and slowloris modes (realm-site's
cap per address, and nginx's, raised to stand in for an attacker with many addresses); a swarm
binding a thousand loopback addresses (127.0.x.y); and one using a thousand IPv6 addresses of one
/64 inside a private network namespace. Meanwhile a player on another address fetches the
manifest and a 1 MiB file every second. Printed for each server: fetches answered within 1 s,
their p95 time, peak memory, and the time to full service once the attacker has left."""

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import REALM_SITE, REPO, free_port, stop_process, wait_for_port
from slow_attack_support import (BIG, MANIFEST, UPLOAD, Running, ipv4_sources, nginx_conf, nginx_pids, raise_fd_limit,
                                 run_attack, swarm_attack)
from sync_support import Nginx, export_realm

CONFIG = REPO / "deploy" / "nginx" / "realm-site.conf"
SECONDS = float(os.environ.get("VANTREL_ATTACK_SECONDS", "10"))
CONNECTIONS = 1000  # slowhttptest, as in the report that found the fault
SWARM = int(os.environ.get("VANTREL_SWARM_CONNECTIONS", "600"))
MIB = 1048576
MEMORY_BOUND_MIB = 128  # what test_site_hostile.py holds realm-site to


def make_attack_realm(root):
    (root / "files" / "Data").mkdir(parents=True)
    (root / "realm.json").write_text(json.dumps({"realm": "Attacked", "address": "play.test",
                                                 "start": {"exe": "Game.exe"}}))
    (root / "files" / "Game.exe").write_bytes(b"MZ game")
    (root / "files" / "Data" / "one.mpq").write_bytes(os.urandom(MIB))
    with open(root / "files" / "Data" / "big.mpq", "wb") as big:
        for _ in range(64):
            big.write(os.urandom(MIB))
    return root


def slowhttptest(mode, url):
    args = {"slow body": ["-B", "-i", "2", "-s", "1048576", "-x", "10", "-u", url + UPLOAD],
            "slow read": ["-X", "-w", "512", "-y", "1024", "-n", "1", "-z", "32", "-u", url + BIG],
            "slowloris": ["-H", "-i", "2", "-x", "10", "-u", url + MANIFEST]}[mode]

    def attack(seconds):
        proc = subprocess.Popen(["slowhttptest", "-c", str(CONNECTIONS), "-r", "500", "-l", str(int(seconds)),
                                 "-p", "2", *args], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                preexec_fn=raise_fd_limit)
        try:
            proc.wait(timeout=seconds + 20)
        finally:
            stop_process(proc)
    return attack


def print_table(rows):
    print(f"\n{'attack':<34} {'server':<11} {'answered':>9} {'p95 s':>7} {'peak MiB':>9} {'full service s':>15} "
          f"{'most held':>9}")
    for attack, server, f in rows:
        back = "never" if f["recovery"] is None else f"{f['recovery']:.2f}"
        print(f"{attack:<34} {server:<11} {f['answered']:>4}/{f['fetches']:<4} {f['p95']:>7.3f} "
              f"{f['peak_mib']:>9.1f} {back:>15} {f['sockets']:>9}")


def check(rows):
    """realm-site near the targets, with a margin for a shared machine where a single fetch may
    stall for either server (with some 20 fetches the p95 is the slowest one): 90% answered
    within 1 s, full service within 2 s, memory bounded, and at most two misses more than nginx."""
    if os.environ.get("VANTREL_ATTACK_REPORT_ONLY") == "1":  # the longer benchmark only prints
        return
    by = {(attack, server): f for attack, server, f in rows}
    for attack, server, f in rows:
        if server != "realm-site":
            continue
        assert f["fetches"] >= 2 * int(SECONDS) - 2, (attack, f)
        assert f["answered"] >= 0.9 * f["fetches"], (attack, f)
        assert f["recovery"] is not None and f["recovery"] <= 2.0, (attack, f)
        assert f["peak_mib"] < MEMORY_BOUND_MIB, (attack, f)
        theirs = by[(attack, "nginx")]
        assert f["fetches"] - f["answered"] <= theirs["fetches"] - theirs["answered"] + 2, (attack, f, theirs)


@pytest.mark.skipif(shutil.which("slowhttptest") is None, reason="slowhttptest isn't installed (scripts/setup.sh)")
def test_slow_attacks_from_many_addresses_beside_nginx(tmp_path):
    raise_fd_limit()
    realm = make_attack_realm(tmp_path / "realm")
    static = export_realm(realm, tmp_path / "static")
    logs = open(tmp_path / "realm-site.log", "wb")
    port, upstream_port = free_port(), free_port()
    # realm-site's per-address cap raised as a stand-in for an attacker with many addresses.
    site = subprocess.Popen([str(REALM_SITE), "serve", "--root", str(realm), "--listen", f"127.0.0.1:{port}",
                             "--per-address", "1024"], stdout=logs, stderr=subprocess.STDOUT)
    upstream = subprocess.Popen([str(REALM_SITE), "serve", "--root", str(realm), "--listen",
                                 f"127.0.0.1:{upstream_port}", "--trust-proxy"], stdout=logs, stderr=subprocess.STDOUT)
    nginx = None
    rows = []
    try:
        wait_for_port(port)
        wait_for_port(upstream_port)
        # nginx's limit per address raised the same way, and room for every connection.
        nginx = Nginx(static, tmp_path / "nginx", lambda p: nginx_conf(
            CONFIG.read_text(), f"127.0.0.1:{p}", static, f"127.0.0.1:{upstream_port}", per_address=1024),
            worker_connections=4096)
        servers = [Running("realm-site", "127.0.0.1", port, site, "127.0.77.1"),
                   Running("nginx", "127.0.0.1", nginx.port, nginx.proc, "127.0.77.1",
                           lambda: nginx_pids(nginx.proc.pid))]
        for server in servers:
            server.settle()
        sources = ipv4_sources(SWARM)
        for mode in ("slow body", "slow read", "slowloris", "swarm"):
            for server in servers:
                url = f"http://{server.host}:{server.port}"
                attack = slowhttptest(mode, url) if mode != "swarm" else swarm_attack(
                    server.host, server.port, sources, SWARM)
                name = f"slowhttptest {mode}" if mode != "swarm" else f"{SWARM} addresses (127.0.x.y)"
                rows.append((name, server.name, run_attack(server, attack, SECONDS)))
    finally:
        print_table(rows)
        if nginx is not None:
            nginx.stop()
        for proc in (site, upstream):
            stop_process(proc)
        logs.close()
    check(rows)


def test_an_ipv6_slash64_attack_beside_nginx(tmp_path):
    if os.geteuid() != 0 or shutil.which("ip") is None:
        pytest.skip("a private network namespace needs root and iproute2")
    namespace = f"vantrel-slow-{os.getpid()}"
    made = subprocess.run(["ip", "netns", "add", namespace], capture_output=True, text=True)
    if made.returncode != 0:
        pytest.skip(f"can't make a network namespace here: {made.stderr.strip()}")
    try:
        realm = make_attack_realm(tmp_path / "realm")
        static = export_realm(realm, tmp_path / "static")
        ran = subprocess.run(["ip", "netns", "exec", namespace, sys.executable,
                              str(Path(__file__).with_name("slow_attack_support.py")), str(REALM_SITE), str(realm),
                              str(static), str(CONFIG), str(tmp_path), str(SECONDS), str(CONNECTIONS)],
                             capture_output=True, text=True, timeout=SECONDS * 2 + 90)
        assert ran.returncode == 0, ran.stderr[-3000:]
        figures = json.loads(ran.stdout.strip().splitlines()[-1])
    finally:
        subprocess.run(["ip", "netns", "del", namespace], capture_output=True)
    rows = [("1000 addresses of one IPv6 /64", server, figures[server]) for server in ("realm-site", "nginx")]
    print_table(rows)
    check(rows)
    # The whole /64 counts as one address: it never held more than its 32 connections.
    assert figures["realm-site"]["sockets"] <= 32 + 2, figures
