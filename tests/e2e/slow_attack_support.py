"""Slow attacks on a realm's site, and the player who keeps fetching meanwhile: shared by
test_site_slow_attacks.py and bench/run-slow-attack-bench.sh. Run as a script inside a private
network namespace, it plays the IPv6 attack (many addresses of one /64) against realm-site and
nginx there and prints the figures as one JSON line. Every loop is bounded in count and time."""

import json
import multiprocessing
import os
import resource
import select
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

from conftest import stop_process
from sync_support import Nginx

MANIFEST = "/api/launcher/manifest"
FILE = "/api/launcher/file/Data/one.mpq"
BIG = "/api/launcher/file/Data/big.mpq"
UPLOAD = "/api/launcher/logs"


def raise_fd_limit(want=8192):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    target = want if hard == resource.RLIM_INFINITY else min(want, hard)
    if soft < target:
        resource.setrlimit(resource.RLIMIT_NOFILE, (target, hard))


def family_of(host):
    return socket.AF_INET6 if ":" in host else socket.AF_INET


def fetch(host, port, path, source, timeout=3.0):
    """(answered, seconds): one GET over a fresh connection, answered when 200 and whole."""
    t0 = time.monotonic()
    try:
        with socket.socket(family_of(host)) as sock:
            sock.settimeout(timeout)
            sock.bind((source, 0))
            sock.connect((host, port))
            sock.sendall(f"GET {path} HTTP/1.1\r\nHost: realm\r\nConnection: close\r\n\r\n".encode())
            data = b""
            while b"\r\n\r\n" not in data and len(data) < 65536:
                chunk = sock.recv(65536)
                if not chunk:
                    return False, time.monotonic() - t0
                data += chunk
            head, _, body = data.partition(b"\r\n\r\n")
            lines = head.decode("latin-1").split("\r\n")
            length = 0
            for line in lines[1:]:
                name, _, value = line.partition(":")
                if name.strip().lower() == "content-length":
                    length = int(value)
            got = len(body)
            while got < length and time.monotonic() - t0 < timeout:
                chunk = sock.recv(1048576)
                if not chunk:
                    break
                got += len(chunk)
            return lines[0].split()[1] == "200" and got == length, time.monotonic() - t0
    except (OSError, ValueError, IndexError):
        return False, time.monotonic() - t0


class Probe(threading.Thread):
    """A player on its own address: the manifest and a file, once a second."""

    def __init__(self, host, port, source, period=1.0):
        super().__init__(daemon=True)
        self.host, self.port, self.source, self.period = host, port, source, period
        self.results = []  # (answered within 1 s, seconds)
        self.done = threading.Event()

    def run(self):
        for _ in range(600):
            if self.done.is_set():
                return
            t0 = time.monotonic()
            for path in (MANIFEST, FILE):
                answered, seconds = fetch(self.host, self.port, path, self.source)
                self.results.append((answered and seconds <= 1.0, seconds))
            self.done.wait(max(0.0, self.period - (time.monotonic() - t0)))

    def stop(self):
        self.done.set()
        self.join(timeout=10)

    def figures(self):
        times = sorted(seconds for _, seconds in self.results)
        p95 = times[min(len(times) - 1, int(len(times) * 0.95))] if times else 0.0
        return {"answered": sum(1 for ok, _ in self.results if ok), "fetches": len(self.results), "p95": p95}


def sockets_held(pids):
    count = 0
    for pid in pids:
        try:
            for fd in os.listdir(f"/proc/{pid}/fd"):
                try:
                    count += os.readlink(f"/proc/{pid}/fd/{fd}").startswith("socket:")
                except OSError:
                    pass
        except OSError:
            pass
    return count


def rss_mib(pids):
    total = 0
    for pid in pids:
        try:
            for line in Path(f"/proc/{pid}/status").read_text().splitlines():
                if line.startswith("VmRSS:"):
                    total += int(line.split()[1])
        except OSError:
            pass
    return total / 1024


def nginx_pids(master):
    try:
        children = Path(f"/proc/{master}/task/{master}/children").read_text().split()
    except OSError:
        children = []
    return [master] + [int(pid) for pid in children]


