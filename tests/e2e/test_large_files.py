"""A game file past 4 GiB end to end: the real launcher under Wine, whose WinHTTP ends any answer
body at 2,147,483,647 bytes, fetches it in ranges of at most 1 GiB from realm-site, checks it again
without downloading, finds a byte flipped past 4 GiB and fetches the file again from nginx serving
the same realm, and stops with a clear message, placing nothing, when the site answers every range
with the whole file.

The realm's file is sparse (4.5 GiB + 5 bytes, random mebibytes across every GiB mark), so it costs
the disk almost nothing, and realm-site hashes it once for every test. The game folder lies on
/dev/shm when there is room, since a flushed 4.5 GiB file on a shared disk takes minutes; each
test downloads as little as its checks need and deletes its copy after.
"""

import ctypes
import ctypes.util
import hashlib
import json
import os
import random
import re
import shutil
import subprocess
import tempfile
import urllib.request
from pathlib import Path

import pytest

from conftest import REALM_SITE, free_port, install_launcher, stop_process, wait_for_port
from sync_support import GAME_EXE, Nginx, end, make_game_folder, make_realm, part_files, write_settings

MIB = 1 << 20
GIB = 1 << 30
SIZE = 4 * GIB + GIB // 2 + 5
HUGE = "Data/Huge.mpq"
FILE_PATH = "/api/launcher/file/" + HUGE
GAME = b"MZ stand-in game program"
UPDATED = ("Updated", "1 file from the realm, 4608.0 MB.", True)
# The launcher's trace lines and, through Wine's "text" channel, every text its window draws.
TRACE_TEXT = {"WINEDEBUG": "-all,warn+seh,warn+debugstr,trace+text"}
PROGRESS_RE = re.compile(r"Huge\.mpq: (\d+)\.(\d) MB of 4608\.0 MB")


