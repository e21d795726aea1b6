"""Synchronisation end to end: the real x86_64 launcher under Wine against realm-site, the fault
server and nginx serving an exported tree. Assertions read the trace lines, the game folder,
realm-backup, the ledgers and what the servers received."""

import re
import subprocess
from pathlib import Path

import pytest

from conftest import (REALM_SITE, free_port, install_launcher, launcher_exe, stamp, to_windows_path,
                      wait_for_port, win_tool)
from fault_server import FaultServer
from sync_support import (GAME_EXE, HeldFile, command_lines, Nginx, end, export_realm, make_game_folder, make_realm,
                          new_build, part_files, pattern_bytes, read_ledger_paths, run_once, tree, wait_until,
                          write_settings)

DEFAULT_EXE = "Diablo II.exe"
ASKING = "[vantrel] status: Asking the realm what's new | "
GAME = b"MZ stand-in game program"
# 1 MiB + 512 KiB: the "Updated" detail names 1.5 MB.
REALM_FILES = {
    GAME_EXE: GAME,
    "Data/Local/x.dll": pattern_bytes(1048576, "x.dll"),
    "Patch.mpq": pattern_bytes(524288, "patch"),
}


@pytest.fixture
def setup(tmp_path, wine, realm_site, launch):
    """A realm served by realm-site, a game folder holding only the game program, settings
    pointing at it and a launcher stamped with the site's address. It takes `launch` first
    because that fixture empties the settings folder."""
    realm = make_realm(tmp_path / "realm", REALM_FILES)
    site = realm_site(realm)
    game = make_game_folder(tmp_path / "game", {GAME_EXE: GAME})
    exe = install_launcher(tmp_path / "app", site.url)

    class Setup:
        pass

    s = Setup()
    s.realm, s.site, s.game, s.exe, s.wine, s.tmp = realm, site, game, exe, wine, tmp_path
    s.settings = write_settings(wine, game)
    return s


def statuses(launcher):
    return [line[len("[vantrel] status: "):] for line in launcher.traces("status")]


def test_first_run_downloads_everything_and_the_next_is_up_to_date(setup, launch):
    first, finish = run_once(launch, setup.exe)
    assert finish == ("Updated", "2 files from the realm, 1.5 MB.", True)
    assert first.traces("status")[0] == ASKING
    assert tree(setup.game) == REALM_FILES
    assert not (setup.game / "realm-backup").exists()  # nothing of the player's was replaced
    assert not part_files(setup.game)

    second, finish = run_once(launch, setup.exe)
    assert finish == ("Up to date", "3 files checked against the realm.", True)
    # Every file is known to the ledger: no hashing, so no "Checking your files" at all.
    assert statuses(second) == ["Asking the realm what's new | "]


def test_player_file_is_kept_once_and_launcher_files_are_replaced_without_copy(setup, launch):
    mine = b"the player's own modded dll"
    make_game_folder(setup.game, {"Data/Local/x.dll": mine})
    _, finish = run_once(launch, setup.exe)
    assert finish[0] == "Updated" and finish[2] is True
    backup = setup.game / "realm-backup" / "Data" / "Local" / "x.dll"
    assert backup.read_bytes() == mine
    assert (setup.game / "Data/Local/x.dll").read_bytes() == REALM_FILES["Data/Local/x.dll"]
    written = read_ledger_paths(setup.settings)
    assert to_windows_path(setup.game / "Data" / "Local" / "x.dll") in written

    # The player changes the file the launcher wrote: it is replaced again, the first copy stays.
    (setup.game / "Data/Local/x.dll").write_bytes(b"changed again by the player")
    second, finish = run_once(launch, setup.exe)
    assert finish == ("Updated", "1 file from the realm, 1.0 MB.", True)
    assert any(s.startswith("Checking your files | x.dll (") for s in statuses(second))
    assert backup.read_bytes() == mine
    assert tree(setup.game / "realm-backup") == {"Data/Local/x.dll": mine}
    assert (setup.game / "Data/Local/x.dll").read_bytes() == REALM_FILES["Data/Local/x.dll"]


