"""Block maps end to end: the real x86_64 launcher under Wine patches a large archive from its
old copy, against realm-site serve and against nginx serving the exported realm (whose log shows
every request: single ranges only, about the new bytes), and a host that ignores Range costs one
whole download and gives the right file."""

import os
import random

import pytest

from conftest import install_launcher
from sync_support import (GAME_EXE, Nginx, export_realm, make_game_folder, make_realm, part_files, run_once, tree,
                          write_settings)

GAME = b"MZ stand-in game program"
ARCHIVE = "Data/Patch.mpq"
SIZE = 8 * 1048576
UPDATED = ("Updated", "1 file from the realm, 8.0 MB.", True)
LOG = "$request_uri $status $body_bytes_sent \"$http_range\""


def archives():
    """The realm's archive and the player's older copy: 100,003 bytes inserted, 64 KiB rewritten."""
    rng = random.Random(15)
    new = rng.randbytes(SIZE)
    old = bytearray(new[:1000000] + new[1100003:])
    old[5000000:5065536] = rng.randbytes(65536)
    return new, bytes(old)


@pytest.fixture
def realm(tmp_path):
    new, old = archives()
    root = make_realm(tmp_path / "realm", {GAME_EXE: GAME, ARCHIVE: new})
    return root, new, old


def file_requests(nginx):
    """(status, bytes sent, Range) of every request for the archive."""
    found = []
    for line in nginx.log():
        uri, status, sent, asked = line.split(" ", 3)
        if uri.endswith(ARCHIVE):
            found.append((int(status), int(sent), asked.strip('"')))
    return found


def run_patch(tmp_path, wine, launch, url, old, name):
    game = make_game_folder(tmp_path / name, {GAME_EXE: GAME, ARCHIVE: old})
    write_settings(wine, game)
    _, finish = run_once(launch, install_launcher(tmp_path / (name + "-app"), url))
    return game, finish


def test_a_patched_archive_costs_about_its_new_bytes(tmp_path, wine, realm_site, launch, realm):
    root, new, old = realm
    site = realm_site(root)
    game, finish = run_patch(tmp_path, wine, launch, site.url, old, "served")
    assert finish == UPDATED
    assert tree(game) == {GAME_EXE: GAME, ARCHIVE: new, "realm-backup/" + ARCHIVE: old}

    static = export_realm(root, tmp_path / "static")
    nginx = Nginx(static, tmp_path / "nginx", log_format=LOG)
    try:
        game, finish = run_patch(tmp_path, wine, launch, nginx.url, old, "static")
        assert finish == UPDATED
        assert (game / ARCHIVE).read_bytes() == new
        assert not part_files(game)
        requests = file_requests(nginx)
        assert requests and all(status == 206 and "," not in asked and asked for status, _, asked in requests)
        fetched = sum(sent for _, sent, _ in requests)
        assert 100003 + 65536 <= fetched <= 100003 + 65536 + 4 * 65536
        maps = [line for line in nginx.log() if "/api/launcher/blockmap/" in line]
        assert len(maps) == 1 and maps[0].split(" ")[1] == "200"
    finally:
        nginx.stop()


def test_a_host_that_ignores_range_costs_one_whole_download(tmp_path, wine, launch, realm):
    root, new, old = realm
    static = export_realm(root, tmp_path / "static")

    def servers(port):
        return f"""  default_type application/octet-stream;
  server {{ listen 127.0.0.1:{port}; root {static}; max_ranges 0; location / {{ }} }}"""

    nginx = Nginx(static, tmp_path / "nginx", servers=servers, log_format=LOG)
    try:
        game, finish = run_patch(tmp_path, wine, launch, nginx.url, old, "game")
        assert finish == UPDATED
        assert (game / ARCHIVE).read_bytes() == new
        assert not part_files(game)
        assert [(status, sent) for status, sent, _ in file_requests(nginx)] == [(200, SIZE)]
    finally:
        nginx.stop()