def random_spans():
    """(offset, bytes) of random data: the first and last MiB and one MiB across every GiB mark."""
    rng = random.Random(19)
    spans = [(0, MIB), (SIZE - MIB, MIB)] + [(mark * GIB - MIB // 2, MIB) for mark in (1, 2, 3, 4)]
    return [(offset, rng.randbytes(length)) for offset, length in spans]


@pytest.fixture(scope="module")
def huge(tmp_path_factory):
    """realm-site serving a realm that holds the sparse file: (realm folder, site address, its
    manifest). It hashes 4.5 GiB before it listens, which takes a while."""
    work = tmp_path_factory.mktemp("huge")
    realm = make_realm(work / "realm", {GAME_EXE: GAME})
    path = realm / "files" / HUGE
    path.parent.mkdir(parents=True)
    with open(path, "wb") as f:
        f.truncate(SIZE)
        for offset, data in random_spans():
            f.seek(offset)
            f.write(data)
    port = free_port()
    with open(work / "realm-site.log", "wb") as log:
        proc = subprocess.Popen([str(REALM_SITE), "serve", "--root", str(realm), "--listen", f"127.0.0.1:{port}"],
                                stdout=log, stderr=subprocess.STDOUT)
    try:
        wait_for_port(port, timeout=600)
        url = f"http://127.0.0.1:{port}"
        with urllib.request.urlopen(url + "/api/launcher/manifest", timeout=60) as answer:
            manifest = answer.read()
        yield realm, url, manifest
    finally:
        stop_process(proc)


@pytest.fixture
def game(tmp_path):
    """A game folder with the game program, on /dev/shm when it has room for a copy (a second one is
    never whole there at the same time: see punch_zeros)."""
    shm = Path("/dev/shm")
    roomy = shm.is_dir() and shutil.disk_usage(shm).free > SIZE + GIB and available_memory() > SIZE + 4 * GIB
    folder = Path(tempfile.mkdtemp(prefix="vantrel-huge.", dir=shm if roomy else tmp_path))
    make_game_folder(folder, {GAME_EXE: GAME})
    yield folder
    shutil.rmtree(folder, ignore_errors=True)


def available_memory():
    for line in Path("/proc/meminfo").read_text().splitlines():
        if line.startswith("MemAvailable:"):
            return int(line.split()[1]) * 1024
    return 0


def digest_of(path):
    with open(path, "rb") as f:
        return hashlib.file_digest(f, "sha256").hexdigest()


def status_kib(pid, field):
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    return 0


def drawn_progress(launcher, start):
    """The download's progress details the window drew, in MiB (one decimal), from log offset `start`."""
    text = Path(launcher.log.name).read_bytes()[start:].decode("latin-1")
    return [int(whole) + int(tenth) / 10 for whole, tenth in PROGRESS_RE.findall(text)]


def log_size(exe):
    log = Path(exe).parent / f"wine-{Path(exe).stem}.log"
    return log.stat().st_size if log.exists() else 0


def watched_run(launch, exe):
    """One run: (finish, progress drawn, resident KiB when the download started, peak KiB)."""
    start = log_size(exe)
    launcher = launch(exe, extra_env=TRACE_TEXT)
    launcher.wait_trace(r"^\[vantrel\] status: (Downloading|Checking)|^\[vantrel\] finish: ", timeout=120)
    resident = status_kib(launcher.proc.pid, "VmRSS")
    finish = launcher.wait_finish(timeout=1800)
    peak = status_kib(launcher.proc.pid, "VmHWM")
    end(launcher)
    return finish, drawn_progress(launcher, start), resident, peak


def punch_zeros(path):
    """Frees the pages of the copy where the realm's file has zeros (its bytes stay the same), so a
    mend's second copy fits beside it on /dev/shm."""
    libc = ctypes.CDLL(ctypes.util.find_library("c"), use_errno=True)
    libc.fallocate.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_int64, ctypes.c_int64]
    punch_hole, keep_size = 0x02, 0x01
    data = sorted((offset, offset + len(bytes_)) for offset, bytes_ in random_spans())
    with open(path, "r+b") as f:
        at = 0
        for first, last in data + [(SIZE, SIZE)]:
            if first > at and libc.fallocate(f.fileno(), punch_hole | keep_size, at, first - at) != 0:
                return  # a file system without holes: the copy just stays whole
            at = max(at, last)


def assert_same_as_the_realms(copy):
    """Size and every random span of the realm's file (the launcher checked its SHA-256 itself)."""
    assert copy.stat().st_size == SIZE
    with open(copy, "rb") as f:
        for offset, data in random_spans():
            f.seek(offset)
            assert f.read(len(data)) == data, offset


def test_a_file_past_4_gib_is_fetched_checked_and_mended(huge, wine, launch, game, tmp_path):
    realm, site, manifest = huge
    exe = install_launcher(tmp_path / "app", site)
    write_settings(wine, game)

    finish, progress, resident, peak = watched_run(launch, exe)
    assert finish == UPDATED
    copy = game / HUGE
    assert_same_as_the_realms(copy)
    assert not part_files(game) and not (wine.settings_folder() / "partial").exists()
    # Progress counted over the whole file, drawn right past 2 and 4 GiB, never going back.
    assert progress == sorted(progress)
    assert any(2048 < mib < 2100 for mib in progress) and any(4096 < mib < 4200 for mib in progress)
    # Memory stays flat over 4.5 GiB: one read buffer, whatever the file's size.
    assert peak - resident < 64 * 1024, (resident, peak)

    # The next start trusts its ledger: nothing downloaded, nothing hashed.
    launcher = launch(exe)
    assert launcher.wait_finish(timeout=120) == ("Up to date", "2 files checked against the realm.", True)
    assert not [line for line in launcher.traces("status") if "Checking your files" in line]
    end(launcher)

    # A byte flipped past 4 GiB is found and the file fetched again, this time from nginx serving
    # the same realm as static files (the same settings folder, so the same ledgers).
    punch_zeros(copy)
    with open(copy, "r+b") as f:
        f.seek(4 * GIB + 123457)
        flipped = f.read(1)[0] ^ 0x40
        f.seek(4 * GIB + 123457)
        f.write(bytes([flipped]))
    nginx = Nginx(static_tree(realm, manifest, tmp_path / "static"), tmp_path / "nginx",
                  log_format="$request_uri $status $body_bytes_sent $http_range")
    try:
        launcher = launch(install_launcher(tmp_path / "nginx-app", nginx.url))
        finish = launcher.wait_finish(timeout=1800)
        checked = [line for line in launcher.traces("status") if "Checking your files | Huge.mpq" in line]
        end(launcher)
        log = [line.split(" ") for line in nginx.log() if line.startswith(FILE_PATH)]
    finally:
        nginx.stop()
    assert finish == UPDATED and checked
    assert [(status, int(sent), asked) for _, status, sent, asked in log] == [
        ("206", GIB, "bytes=0-1073741823"), ("206", GIB, "bytes=1073741824-2147483647"),
        ("206", GIB, "bytes=2147483648-3221225471"), ("206", GIB, "bytes=3221225472-4294967295"),
        ("206", SIZE - 4 * GIB, "bytes=4294967296-")]
    assert digest_of(copy) == next(f["sha256"] for f in json.loads(manifest)["files"] if f["path"] == HUGE)
    assert not part_files(game) and not (game / "realm-backup").exists()  # the launcher's own file


def static_tree(realm, manifest, folder):
    """The realm as static files for nginx: the manifest realm-site served, and the game files
    linked, not copied."""
    files = folder / "api" / "launcher" / "file"
    (files / "Data").mkdir(parents=True)
    os.link(realm / "files" / HUGE, files / HUGE)
    (files / GAME_EXE).write_bytes(GAME)
    (folder / "api" / "launcher" / "manifest").write_bytes(manifest)
    return folder


def test_a_site_that_ignores_ranges_stops_short_with_the_byte_and_places_nothing(huge, wine, launch, game,
                                                                                   tmp_path):
    # max_ranges 0: nginx answers every request with the whole file and 200.
    realm, _, manifest = huge
    root = static_tree(realm, manifest, tmp_path / "static")
    nginx = Nginx(root, tmp_path / "nginx", servers=lambda port: f"""  default_type application/octet-stream;
  server {{
    listen 127.0.0.1:{port};
    root {root};
    max_ranges 0;
    location / {{ }}
  }}""")
    try:
        exe = install_launcher(tmp_path / "app", nginx.url)
        write_settings(wine, game)
        launcher = launch(exe)
        headline, detail, ready = launcher.wait_finish(timeout=1800)
        end(launcher)
        requests = [line for line in nginx.requested_paths() if line == FILE_PATH]
    finally:
        nginx.stop()
    # This Wine ends the body at 2,147,483,647 bytes; the whole file can't be asked for in parts.
    assert (headline, ready) == ("The download stopped", True)
    assert detail == (f"Huge.mpq: the realm's answer keeps stopping short (at byte 2147483647 of {SIZE}). "
                      "Press Check files to try again.")
    assert requests == [FILE_PATH]
    assert [p.name for p in game.rglob("*") if not p.is_dir()] == [GAME_EXE]
    assert not (wine.settings_folder() / "partial").exists()