def test_file_held_by_a_running_game_asks_to_close_it(setup, launch):
    run_once(launch, setup.exe)  # the launcher writes the file, so no backup copy is attempted
    target = setup.game / "Data/Local/x.dll"
    target.write_bytes(b"changed while the game runs")
    held = HeldFile(setup.wine, target)
    try:
        _, finish = run_once(launch, setup.exe)
    finally:
        held.release()
    assert finish == ("Close the game first", "x.dll is in use. Close Diablo II, then press Check files.", False)
    assert target.read_bytes() == b"changed while the game runs"
    assert not part_files(setup.game)


def test_folder_where_a_file_belongs_keeps_the_original(setup, launch):
    (setup.game / "Patch.mpq").mkdir()
    (setup.game / "Patch.mpq" / "inside.txt").write_bytes(b"player data")
    _, finish = run_once(launch, setup.exe)
    assert finish == ("Your original couldn't be kept",
                      "Patch.mpq wasn't replaced: there's no room for a copy in realm-backup, or the folder is read only.",
                      True)
    assert (setup.game / "Patch.mpq" / "inside.txt").read_bytes() == b"player data"


def test_static_tree_through_nginx(setup, launch, tmp_path):
    # A name with spaces, as game files often have, must survive the export and the web server.
    spaced = {"Data/My Mod/read me.txt": b"spaces in the path"}
    make_realm(setup.realm, spaced)
    static = export_realm(setup.realm, tmp_path / "static")
    nginx = Nginx(static, tmp_path / "nginx")
    try:
        exe = install_launcher(tmp_path / "app-static", nginx.url)
        _, finish = run_once(launch, exe)
        assert finish == ("Updated", "3 files from the realm, 1.5 MB.", True)
        assert tree(setup.game) == {**REALM_FILES, **spaced}
        requested = [p.replace("%20", " ") for p in nginx.requested_paths()]
    finally:
        nginx.stop()
    assert requested[0] == "/api/launcher/manifest"
    assert sorted(requested[1:]) == ["/api/launcher/file/Data/Local/x.dll", "/api/launcher/file/Data/My Mod/read me.txt",
                                     "/api/launcher/file/Patch.mpq"]


# --- against the fault server ----------------------------------------------------------------


@pytest.fixture
def faulty(tmp_path, wine):
    """The fault server with the same realm, a game folder and a launcher stamped for it."""
    server = FaultServer(files=REALM_FILES, realm={"address": "play.test", "start": {"exe": GAME_EXE, "args": ""}})
    game = make_game_folder(tmp_path / "game", {GAME_EXE: GAME})
    exe = install_launcher(tmp_path / "app", server.url)
    server.game, server.exe, server.wine = game, exe, wine
    yield server
    server.stop()


def test_extra_bytes_fail_the_download_and_leave_no_part_file(faulty, launch):
    faulty.plan("/api/launcher/file/Patch.mpq", extra=4096)
    write_settings(faulty.wine, faulty.game)
    _, finish = run_once(launch, faulty.exe)
    assert finish == ("A download didn't match the realm's copy", "Patch.mpq: press Check files to try again.", True)
    assert not part_files(faulty.game)
    assert not (faulty.game / "Patch.mpq").exists()
    # Files before the failing one stay in place; the run stopped at the failure.
    assert (faulty.game / "Data/Local/x.dll").read_bytes() == REALM_FILES["Data/Local/x.dll"]


STOPPED = ("The download stopped", "Patch.mpq: no answer; check your connection. Press Check files to try again.")
MISMATCH = ("A download didn't match the realm's copy", "Patch.mpq: press Check files to try again.")
CUT_SHORT = ("The download stopped", r"Patch\.mpq: the realm's answer keeps stopping short \(at byte \d+ of 524288\)\. "
             r"Press Check files to try again\.")


@pytest.mark.parametrize("fault, outcomes", [
    ({"status": 404}, [STOPPED]),
    # Every answer is reset after 64 KiB: asked again from where each stopped, then given up with
    # the byte named (or, if a reset lost every byte, as no answer).
    ({"reset_after": 65536}, [STOPPED, CUT_SHORT]),
    ({"serve_as": "Data/Local/x.dll"}, [MISMATCH]),
], ids=["status-404", "reset-mid-body", "another-files-bytes"])
def test_a_failed_download_names_the_file_and_keeps_the_player_copy(faulty, launch, fault, outcomes):
    mine = b"the player's own patch"
    make_game_folder(faulty.game, {"Patch.mpq": mine})
    faulty.plan("/api/launcher/file/Patch.mpq", **fault)
    write_settings(faulty.wine, faulty.game)
    _, (headline, detail, ready) = run_once(launch, faulty.exe)
    assert any(headline == h and (detail == d or re.fullmatch(d, detail)) for h, d in outcomes), detail
    assert ready is True
    assert (faulty.game / "Patch.mpq").read_bytes() == mine
    assert not part_files(faulty.game)


