"""Signed realms end to end: the real x86_64 launcher under Wine, stamped with realm keys, against
the fault server serving manifests signed with the minisign command. Every refusal must come
before any file or launcher build is asked for."""

import json
import subprocess
import time

import pytest

from conftest import install_launcher
from fault_server import FILE_PREFIX, LAUNCHER_PATH, MANIFEST_PATH, FaultServer, sha256_text
from sync_support import make_game_folder, run_once, tree, write_settings

SIGNATURE_PATH = MANIFEST_PATH + ".minisig"
# The launcher's default game program, so that a refused list still leaves Play usable.
GAME_EXE = "Diablo II.exe"
GAME = b"MZ stand-in game program"
DLL = b"the realm's dll, version 2"
UNSIGNED = ("The realm's file list isn't signed",
            "This launcher trusts only files signed by its realm. Try again later, or tell the realm's team.", True)
TAMPERED = ("The realm's file list failed its signature check",
            "Someone may be tampering with your connection. Nothing was downloaded.", True)
REPLAYED = ("The realm's file list is older than one already seen",
            "Someone may be replaying an old list. Nothing was downloaded.", True)
EXPIRED = ("The realm's file list has expired",
           "Ask the realm's team to publish it again, or check your computer's date.", True)
UNREACHABLE = ("Can't reach the realm right now", "no answer; check your connection", True)


def keypair(folder, name):
    pub, key = folder / f"{name}.pub", folder / f"{name}.key"
    subprocess.run(["minisign", "-G", "-W", "-p", str(pub), "-s", str(key)], check=True, capture_output=True,
                   stdin=subprocess.DEVNULL)
    return pub, key


def sign(key, data, serial, expires, work):
    """A .minisig of `data` made by the minisign command, with the realm's trusted comment."""
    message = work / "manifest"
    message.write_bytes(data)
    subprocess.run(["minisign", "-S", "-s", str(key), "-m", str(message), "-t",
                    f"vantrel-manifest serial={serial} expires={expires}"], check=True, capture_output=True,
                   stdin=subprocess.DEVNULL)
    return (work / "manifest.minisig").read_bytes()


def fetched_downloads(server):
    return [p for p in server.paths() if p.startswith(FILE_PREFIX) or p == LAUNCHER_PATH]


@pytest.fixture
def realm(tmp_path, wine, launch):
    server = FaultServer(files={GAME_EXE: GAME, "Data/a.dll": DLL},
                         realm={"address": "play.test", "start": {"exe": GAME_EXE, "args": ""}})
    keys = tmp_path / "keys"
    keys.mkdir()
    game = make_game_folder(tmp_path / "game", {GAME_EXE: GAME})
    write_settings(wine, game)
    yield server, keys, game
    server.stop()


def test_keyed_launcher_refuses_every_bad_signature_before_any_download(realm, launch, wine, tmp_path):
    server, keys, game = realm
    current_pub, current = keypair(keys, "current")
    next_pub, upcoming = keypair(keys, "next")
    _, stranger = keypair(keys, "stranger")
    exe = install_launcher(tmp_path / "app", server.url, keys=(current_pub, next_pub))
    soon = int(time.time()) + 3600
    manifest = server.manifest()
    # A forged list names a launcher build, so an accepted one would be fetched at once.
    forged = json.loads(manifest)
    forged["launcher"] = {"sha256": sha256_text(b"evil"), "size": 4}
    forged = json.dumps(forged).encode()

    altered = manifest.replace(b'"Fault Realm"', b'"Fault Realn"')
    assert altered != manifest

    cases = [
        ("missing", manifest, None, UNSIGNED),
        ("unreachable", manifest, {"body": b"x" * 200, "reset_after": 10}, UNREACHABLE),
        ("another key", forged, {"body": sign(stranger, forged, 100, soon, tmp_path)}, TAMPERED),
        ("altered byte", altered, {"body": sign(current, manifest, 100, soon, tmp_path)}, TAMPERED),
        ("expired", manifest, {"body": sign(current, manifest, 100, int(time.time()) - 60, tmp_path)}, EXPIRED),
    ]
    for name, body, signature, expected in cases:
        server.reset()
        server.plan(MANIFEST_PATH, body=body)
        if signature:
            server.plan(SIGNATURE_PATH, **signature)
        _, finish = run_once(launch, exe)
        assert finish == expected, name
        assert fetched_downloads(server) == [], name
        assert len(server.requests_for(SIGNATURE_PATH)) == 1, name
    assert tree(game) == {GAME_EXE: GAME}
    serial_file = wine.settings_folder() / "manifest-serial.txt"
    assert not serial_file.exists()

    server.reset()
    server.plan(MANIFEST_PATH, body=manifest)
    server.plan(SIGNATURE_PATH, body=sign(current, manifest, 100, soon, tmp_path))
    _, finish = run_once(launch, exe)
    assert finish == ("Updated", "1 file from the realm, 26 bytes.", True)
    assert tree(game) == {GAME_EXE: GAME, "Data/a.dll": DLL}
    assert serial_file.read_bytes() == b"100\r\n"

    # An older list, properly signed back then, that would put an old dll back.
    old = json.loads(manifest)
    old["files"] = [f for f in old["files"] if f["path"] != "Data/a.dll"]
    old["files"].append({"path": "Data/a.dll", "sha256": sha256_text(b"old dll"), "size": 7})
    old = json.dumps(old).encode()
    server.reset()
    server.plan(MANIFEST_PATH, body=old)
    server.plan(SIGNATURE_PATH, body=sign(current, old, 99, soon, tmp_path))
    _, finish = run_once(launch, exe)
    assert finish == REPLAYED
    assert fetched_downloads(server) == []

    # Key rotation: the second stamped key signs the next list.
    server.reset()
    server.plan(MANIFEST_PATH, body=manifest)
    server.plan(SIGNATURE_PATH, body=sign(upcoming, manifest, 101, soon, tmp_path))
    _, finish = run_once(launch, exe)
    assert finish == ("Up to date", "2 files checked against the realm.", True)
    assert serial_file.read_bytes() == b"101\r\n"


def test_unkeyed_launcher_ignores_signatures(realm, launch, tmp_path):
    server, keys, game = realm
    _, stranger = keypair(keys, "stranger")
    server.plan(SIGNATURE_PATH, body=sign(stranger, b"something else", 1, 1, tmp_path))
    exe = install_launcher(tmp_path / "app", server.url)
    _, finish = run_once(launch, exe)
    assert finish == ("Updated", "1 file from the realm, 26 bytes.", True)
    assert server.requests_for(SIGNATURE_PATH) == []
    assert tree(game) == {GAME_EXE: GAME, "Data/a.dll": DLL}
