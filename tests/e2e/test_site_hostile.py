"""realm-site against hostile clients and a busy realm, natively on loopback (no Wine).

Each test starts the real realm-site, does what an attacker or a crowd would, and asserts the
status codes, that resident memory stays bounded (VmHWM from /proc) and that the server still
answers. Traffic goes to 127.0.0.0/8 only, in bounded loops."""

import io
import json
import os
import socket
import subprocess
import threading
import time
import zipfile
from pathlib import Path

import pytest

from conftest import REALM_SITE, free_port, wait_for_port
from logs_support import report_folders

TOKEN = "hostile-test-token-0123"
MIB = 1048576


def memory_kib(pid, field="VmHWM"):
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    raise KeyError(field)


class Site:
    def __init__(self, root, *extra):
        self.port = free_port()
        self.log = open(Path(root).parent / "realm-site.log", "wb")
        self.proc = subprocess.Popen([str(REALM_SITE), "serve", "--root", str(root), "--listen",
                                      f"127.0.0.1:{self.port}", *extra], stdout=self.log, stderr=subprocess.STDOUT)
        wait_for_port(self.port)

    def peak_mib(self):
        return memory_kib(self.proc.pid) / 1024

    def stop(self):
        self.proc.terminate()
        assert self.proc.wait(timeout=10) == 0  # a clean stop on SIGTERM
        self.log.close()


@pytest.fixture
def realm(tmp_path):
    root = tmp_path / "realm"
    (root / "files" / "Data").mkdir(parents=True)
    (root / "realm.json").write_text(json.dumps({"realm": "Hostile", "address": "play.test",
                                                 "start": {"exe": "Game.exe"}, "operator_token": TOKEN}))
    (root / "files" / "Game.exe").write_bytes(b"MZ game")
    (root / "files" / "Data" / "one.mpq").write_bytes(os.urandom(MIB))
    (root / "files" / "Data" / "big.mpq").write_bytes(os.urandom(16 * MIB))
    return root


@pytest.fixture
def site(realm):
    s = Site(realm)
    yield s
    s.stop()


def connect(port, source="127.0.0.1", timeout=10.0):
    sock = socket.socket()
    sock.settimeout(timeout)
    sock.bind((source, 0))
    sock.connect(("127.0.0.1", port))
    return sock