@pytest.mark.parametrize("fault, headline, detail", [
    ({"status": 500}, "The realm didn't answer properly", "It said 500. You can still play with the files you have."),
    ({"body_size": 4 * 1024 * 1024 + 1}, "Can't reach the realm right now", "the realm sent more than expected"),
    ({"body": "{\"address\": \"play.test\", "}, "The realm's answer didn't make sense",
     "This launcher may be too old: download it again from the site."),
    ({"body": "{\"address\": \"a\", \"address\": \"b\"}"}, "The realm's answer didn't make sense",
     "This launcher may be too old: download it again from the site."),
    ({"body": ""}, "The realm's answer didn't make sense",
     "This launcher may be too old: download it again from the site."),
    ({"body": "{\"address\": \"play.test\", \"files\": [{\"path\": \"../boot.ini\", \"size\": 1, \"sha256\": \""
      + "0" * 64 + "\"}]}"}, "The realm's file list was refused", "a file's path isn't one the launcher will write"),
], ids=["status-500", "oversize", "invalid", "duplicate-key", "empty-200", "refused-path"])
def test_manifest_answers_the_launcher_cannot_use(faulty, launch, fault, headline, detail):
    faulty.plan("/api/launcher/manifest", **fault)
    # Until a manifest is read, the launcher knows the game program by its default name; with
    # that program in the folder, Play stays usable.
    make_game_folder(faulty.game, {DEFAULT_EXE: GAME})
    write_settings(faulty.wine, faulty.game)
    _, finish = run_once(launch, faulty.exe)
    assert finish == (headline, detail, True)
    assert faulty.paths() == ["/api/launcher/manifest"]
    assert tree(faulty.game) == {GAME_EXE: GAME, DEFAULT_EXE: GAME}


def test_manifest_failure_without_the_game_disables_play(faulty, launch):
    faulty.plan("/api/launcher/manifest", status=503)
    write_settings(faulty.wine, faulty.game)  # holds Game.exe, but not the program known by default
    _, finish = run_once(launch, faulty.exe)
    assert finish == ("The realm didn't answer properly",
                      "It said 503. You can still play with the files you have.", False)


def test_slow_answers_still_complete(faulty, launch):
    faulty.plan("/api/launcher/manifest", drip=0.05, drip_chunk=64)
    faulty.plan("/api/launcher/file/Patch.mpq", drip=0.02, drip_chunk=65536)
    write_settings(faulty.wine, faulty.game)
    _, finish = run_once(launch, faulty.exe)
    assert finish == ("Updated", "2 files from the realm, 1.5 MB.", True)
    assert tree(faulty.game) == REALM_FILES


def test_requests_carry_the_launcher_user_agent_and_plain_paths(faulty, launch):
    write_settings(faulty.wine, faulty.game)
    run_once(launch, faulty.exe)
    manifest = faulty.requests_for("/api/launcher/manifest")
    assert len(manifest) == 1 and manifest[0]["method"] == "GET"
    assert manifest[0]["headers"].get("User-Agent") == "VantrelLauncher/1.0"
    assert sorted(p for p in faulty.paths() if p.startswith("/api/launcher/file/")) == [
        "/api/launcher/file/Data/Local/x.dll", "/api/launcher/file/Patch.mpq"]


# --- self-update -------------------------------------------------------------------------------


def new_build(tmp_path, address):
    """A stamped launcher that hashes differently: the same program with bytes appended."""
    build = stamp(launcher_exe(), address, tmp_path / "new-build.exe").read_bytes() + b"\0new build\0" * 64
    return build


