"""Sizes and memory where the 32-bit release build could fail, run on both builds: a present file
past 4 GiB hashed and then known by its size, a 1 GiB download within the same memory bound, and
a hash ledger at its 8 MiB limit."""

import hashlib
from pathlib import Path

from conftest import install_launcher
from fault_server import FaultServer
from sync_support import GAME_EXE, make_game_folder, make_realm, run_once, write_settings

GAME = b"MZ stand-in game program"
MIB = 1 << 20


def sparse_file(path, size, marks):
    """A file of `size` bytes, zeros but for the 1 MiB `marks` {offset: seed}; returns its hash text."""
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "wb") as out:
        out.truncate(size)
        for offset, seed in marks.items():
            out.seek(offset)
            out.write(hashlib.sha256(seed.encode()).digest() * (MIB // 32))
    digest = hashlib.sha256()
    with open(path, "rb") as data:
        while piece := data.read(16 * MIB):
            digest.update(piece)
    return digest.hexdigest()


def ledger_records(settings):
    """files.txt as {path: (size, hash text)}."""
    records = {}
    for line in (settings / "files.txt").read_bytes().decode("utf-8").split("\n"):
        if line:
            digest, size, _, path = line.split("\t", 3)
            records[path] = (int(size), digest)
    return records


def checking(launcher):
    return [line for line in launcher.traces("status") if line.startswith("[vantrel] status: Checking your files | ")]


def peak_kib(pid):
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1])
    return 0


def test_a_present_file_past_4_gib_is_hashed_whole_and_then_known_by_its_size(tmp_path, wine, launch):
    # Marks below and above 4 GiB: a size or an offset cut to 32 bits hashes other bytes.
    size = (4 << 30) + MIB + 7
    game = make_game_folder(tmp_path / "game", {GAME_EXE: GAME})
    big = game / "Data" / "big.mpq"
    digest = sparse_file(big, size, {0: "low", (4 << 30) - MIB // 2: "across", size - MIB: "high"})
    files = [{"path": "Data/big.mpq", "sha256": digest, "size": size},
             {"path": GAME_EXE, "sha256": hashlib.sha256(GAME).hexdigest(), "size": len(GAME)}]
    server = FaultServer(realm={"address": "play.test", "override": {"files": files}})
    try:
        exe = install_launcher(tmp_path / "app", server.url)
        settings = write_settings(wine, game)
        first, finish = run_once(launch, exe, timeout=900)
        assert finish == ("Up to date", "2 files checked against the realm.", True)
        assert checking(first)[0] == "[vantrel] status: Checking your files | big.mpq (1 of 2)"
        assert ledger_records(settings)["Z:" + str(big).replace("/", "\\")] == (size, digest)
        # The ledger's size and time match the file's: nothing is read again.
        second, finish = run_once(launch, exe, timeout=300)
        assert finish == ("Up to date", "2 files checked against the realm.", True)
        assert checking(second) == []
        assert not server.requests_for("/api/launcher/file/Data/big.mpq")
    finally:
        server.stop()


def test_a_1_gib_download_stays_within_the_same_memory_bound(tmp_path, wine, realm_site, launch):
    # The same bound for both builds: what the download adds to the process after start-up.
    size = 1 << 30
    realm = make_realm(tmp_path / "realm", {GAME_EXE: GAME})
    sparse_file(realm / "files" / "Data" / "one.mpq", size, {0: "one", size - MIB: "one-end"})
    site = realm_site(realm)
    game = make_game_folder(tmp_path / "game", {GAME_EXE: GAME})
    write_settings(wine, game)
    launcher = launch(install_launcher(tmp_path / "app", site.url))
    launcher.wait_trace(r"^\[vantrel\] status: Downloading 1 of 1 \| one\.mpq$", timeout=120)
    before = peak_kib(launcher.proc.pid)
    headline, detail, ready = launcher.wait_finish(timeout=900)
    after = peak_kib(launcher.proc.pid)
    assert (headline, detail, ready) == ("Updated", "1 file from the realm, 1024.0 MB.", True)
    assert (game / "Data" / "one.mpq").stat().st_size == size
    print(f"1 GiB download, {wine.build}: peak {before // 1024} -> {after // 1024} MiB")
    assert after - before < 48 * 1024, f"the download added {(after - before) // 1024} MiB"


def test_a_hash_ledger_at_its_8_mib_limit_is_read_and_kept_whole(tmp_path, wine, realm_site, launch):
    files = {GAME_EXE: GAME, "Data/a.bin": b"a" * 3000, "Data/b.bin": b"b" * 5000}
    site = realm_site(make_realm(tmp_path / "realm", files))
    game = make_game_folder(tmp_path / "game", files)
    settings = write_settings(wine, game)
    exe = install_launcher(tmp_path / "app", site.url)
    run_once(launch, exe)
    records = (settings / "files.txt").read_bytes()
    # Records of another game folder fill the ledger to exactly 8 MiB; the real ones come last.
    filler = b"".join(b"%s\t%d\t%d\tC:\\Old Game\\Data\\f%07d.bin\n" % (b"0" * 64, i, i, i) for i in range(70000))
    room = 8 * MIB - len(records) - len(filler)
    pad = b"%s\t1\t1\tC:\\Old Game\\pad" % (b"0" * 64)
    filler += pad + b"x" * (room - len(pad) - 1) + b"\n"
    (settings / "files.txt").write_bytes(filler + records)
    assert (settings / "files.txt").stat().st_size == 8 * MIB
    second, finish = run_once(launch, exe)
    assert finish == ("Up to date", "3 files checked against the realm.", True)
    assert checking(second) == []
    kept = ledger_records(settings)
    assert len(kept) == 70000 + 1 + 3 and kept["C:\\Old Game\\Data\\f0069999.bin"] == (69999, "0" * 64)