class Sampler(threading.Thread):
    """Peak resident memory and sockets held of a server's processes, five times a second."""

    def __init__(self, pids_fn):
        super().__init__(daemon=True)
        self.pids_fn = pids_fn
        self.peak = rss_mib(pids_fn())
        self.sockets = sockets_held(pids_fn())
        self.done = threading.Event()

    def run(self):
        for _ in range(3000):
            if self.done.wait(0.2):
                return
            self.peak = max(self.peak, rss_mib(self.pids_fn()))
            self.sockets = max(self.sockets, sockets_held(self.pids_fn()))

    def stop(self):
        self.done.set()
        self.join(timeout=5)


def recovery(host, port, source, pids_fn, idle_sockets, limit=10.0):
    """Seconds from now until the manifest and a file are each answered within 1 s and the
    server holds no more sockets than when idle (a few more for keep-alive to its upstream)."""
    started = time.monotonic()
    while time.monotonic() - started < limit:
        answered = all(fetch(host, port, path, source, timeout=1.0) [0] for path in (MANIFEST, FILE))
        if answered and sockets_held(pids_fn()) <= idle_sockets + 4:
            return time.monotonic() - started
        time.sleep(0.1)
    return None


class Swarm:
    """Hostile connections from many source addresses, one each in turn: a third drip a
    request head, a third drip an upload body, a third ask for a big file and read nothing.
    One the server lets go is opened again at once, as a real attacker's would be."""

    MODES = ("head", "body", "read")

    def __init__(self, host, port, sources, count):
        self.host, self.port, self.sources, self.count = host, port, sources, count
        self.opened = 0
        self.failed = 0

    def _open(self, i):
        mode = self.MODES[i % 3]
        sock = socket.socket(family_of(self.host))
        if mode == "read":
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1024)
        sock.settimeout(0.2)
        try:
            sock.bind((self.sources[i % len(self.sources)], 0))
            sock.connect((self.host, self.port))
            first = {"head": f"GET {MANIFEST} HTTP/1.1\r\nHost: realm\r\n",
                     "body": f"POST {UPLOAD} HTTP/1.1\r\nHost: realm\r\nContent-Length: 1048576\r\n\r\nPK",
                     "read": f"GET {BIG} HTTP/1.1\r\nHost: realm\r\n\r\n"}[mode]
            sock.sendall(first.encode())
        except OSError:
            sock.close()
            self.failed += 1
            return None
        sock.setblocking(False)
        self.opened += 1
        return sock

    def run(self, seconds):
        conns = [self._open(i) for i in range(self.count)]
        deadline = time.monotonic() + seconds
        ticks = 0
        while time.monotonic() < deadline and ticks < int(seconds * 4) + 4:
            ticks += 1
            poller = select.poll()
            for sock in conns:
                if sock is not None:
                    poller.register(sock, select.POLLRDHUP)
            hung = {fd for fd, events in poller.poll(0) if events & (select.POLLERR | select.POLLHUP | select.POLLRDHUP)}
            for i, sock in enumerate(conns):
                if time.monotonic() >= deadline:
                    break
                if sock is not None and sock.fileno() in hung:
                    sock.close()
                    sock = None
                elif sock is not None and ticks % 4 == 0 and self.MODES[i % 3] != "read":
                    try:
                        sock.send(b"X-a: b\r\n" if self.MODES[i % 3] == "head" else b"x")
                    except BlockingIOError:
                        pass
                    except OSError:
                        sock.close()
                        sock = None
                conns[i] = sock if sock is not None else self._open(i)
            time.sleep(0.25)
        for sock in conns:
            if sock is not None:
                sock.close()


def swarm_attack(host, port, sources, count):
    """An attack that runs a Swarm in a process of its own, so the player's timings in this one
    never wait for the swarm's share of the interpreter."""
    def attack(seconds):
        proc = multiprocessing.get_context("fork").Process(target=Swarm(host, port, sources, count).run,
                                                            args=(seconds,), daemon=True)
        proc.start()
        proc.join(timeout=seconds + 30)
        if proc.is_alive():
            proc.kill()
            proc.join(timeout=10)
    return attack


def ipv4_sources(count):
    return [f"127.0.{20 + i // 250}.{1 + i % 250}" for i in range(count)]


