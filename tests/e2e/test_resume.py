"""Resuming a cut download end to end: the real x86_64 launcher under Wine against the fault
server (cut once, then ranges answered, ignored or answered wrongly) and against nginx serving an
exported tree. The game folder lies on another file system than the settings folder (/dev/shm
against the prefix), so the partial crosses volumes both ways as it would between D: and C:."""

import shutil
import tempfile
from pathlib import Path

import pytest

from conftest import install_launcher
from fault_server import FaultServer
from sync_support import (GAME_EXE, Nginx, export_realm, make_game_folder, make_realm, part_files, pattern_bytes,
                          run_once, sha256_text, tree, write_settings)

GAME = b"MZ stand-in game program"
BIG = "Data/Big.mpq"
BIG_BYTES = pattern_bytes(4 * 1048576, "big")
FILE_PATH = "/api/launcher/file/" + BIG
CUT = 3000000
MINE = b"the player's own Big.mpq"
STOPPED = ("The download stopped", "Big.mpq: no answer; check your connection. Press Check files to try again.", True)
MISMATCH = ("A download didn't match the realm's copy", "Big.mpq: press Check files to try again.", True)
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
    server.plan(FILE_PATH, reset_after=CUT, pause=0.5, times=1)
    _, finish = run_once(launch, server.exe)
    assert finish in (STOPPED, MISMATCH)
    assert tree(game_folder) == AFTER_FAILURE
    kept = partials(wine)
    assert list(kept) == [partial_name(BIG_BYTES)]
    server.kept = kept[partial_name(BIG_BYTES)]
    assert 0 < len(server.kept) <= CUT and server.kept == BIG_BYTES[:len(server.kept)]
    assert "Range" not in server.requests_for(FILE_PATH)[0]["headers"]
    yield server
    server.stop()


def test_the_next_run_asks_only_for_the_missing_bytes(cut, launch):
    _, finish = run_once(launch, cut.exe)
    assert finish == UPDATED
    assert tree(cut.game) == {**AFTER_FAILURE, BIG: BIG_BYTES}
    resumed = cut.requests_for(FILE_PATH)[1]
    assert resumed["headers"].get("Range") == f"bytes={len(cut.kept)}-"
    assert resumed["sent"] == len(BIG_BYTES) - len(cut.kept)
    assert partials(cut.wine) == {}


def alter_partial(server):
    path = server.wine.settings_folder() / "partial" / partial_name(BIG_BYTES)
    data = bytearray(path.read_bytes())
    data[len(data) // 2] ^= 0xFF
    path.write_bytes(bytes(data))


@pytest.mark.parametrize("change, second", [
    (lambda s: s.plan(FILE_PATH, ignore_range=True, times=1), UPDATED),
    (lambda s: s.plan(FILE_PATH, content_range=f"bytes 0-{len(BIG_BYTES) - 1}/{len(BIG_BYTES)}", times=1), STOPPED),
    (alter_partial, MISMATCH),
], ids=["range-ignored", "wrong-content-range", "partial-altered-on-disk"])
def test_a_partial_that_cannot_be_continued_is_dropped(cut, launch, change, second):
    change(cut)
    _, finish = run_once(launch, cut.exe)
    assert finish == second
    assert cut.requests_for(FILE_PATH)[1]["headers"].get("Range") == f"bytes={len(cut.kept)}-"
    assert partials(cut.wine) == {} and not part_files(cut.game)
    if finish != UPDATED:
        assert tree(cut.game) == AFTER_FAILURE
        # Dropped, so the run after starts clean rather than failing the same way again.
        _, finish = run_once(launch, cut.exe)
        assert finish == UPDATED
        assert "Range" not in cut.requests_for(FILE_PATH)[2]["headers"]
    assert (cut.game / BIG).read_bytes() == BIG_BYTES


def test_a_partial_the_manifest_no_longer_names_is_deleted(cut, launch):
    changed = pattern_bytes(len(BIG_BYTES), "big, next patch")
    cut.files[BIG] = changed
    _, finish = run_once(launch, cut.exe)
    assert finish == UPDATED
    assert "Range" not in cut.requests_for(FILE_PATH)[1]["headers"]
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