def test_self_update_swaps_restarts_with_updated_and_cleans_up(tmp_path, wine, realm_site, launch):
    realm = make_realm(tmp_path / "realm", REALM_FILES)
    site = realm_site(realm)
    build = new_build(tmp_path, site.url)
    (realm / "launcher").mkdir()
    (realm / "launcher" / "VantrelLauncher.exe").write_bytes(build)
    game = make_game_folder(tmp_path / "game", {GAME_EXE: GAME})
    write_settings(wine, game)
    exe = install_launcher(tmp_path / "app", site.url)

    old = launch(exe)
    old.wait_trace(r"^\[vantrel\] status: Updating the launcher \| ", timeout=60)
    # The old process leaves through its message loop; the new one carries on the same output.
    assert old.proc.wait(timeout=60) == 0
    headline, detail, ready = old.wait_finish(timeout=120)
    assert (headline, ready) == ("Updated", True)
    assert exe.read_bytes() == build
    assert not Path(str(exe) + ".new").exists()
    wait_until(lambda: not Path(str(exe) + ".old").exists(), timeout=30, what="the previous build to be deleted")
    # The new build runs on with "--updated" as its argument; it updated nothing more.
    running = command_lines("VantrelLauncher.exe")
    assert any(line.endswith("VantrelLauncher.exe --updated") and "app" in line for line in running), running
    assert sum(1 for s in statuses(old) if s.startswith("Updating the launcher")) == 1
    assert tree(game) == REALM_FILES


def test_self_update_rolls_back_when_the_new_build_cannot_start(tmp_path, wine, realm_site, launch):
    broken = b"this is not a Windows program" * 100
    realm = make_realm(tmp_path / "realm", REALM_FILES, launcher=broken)
    site = realm_site(realm)
    game = make_game_folder(tmp_path / "game", {GAME_EXE: GAME})
    write_settings(wine, game)
    exe = install_launcher(tmp_path / "app", site.url)
    original = exe.read_bytes()

    launcher = launch(exe)
    headline, _, ready = launcher.wait_finish(timeout=120)
    assert (headline, ready) == ("Updated", True)
    assert launcher.proc.poll() is None  # still the running build
    assert exe.read_bytes() == original
    assert not Path(str(exe) + ".new").exists()
    end(launcher)


# --- HTTPS -------------------------------------------------------------------------------------


def make_test_certificates(folder):
    """A throw-away certificate authority and a certificate for 127.0.0.1 signed by it."""
    folder.mkdir(parents=True, exist_ok=True)

    def openssl(*args):
        subprocess.run(["openssl", *args], cwd=folder, check=True, capture_output=True, timeout=60)

    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
            "-subj", "/CN=Vantrel Test CA", "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    openssl("x509", "-in", "ca.pem", "-outform", "der", "-out", "ca.der")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "site.key", "-out", "site.csr", "-subj", "/CN=127.0.0.1")
    # Wine's WinHTTP matches the host against DNS names only, so 127.0.0.1 is given as one too.
    (folder / "ext").write_text("subjectAltName=IP:127.0.0.1,DNS:127.0.0.1\nextendedKeyUsage=serverAuth\n"
                                "basicConstraints=CA:FALSE\n")
    openssl("x509", "-req", "-in", "site.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
            "-out", "site.pem", "-days", "2", "-extfile", "ext")
    return folder


def test_https_with_a_certificate_the_prefix_trusts(tmp_path, wine, launch):
    certs = make_test_certificates(tmp_path / "certs")
    trusted = wine.run(["wine", str(win_tool("trust_cert")), to_windows_path(certs / "ca.der")], check=False)
    assert trusted.returncode == 0, trusted.stdout
    realm = make_realm(tmp_path / "realm", REALM_FILES)
    port = free_port()
    site = subprocess.Popen([str(REALM_SITE), "serve", "--root", str(realm), "--listen", f"127.0.0.1:{port}",
                             "--tls-cert", str(certs / "site.pem"), "--tls-key", str(certs / "site.key")],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_for_port(port)
        game = make_game_folder(tmp_path / "game", {GAME_EXE: GAME})
        write_settings(wine, game)
        exe = install_launcher(tmp_path / "app", f"https://127.0.0.1:{port}")
        _, finish = run_once(launch, exe)
    finally:
        site.terminate()
        site.wait(timeout=10)
    assert finish == ("Updated", "2 files from the realm, 1.5 MB.", True)
    assert tree(game) == REALM_FILES