def read_answer(sock, limit=256 * MIB):
    """(status, headers, body) of one answer; body read by Content-Length."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(65536)
        if not chunk:
            raise ConnectionError("closed before an answer")
        data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    status = int(lines[0].split()[1])
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    length = int(headers.get("content-length", "0"))
    assert length <= limit
    body = bytearray(body)
    while len(body) < length:
        chunk = sock.recv(min(1048576, length - len(body)))
        if not chunk:
            break
        body += chunk
    return status, headers, bytes(body)


def request(port, text, body=b"", source="127.0.0.1"):
    with connect(port, source) as sock:
        sock.sendall(text.encode() + body)
        return read_answer(sock)


def get(port, path, headers="", source="127.0.0.1"):
    return request(port, f"GET {path} HTTP/1.1\r\nHost: x\r\n{headers}\r\n", source=source)


def upload(port, body, headers="", source="127.0.0.1"):
    return request(port, f"POST /api/launcher/logs HTTP/1.1\r\nHost: x\r\nContent-Type: application/octet-stream\r\n"
                         f"Content-Length: {len(body)}\r\n{headers}\r\n", body, source)


def zip_of(size, entries=1):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_STORED) as archive:
        for i in range(entries):
            archive.writestr(f"crash/dump{i}.dmp", os.urandom(size // entries))
    return out.getvalue()


def drip(socks, data, ended, started):
    """Sends `data` on each socket not yet in `ended`, and records there (seconds since
    `started`, the first bytes of the answer or b"" for a close) each one the server let go."""
    for i, sock in enumerate(socks):
        if i in ended:
            continue
        try:
            sock.sendall(data)
            sock.setblocking(False)
            ended[i] = (time.monotonic() - started, sock.recv(4096)[:12])
        except BlockingIOError:
            pass
        except OSError:
            ended[i] = (time.monotonic() - started, b"")
        sock.setblocking(True)


def last_close(ended):
    return max(seconds for seconds, _ in ended.values())


def test_heads_and_bodies_are_refused_before_they_cost_memory(site, realm):
    start = site.peak_mib()
    # 64 MiB of headers: refused with 431 once past 64 KiB, the rest never read.
    with connect(site.port) as sock:
        sock.sendall(b"GET /api/launcher/manifest HTTP/1.1\r\nHost: x\r\n")
        line = b"X-Filler: " + b"a" * 1000 + b"\r\n"
        sent = 0
        try:
            while sent < 64 * MIB:
                sock.sendall(line * 64)
                sent += len(line) * 64
        except (BrokenPipeError, ConnectionResetError):
            pass
        assert sent < 8 * MIB, "the server kept reading headers"
        try:
            status, _, _ = read_answer(sock)
            assert status == 431
        except (ConnectionError, OSError):
            pass  # the reset may overtake the answer; what matters is that it stopped reading
    status, headers, _ = get(site.port, "/x", "X-Filler: " + "a" * 70000 + "\r\n")
    assert status == 431 and headers["x-content-type-options"] == "nosniff"

    # A compressed upload is never inflated; a declared 400 MiB is refused from the head.
    bomb = b"\x1f\x8b" + os.urandom(398 * 1024)
    assert upload(site.port, bomb, "Content-Encoding: gzip\r\n")[0] == 415
    assert request(site.port, "POST /api/launcher/logs HTTP/1.1\r\nHost: x\r\nContent-Length: 419430400\r\n\r\n")[0] == 413
    # A chunked body is cut off at 64 MiB: the connection closes long before 400 MiB.
    with connect(site.port) as sock:
        sock.sendall(b"POST /api/launcher/logs HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n")
        chunk = b"100000\r\n" + b"\0" * MIB + b"\r\n"
        sent = 0
        try:
            while sent < 400:
                sock.sendall(chunk)
                sent += 1
        except (BrokenPipeError, ConnectionResetError):
            pass
        assert sent < 100
    assert report_folders(realm) == []
    assert list((realm / ".reports-incoming").iterdir()) == []

    # A NUL, raw or escaped, would cut the path short to the name of another file.
    for target in ("/api/launcher/file/Game.exe%00.txt", "/api/launcher/file/Game.exe\0.txt",
                   "/api/launcher/file/Game.exe\0HTTP/1.1", "/api/launcher/manifest?\0"):
        assert get(site.port, target)[0] == 400, target

    # Range: thousands of parts get the whole file once; past the end is 416, never a bogus length.
    many = "Range: bytes=0-" + ",0-" * 2700 + "\r\n"
    status, headers, body = get(site.port, "/api/launcher/file/Data/one.mpq", many)
    assert status == 200 and len(body) == MIB == int(headers["content-length"])
    status, headers, body = get(site.port, "/api/launcher/manifest", many)
    assert status == 200 and json.loads(body)["files"]
    status, headers, _ = get(site.port, "/api/launcher/file/Data/one.mpq", "Range: bytes=5000000-\r\n")
    assert status == 416 and headers["content-range"] == f"bytes */{MIB}"
    status, headers, body = get(site.port, "/api/launcher/file/Data/one.mpq", "Range: bytes=1000-\r\n")
    assert status == 206 and headers["content-range"] == f"bytes 1000-{MIB - 1}/{MIB}" and len(body) == MIB - 1000

    assert get(site.port, "/api/launcher/manifest")[0] == 200
    print(f"hostile heads and bodies: peak {start:.1f} -> {site.peak_mib():.1f} MiB")
    assert site.peak_mib() - start < 32, f"peak grew from {start:.1f} to {site.peak_mib():.1f} MiB"


def test_slow_clients_and_busy_downloads_leave_the_manifest_answered(site):
    # 50 clients each sending one header line every 2 s, and 200 downloads barely read, from
    # several addresses (one address may hold 32 connections).
    slow_heads = []
    for i in range(50):
        sock = connect(site.port, f"127.0.1.{i % 5 + 1}")
        sock.sendall(b"GET /api/launcher/manifest HTTP/1.1\r\nHost: x\r\n")
        slow_heads.append(sock)
    downloads = []
    for i in range(200):
        sock = socket.socket()
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8192)
        sock.settimeout(10)
        sock.bind((f"127.0.2.{i % 10 + 1}", 0))
        sock.connect(("127.0.0.1", site.port))
        sock.sendall(b"GET /api/launcher/file/Data/big.mpq HTTP/1.1\r\nHost: x\r\n\r\n")
        sock.setblocking(False)
        downloads.append(sock)

    worst = 0.0
    started = time.monotonic()
    closed_at = {}
    while time.monotonic() - started < 14:
        t0 = time.monotonic()
        status, _, body = get(site.port, "/api/launcher/manifest", source="127.0.3.1")
        worst = max(worst, time.monotonic() - t0)
        assert status == 200 and json.loads(body)["realm"] == "Hostile"
        drip(slow_heads, b"X-Slow: 1\r\n", closed_at, started)
        for sock in downloads:
            try:
                sock.recv(4096)  # a slow reader: a few KiB a round
            except (BlockingIOError, OSError):
                pass
        time.sleep(1.0)
    print(f"slow clients: worst manifest wait {worst:.3f} s, slow heads closed by {last_close(closed_at):.1f} s, "
          f"peak {site.peak_mib():.1f} MiB")
    assert worst < 1.0, f"a manifest request waited {worst:.2f} s"
    # The head deadline is 10 s whatever the client keeps sending.
    assert len(closed_at) == 50 and last_close(closed_at) < 13, closed_at

    # One address past its 32 connections is closed at once; the others keep theirs.
    crowd = [connect(site.port, "127.0.4.1") for _ in range(40)]
    time.sleep(0.5)
    refused = 0
    for sock in crowd:
        sock.setblocking(False)
        try:
            refused += sock.recv(1) == b""
        except BlockingIOError:
            pass
        except OSError:
            refused += 1
    assert refused == 8
    assert get(site.port, "/api/launcher/manifest", source="127.0.4.2")[0] == 200
    assert site.peak_mib() < 128, f"peak {site.peak_mib():.1f} MiB"
    for sock in slow_heads + downloads + crowd:
        sock.close()


def test_reports_cannot_fill_the_disk_and_pages_read_only_the_directory(site, realm):
    big = zip_of(48 * MIB, entries=3000)
    status, _, body = upload(site.port, big, "X-Account: Mira\r\nX-Note: big%20one\r\n")
    assert status == 200, body
    link = json.loads(body)["url"]
    path = "/" + link.split("/", 3)[3]
    start = site.peak_mib()

    # 16 views and 16 downloads at once: the page lists the directory, the download streams.
    results = []

    def view(which):
        status, headers, body = get(site.port, path + which)
        results.append((which, status, len(body), headers.get("content-disposition", "")))

    threads = [threading.Thread(target=view, args=(which,)) for which in ["", "/download"] * 16]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert len(results) == 32
    for which, status, size, disposition in results:
        assert status == 200
        if which:
            assert size == len(big) and disposition.startswith("attachment;")
    page = get(site.port, path)[2].decode()
    assert "crash/dump0.dmp" in page and "and 1000 more files" in page and "big one" in page
    print(f"16 views and 16 downloads of a 48 MiB report: peak {start:.1f} -> {site.peak_mib():.1f} MiB")
    assert site.peak_mib() - start < 32, f"peak grew from {start:.1f} to {site.peak_mib():.1f} MiB"

    # 150 reports of 1 MiB from one address as fast as it can: ten an address in ten minutes.
    small = zip_of(MIB)
    statuses = [upload(site.port, small, source="127.0.5.1")[0] for _ in range(150)]
    assert statuses.count(200) == 10 and statuses.count(429) == 140
    status, _, body = upload(site.port, small, source="127.0.5.1")
    assert json.loads(body) == {"ok": False, "url": "",
                                "error": "too many reports from your address; try again in ten minutes"}
    assert len(report_folders(realm)) == 11

    # The operator's token: never from the address, and guessing is cut off.
    assert get(site.port, f"/reports?token={TOKEN}")[0] == 401
    for i in range(10):
        assert get(site.port, "/reports", f"Authorization: Bearer guess{i}\r\n", source="127.0.6.1")[0] == 401
    assert get(site.port, "/reports", f"Authorization: Bearer {TOKEN}\r\n", source="127.0.6.1")[0] == 429
    assert get(site.port, "/reports", f"Authorization: Bearer {TOKEN}\r\n")[0] == 200



def open_fds(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def wait_fds(pid, most, timeout):
    """Seconds until realm-site holds at most `most` descriptors, or None."""
    started = time.monotonic()
    while time.monotonic() - started < timeout:
        if open_fds(pid) <= most:
            return time.monotonic() - started
        time.sleep(0.05)
    return None


def test_slow_and_vanished_clients_are_let_go(realm):
    # Short figures so each rule shows within seconds: 1 KiB/s over 3 s after a 2 s grace, four
    # uploads at once in a pool of 40.
    site = Site(realm, "--min-rate", "1024", "--rate-window", "3", "--rate-grace", "2", "--uploads", "4",
                "--max-connections", "40", "--per-address", "40")
    pid = site.proc.pid
    idle_fds = open_fds(pid)
    held = []
    try:
        # Four slow uploads take the uploads' share: a fifth is refused at once, downloads go on.
        slow = []
        for _ in range(4):
            sock = connect(site.port)
            sock.sendall(b"POST /api/launcher/logs HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n\r\nPK")
            slow.append(sock)
        time.sleep(0.5)
        status, headers, body = upload(site.port, zip_of(1000))
        assert status == 503 and headers["retry-after"] == "60" and json.loads(body)["ok"] is False
        assert get(site.port, "/api/launcher/manifest")[0] == 200
        # Dripping 20 bytes a second, they are cut with 408 once the grace is over.
        started = time.monotonic()
        cut_at = {}
        while len(cut_at) < 4 and time.monotonic() - started < 8:
            drip(slow, b"0123456789", cut_at, started)
            time.sleep(0.5)
        assert len(cut_at) == 4 and all(1.5 < t < 4.5 for t, _ in cut_at.values()), cut_at
        assert any(first == b"HTTP/1.1 408" for _, first in cut_at.values()), cut_at
        for sock in slow:
            sock.close()
        assert upload(site.port, zip_of(1000))[0] == 200  # the share is free again

        # Readers that take nothing of a 16 MiB file are dropped past the grace.
        assert wait_fds(pid, idle_fds, 3) is not None
        readers = []
        for _ in range(3):
            sock = socket.socket()
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            sock.connect(("127.0.0.1", site.port))
            sock.sendall(b"GET /api/launcher/file/Data/big.mpq HTTP/1.1\r\nHost: x\r\n\r\n")
            readers.append(sock)
        held += readers
        time.sleep(1.0)
        assert open_fds(pid) >= idle_fds + 3  # still held within the grace
        dropped = wait_fds(pid, idle_fds, 8)
        assert dropped is not None and dropped < 5, f"slow readers held {open_fds(pid) - idle_fds} descriptors"

        # Clients that close or reset mid-head and mid-body are let go within a second.
        gone = []
        for i in range(30):
            sock = connect(site.port, f"127.0.8.{i % 3 + 1}")
            if i < 4:  # as many bodies as the uploads' share holds
                sock.sendall(b"POST /api/launcher/logs HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n\r\nPK")
            else:
                sock.sendall(b"GET /api/launcher/manifest HTTP/1.1\r\nHost: x\r\n")
            gone.append(sock)
        time.sleep(0.5)
        assert open_fds(pid) >= idle_fds + 30
        for i, sock in enumerate(gone):
            if i % 3 == 0:  # a reset rather than a close
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
            sock.close()
        freed = wait_fds(pid, idle_fds, 5)
        assert freed is not None and freed < 1.0, f"closed clients freed after {freed} s"

        # A full pool of clients yet to send their heads: a newcomer takes the oldest one's place.
        for i in range(40):
            sock = connect(site.port, f"127.0.9.{i % 4 + 1}")
            sock.sendall(b"GET /api/launcher/manifest HTTP/1.1\r\n")
            held.append(sock)
        time.sleep(0.5)
        for _ in range(5):
            t0 = time.monotonic()
            assert get(site.port, "/api/launcher/manifest", source="127.0.10.1")[0] == 200
            assert time.monotonic() - t0 < 1.0
        # Stopping isn't held up by the connections it holds.
        t0 = time.monotonic()
        site.proc.terminate()
        assert site.proc.wait(timeout=10) == 0
        assert time.monotonic() - t0 < 2.0, f"SIGTERM took {time.monotonic() - t0:.1f} s"
    finally:
        for sock in held:
            sock.close()
        if site.proc.poll() is None:
            site.proc.kill()
            site.proc.wait()
        site.log.close()
