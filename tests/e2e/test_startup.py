"""Start-up of the real launcher under Wine: the realm slot, the first update run, the clean-up
after a self-update, and the game folder found beside the launcher."""

import json

from conftest import install_launcher


def test_unstamped_launcher_doesnt_know_its_realm(launch, tmp_path):
    exe = install_launcher(tmp_path / "app")
    launcher = launch(exe)
    launcher.window()
    assert launcher.wait_trace(r"^\[vantrel\] finish: ") == (
        "[vantrel] finish: This launcher doesn't know its realm | Download it again from your realm's site. | ready=0")
    # The first run needs no click, and nothing else was said before it.
    assert launcher.traces("status") == []


def test_leftover_old_build_is_deleted_at_start(launch, tmp_path):
    exe = install_launcher(tmp_path / "app")
    old = tmp_path / "app" / "VantrelLauncher.exe.old"
    old.write_bytes(b"previous build")
    launcher = launch(exe)
    launcher.window()
    launcher.wait_trace(r"^\[vantrel\] finish: ")
    assert not old.exists()


def test_game_beside_the_launcher_becomes_the_game_folder(launch, realm_site, wine, tmp_path):
    # The realm names Game.exe as its program and lists no files: the run can only end
    # "Up to date" when the launcher's own folder was taken as the game folder.
    root = tmp_path / "realm"
    (root / "files").mkdir(parents=True)
    (root / "realm.json").write_text(json.dumps({
        "realm": "Beside", "address": "127.0.0.1", "gateway_name": "Beside", "site": "http://127.0.0.1",
        "revision": "r1", "start": {"exe": "Game.exe", "args": ""}, "news": "", "operator_token": "t" * 32}))
    site = realm_site(root)
    app = tmp_path / "app"
    exe = install_launcher(app, site.url)
    (app / "Game.exe").write_bytes(b"MZ")
    launcher = launch(exe)
    headline, detail, ready = launcher.wait_finish()
    assert (headline, detail, ready) == ("Up to date", "0 files checked against the realm.", True)
    # Found in memory only: the settings file is not written by start-up.
    assert not (wine.settings_folder() / "settings.txt").exists()