def run_attack(server, attack, seconds):
    """Figures of one attack on one server. `server` has host, port, probe_source, pids(),
    idle_sockets; `attack(seconds)` blocks for the attack's length."""
    probe = Probe(server.host, server.port, server.probe_source)
    memory = Sampler(server.pids)
    memory.start()
    probe.start()
    attack(seconds)
    probe.stop()
    back = recovery(server.host, server.port, server.probe_source, server.pids, server.idle_sockets)
    memory.stop()
    return dict(probe.figures(), recovery=back, peak_mib=memory.peak, sockets=memory.sockets - server.idle_sockets)


class Running:
    """A server under test: a process (realm-site, or nginx's master) and where to probe it."""

    def __init__(self, name, host, port, proc, probe_source, pids_fn=None):
        self.name, self.host, self.port, self.proc, self.probe_source = name, host, port, proc, probe_source
        self.pids = pids_fn or (lambda: [proc.pid])
        self.idle_sockets = 0

    def settle(self):
        """Warms the server up and takes its idle socket count."""
        for _ in range(3):
            for path in (MANIFEST, FILE):
                fetch(self.host, self.port, path, self.probe_source)
        time.sleep(0.3)
        self.idle_sockets = sockets_held(self.pids())


def wait_listening(host, port, timeout=20.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with socket.create_connection((host, port), timeout=0.5):
                return
        except OSError:
            time.sleep(0.05)
    raise TimeoutError(f"nothing listens on {host}:{port}")


def nginx_conf(config_text, listen, static, realm_site, per_address=None):
    """The deployed server block with its placeholders filled (and, as a stand-in for many
    addresses, a raised limit per address when asked)."""
    text = config_text.replace("@LISTEN@", listen).replace("@STATIC@", str(static)).replace("@REALM_SITE@", realm_site)
    if per_address is not None:
        text = text.replace("limit_conn realm_per_address 32;", f"limit_conn realm_per_address {per_address};")
    return text


def ipv6_main(args):
    """Inside a private network namespace: realm-site and nginx on fd00:21::1, the attacker on
    many addresses of fd00:21::/64, the player on fd00:22::1. Prints one JSON line."""
    realm_site, realm, static, config, work, seconds, count = args
    seconds, count = float(seconds), int(count)
    raise_fd_limit()
    commands = ["link set lo up", "addr add fd00:21::1/64 dev lo nodad", "addr add fd00:22::1/64 dev lo nodad"]
    commands += [f"addr add fd00:21::{0x1000 + i:x}/128 dev lo nodad" for i in range(count)]
    subprocess.run(["ip", "-batch", "-"], input="\n".join(commands) + "\n", text=True, check=True)
    sources = [f"fd00:21::{0x1000 + i:x}" for i in range(count)]
    site = subprocess.Popen([realm_site, "serve", "--root", realm, "--listen", "[fd00:21::1]:8081"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    upstream = subprocess.Popen([realm_site, "serve", "--root", realm, "--listen", "127.0.0.1:8082", "--trust-proxy"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    results = {}
    nginx = None
    try:
        wait_listening("fd00:21::1", 8081)
        wait_listening("127.0.0.1", 8082)
        # The deployed file as it is: its limit per address counts each IPv6 address apart.
        nginx = Nginx(static, Path(work) / "nginx6", lambda port: nginx_conf(
            Path(config).read_text(), f"127.0.0.1:{port}; listen [fd00:21::1]:{port}", static, "127.0.0.1:8082"),
            worker_connections=4096)
        servers = [Running("realm-site", "fd00:21::1", 8081, site, "fd00:22::1"),
                   Running("nginx", "fd00:21::1", nginx.port, nginx.proc, "fd00:22::1",
                           lambda: nginx_pids(nginx.proc.pid))]
        for server in servers:
            server.settle()
            results[server.name] = run_attack(server, swarm_attack(server.host, server.port, sources, count), seconds)
    finally:
        if nginx is not None:
            nginx.stop()
        for proc in (site, upstream):
            stop_process(proc)
    print(json.dumps(results))


if __name__ == "__main__":
    ipv6_main(sys.argv[1:])
