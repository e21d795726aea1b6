"""Resuming a cut download end to end: the real x86_64 launcher under Wine against the fault
server (cut at one byte for a whole run, then ranges answered, ignored or answered wrongly), against
nginx serving an exported tree, and after the launcher was killed mid-download. The game folder lies on another file system than the settings folder (/dev/shm
against the prefix), so the partial crosses volumes both ways as it would between D: and C:."""

import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest

from conftest import install_launcher
from fault_server import FaultServer
from sync_support import (GAME_EXE, Nginx, export_realm, make_game_folder, make_realm, part_files, pattern_bytes,
                          run_once, sha256_text, tree, wait_until, write_settings)

GAME = b"MZ stand-in game program"
BIG = "Data/Big.mpq"
BIG_BYTES = pattern_bytes(4 * 1048576, "big")
FILE_PATH = "/api/launcher/file/" + BIG
CUT = 3000000
MINE = b"the player's own Big.mpq"
STOPPED = ("The download stopped", "Big.mpq: no answer; check your connection. Press Check files to try again.", True)
UPDATED = ("Updated", "1 file from the realm, 4.0 MB.", True)
# What the game folder holds after any failed run, exactly as without resuming: the player's
# file untouched, its first copy in realm-backup, no part file.
AFTER_FAILURE = {GAME_EXE: GAME, BIG: MINE, "realm-backup/" + BIG: MINE}


def partials(wine):
    folder = wine.settings_folder() / "partial"
    return {p.name: p.read_bytes() for p in folder.iterdir()} if folder.exists() else {}


def partial_name(data):
    return f"{sha256_text(data)}-{len(data)}"


@pytest.fixture
def game_folder():
    """A game folder on another file system than the Wine prefix, when the machine has one."""
    base = "/dev/shm" if Path("/dev/shm").is_dir() else None
    folder = Path(tempfile.mkdtemp(prefix="vantrel-game.", dir=base))
    yield folder
    shutil.rmtree(folder, ignore_errors=True)


@pytest.fixture
def cut(tmp_path, wine, launch, game_folder):
    """The fault server, and a first run whose download of Big.mpq is cut after CUT bytes."""
    server = FaultServer(files={GAME_EXE: GAME, BIG: BIG_BYTES},
                         realm={"address": "play.test", "start": {"exe": GAME_EXE, "args": ""}})
    make_game_folder(game_folder, {GAME_EXE: GAME, BIG: MINE})
    server.game, server.wine = game_folder, wine
    server.exe = install_launcher(tmp_path / "app", server.url)
    write_settings(wine, game_folder)
    # Every answer of this run ends at byte CUT: the launcher asks again from there once, gets
    # nothing further, and names the byte.
    server.plan(FILE_PATH, reset_at=CUT, pause=0.5)
    _, finish = run_once(launch, server.exe)
    server.clear(FILE_PATH)
    assert tree(game_folder) == AFTER_FAILURE
    kept = partials(wine)
    assert list(kept) == [partial_name(BIG_BYTES)]
    server.kept = kept[partial_name(BIG_BYTES)]
    assert 0 < len(server.kept) <= CUT and server.kept == BIG_BYTES[:len(server.kept)]
    assert finish == ("The download stopped", f"Big.mpq: the realm's answer keeps stopping short (at byte "
                      f"{len(server.kept)} of {len(BIG_BYTES)}). Press Check files to try again.", True)
    asked = [r["headers"].get("Range") for r in server.requests_for(FILE_PATH)]
    assert asked[0] is None and asked[-1] == f"bytes={len(server.kept)}-"
    server.before = len(asked)  # requests of the run that was cut
    yield server
    server.stop()


def test_the_next_run_asks_only_for_the_missing_bytes(cut, launch):
    _, finish = run_once(launch, cut.exe)
    assert finish == UPDATED
    assert tree(cut.game) == {**AFTER_FAILURE, BIG: BIG_BYTES}
    resumed = cut.requests_for(FILE_PATH)[cut.before]
    assert resumed["headers"].get("Range") == f"bytes={len(cut.kept)}-"
    assert resumed["sent"] == len(BIG_BYTES) - len(cut.kept)
    assert partials(cut.wine) == {}


def alter_partial(server):
    path = server.wine.settings_folder() / "partial" / partial_name(BIG_BYTES)
    data = bytearray(path.read_bytes())
    data[len(data) // 2] ^= 0xFF
    path.write_bytes(bytes(data))


@pytest.mark.parametrize("change, second, asked", [
    (lambda s: s.plan(FILE_PATH, ignore_range=True, times=1), UPDATED, 1),
    (lambda s: s.plan(FILE_PATH, content_range=f"bytes 0-{len(BIG_BYTES) - 1}/{len(BIG_BYTES)}", times=1), STOPPED,
     1),
    # Bytes that don't hash right at the end are thrown away and the file fetched whole at once.
    (alter_partial, UPDATED, 2),
], ids=["range-ignored", "wrong-content-range", "partial-altered-on-disk"])
def test_a_partial_that_cannot_be_continued_is_dropped(cut, launch, change, second, asked):
    change(cut)
    _, finish = run_once(launch, cut.exe)
    assert finish == second
    requests = cut.requests_for(FILE_PATH)[cut.before:]
    assert len(requests) == asked and requests[0]["headers"].get("Range") == f"bytes={len(cut.kept)}-"
    assert all("Range" not in r["headers"] for r in requests[1:])
    assert partials(cut.wine) == {} and not part_files(cut.game)
    if finish != UPDATED:
        assert tree(cut.game) == AFTER_FAILURE
        # Dropped, so the run after starts clean rather than failing the same way again.
        _, finish = run_once(launch, cut.exe)
        assert finish == UPDATED
        assert "Range" not in cut.requests_for(FILE_PATH)[-1]["headers"]
    assert (cut.game / BIG).read_bytes() == BIG_BYTES


def test_a_partial_the_manifest_no_longer_names_is_deleted(cut, launch):
    changed = pattern_bytes(len(BIG_BYTES), "big, next patch")
    cut.files[BIG] = changed
    _, finish = run_once(launch, cut.exe)
    assert finish == UPDATED
    assert "Range" not in cut.requests_for(FILE_PATH)[cut.before]["headers"]
    assert (cut.game / BIG).read_bytes() == changed
    assert partials(cut.wine) == {}


def test_nginx_answers_the_rest_of_a_partial(tmp_path, wine, launch, game_folder):
    realm = make_realm(tmp_path / "realm", {GAME_EXE: GAME, BIG: BIG_BYTES})
    nginx = Nginx(export_realm(realm, tmp_path / "static"), tmp_path / "nginx")
    try:
        exe = install_launcher(tmp_path / "app", nginx.url)
        make_game_folder(game_folder, {GAME_EXE: GAME})
        settings = write_settings(wine, game_folder)
        kept = BIG_BYTES[:1234567]
        (settings / "partial").mkdir()
        (settings / "partial" / partial_name(BIG_BYTES)).write_bytes(kept)
        _, finish = run_once(launch, exe)
        log = nginx.log()
    finally:
        nginx.stop()
    assert finish == ("Updated", "1 file from the realm, 4.0 MB.", True)
    assert tree(game_folder) == {GAME_EXE: GAME, BIG: BIG_BYTES}
    _, _, status, sent = next(line.split() for line in log if FILE_PATH in line)
    assert (status, int(sent)) == ("206", len(BIG_BYTES) - len(kept))
    assert partials(wine) == {}


def test_a_download_killed_with_the_launcher_continues_at_the_next_start(tmp_path, wine, launch, game_folder):
    data = pattern_bytes(8 * 1048576, "killed")
    server = FaultServer(files={GAME_EXE: GAME, BIG: data},
                         realm={"address": "play.test", "start": {"exe": GAME_EXE, "args": ""}})
    try:
        make_game_folder(game_folder, {GAME_EXE: GAME, BIG: MINE})
        exe = install_launcher(tmp_path / "app", server.url)
        write_settings(wine, game_folder)
        server.plan(FILE_PATH, drip=0.1, drip_chunk=262144, times=1)  # 8 MiB in about 3 s
        launch(exe)
        part = game_folder / (BIG + ".part")
        wait_until(lambda: part.exists() and part.stat().st_size >= 2 * 1048576, timeout=90, what="2 MiB arrived")
        # Every process of the prefix ends at once, as with the task manager or a power button.
        subprocess.run(["wineserver", "-k"], env=wine.env, capture_output=True)
        subprocess.run(["wineserver", "-w"], env=wine.env, capture_output=True, timeout=30)
        arrived = part.stat().st_size
        assert 0 < arrived < len(data) and part.read_bytes() == data[:arrived]

        _, finish = run_once(launch, exe)
        assert finish == ("Updated", "1 file from the realm, 8.0 MB.", True)
        again = server.requests_for(FILE_PATH)[1]
    finally:
        server.stop()
    # Only the missing bytes are fetched again, and the player's file was kept whole before.
    assert again["headers"].get("Range") == f"bytes={arrived}-" and again["sent"] == len(data) - arrived
    assert tree(game_folder) == {GAME_EXE: GAME, BIG: data, "realm-backup/" + BIG: MINE}
