"""Play and the link buttons of the real launcher under Wine: the gateway check against the
prefix's registry, the stand-in game's command line and folder, failures explained, and the
addresses handed to the browser."""

import json
import subprocess
import time

import pytest

from conftest import install_launcher, win_tool
from fault_server import FaultServer
from play_support import (BACK, CHANGE_FOLDER, COPY_LINK, GATEWAY_FILE, OPEN_IT, PLAY, REALM_ADDRESS, REALM_SITE,
                          RECORD, SEND, SEND_LOGS, SETTINGS, WINDOWED, clear_gateways, gateway_list,
                          install_with_game, read_clipboard, record_browser, set_gateways, stand_in_record,
                          start_realm, wait_for_file, windows_path)

FRAME = (110, 85, 50)
MISSING = ("[vantrel] ui: Add the realm to your gateways first | Once only: get the gateway file, open it and "
           "say yes when Windows asks. Then press Play again.")


@pytest.fixture
def ready_launcher(launch, realm_site, wine, tmp_path):
    """A stamped launcher beside the stand-in game, past an update run that left Play enabled."""
    clear_gateways(wine)
    site = start_realm(realm_site, tmp_path)
    app, exe = install_with_game(tmp_path, site)
    launcher = launch(exe)
    launcher.window()
    assert launcher.wait_finish()[2] is True
    launcher.site, launcher.app = site, app
    yield launcher
    clear_gateways(wine)


def press_play(launcher):
    start = launcher.count()
    launcher.click_button(PLAY)
    return launcher.wait_trace(r"^\[vantrel\] ui: ", timeout=30, start=start)


def move_pointer_away(launcher):
    x, y, _, _ = launcher.geometry()
    subprocess.run(["xdotool", "mousemove", "--sync", str(x + 20), str(y + 20)], env=launcher.wine.env, check=True)
    time.sleep(0.4)


def has_button_frame(launcher, shot, rect):
    left, top, right, bottom = rect
    return all(launcher.client_pixel(shot, x, y) == FRAME
               for x, y in [(left, top), (right - 1, top), (right - 1, bottom - 1), (left, bottom - 1)])


@pytest.mark.parametrize("gateways", [None, ("REG_SZ", [REALM_ADDRESS]), ("REG_MULTI_SZ", ["1002"])],
                         ids=["absent", "reg-sz", "one-string"])
def test_missing_gateway_offers_the_gateway_file_and_starts_nothing(ready_launcher, wine, tmp_path, gateways):
    if gateways is not None:
        set_gateways(wine, gateways[1], gateways[0])
    move_pointer_away(ready_launcher)
    before = ready_launcher.screenshot(tmp_path / "before.png")
    assert not has_button_frame(ready_launcher, before, GATEWAY_FILE)

    assert press_play(ready_launcher) == MISSING
    move_pointer_away(ready_launcher)
    after = ready_launcher.screenshot(tmp_path / "after.png")
    assert has_button_frame(ready_launcher, after, GATEWAY_FILE)
    time.sleep(1.0)
    assert not (ready_launcher.app / RECORD).exists()


def test_gateway_file_goes_to_the_browser(ready_launcher, wine, tmp_path):
    browser = record_browser(wine, tmp_path)
    assert press_play(ready_launcher) == MISSING
    start = ready_launcher.count()
    ready_launcher.click_button(GATEWAY_FILE)
    assert ready_launcher.wait_trace(r"^\[vantrel\] ui: ", start=start) == (
        "[vantrel] ui: Open the gateway file | Your browser is bringing it down. Open it, say yes to adding Vantrel, "
        "then press Play.")
    assert wait_for_file(browser) == f"{ready_launcher.site.url}/client-pack/gateway.reg\n"
    # The button stays until the next Play.
    move_pointer_away(ready_launcher)
    assert has_button_frame(ready_launcher, ready_launcher.screenshot(tmp_path / "after.png"), GATEWAY_FILE)


def test_imported_gateway_file_lets_play_start(ready_launcher, wine, tmp_path):
    assert press_play(ready_launcher) == MISSING
    # What the player's "yes" does: the served file goes into the registry.
    reg = tmp_path / "gateway.reg"
    reg.write_bytes(subprocess.run(["curl", "-sf", f"{ready_launcher.site.url}/client-pack/gateway.reg"],
                                   check=True, capture_output=True).stdout)
    wine.run(["wine", "regedit", "/s", windows_path(reg)])
    assert press_play(ready_launcher).startswith("[vantrel] ui: The game is starting | ")
    assert stand_in_record(ready_launcher.app) is not None


def test_listed_but_not_selected_names_the_gateway_and_starts_the_game(ready_launcher, wine):
    set_gateways(wine, gateway_list(1, ("eu.example.net", "Europe"), (" PLAY.Vantrel.test ", "Vantrel East")))
    assert press_play(ready_launcher) == (
        "[vantrel] ui: Pick Vantrel East in the game | On the game's main menu, choose it with the gateway button "
        "under Battle.net.")
    assert stand_in_record(ready_launcher.app) is not None


def test_selected_gateway_starts_the_game_with_the_realms_arguments(ready_launcher, wine):
    set_gateways(wine, gateway_list(2, ("eu.example.net", "Europe"), (REALM_ADDRESS, "Vantrel East")))
    assert press_play(ready_launcher) == (
        "[vantrel] ui: The game is starting | If it crashes, come back here and press Send logs.")
    folder = windows_path(ready_launcher.app)
    command_line, current = stand_in_record(ready_launcher.app)
    assert command_line == f'"{folder}\\Diablo II.exe" -skiptobnet'
    assert current.rstrip("\\").lower() == folder.lower()

    # Windowed on adds "-w".
    (ready_launcher.app / RECORD).unlink()
    ready_launcher.click_button(SETTINGS)
    ready_launcher.click_button(WINDOWED)
    ready_launcher.click_button(BACK)
    assert press_play(ready_launcher).startswith("[vantrel] ui: The game is starting | ")
    assert stand_in_record(ready_launcher.app)[0] == f'"{folder}\\Diablo II.exe" -skiptobnet -w'


def test_start_failures_are_explained_by_their_windows_code(ready_launcher, wine):
    set_gateways(wine, gateway_list(1, (REALM_ADDRESS, "Vantrel")))
    folder = windows_path(ready_launcher.app)
    game = ready_launcher.app / "Diablo II.exe"
    game.unlink()
    assert press_play(ready_launcher) == (
        f"[vantrel] ui: The game didn't start | Diablo II.exe: Windows can't find it (Windows error 2). In {folder}")
    game.write_text("this is a text file, not a program\r\n")
    assert press_play(ready_launcher) == (
        "[vantrel] ui: The game didn't start | Diablo II.exe: it isn't a program this Windows can run "
        f"(Windows error 193). In {folder}")


def test_the_realms_site_button_opens_the_site(ready_launcher, wine, tmp_path):
    browser = record_browser(wine, tmp_path)
    start = ready_launcher.count()
    ready_launcher.click_button(SETTINGS)
    ready_launcher.click_button(REALM_SITE)
    # Wine's browser hand-off writes a bare site address with its root "/".
    assert wait_for_file(browser) in (ready_launcher.site.url + "\n", ready_launcher.site.url + "/\n")
    # Opening the site changes no status.
    assert ready_launcher.traces()[start:] == []


def visible_windows(env):
    out = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "."], env=env, capture_output=True,
                         text=True).stdout
    return set(out.split())


def cancel_folder_chooser(launcher, button):
    before = visible_windows(launcher.wine.env)
    start = launcher.count()
    launcher.click_button(button, settle=0.2)
    deadline = time.monotonic() + 30
    opened = set()
    while time.monotonic() < deadline and not opened:
        opened = visible_windows(launcher.wine.env) - before
        time.sleep(0.3)
    assert opened, "no folder chooser appeared"
    dialog = sorted(opened)[-1]
    subprocess.run(["xdotool", "windowfocus", "--sync", dialog], env=launcher.wine.env, check=False)
    subprocess.run(["xdotool", "key", "Escape"], env=launcher.wine.env, check=True)
    deadline = time.monotonic() + 15
    while time.monotonic() < deadline and visible_windows(launcher.wine.env) & opened:
        time.sleep(0.3)
    assert not visible_windows(launcher.wine.env) & opened, "the folder chooser stayed open"
    time.sleep(1.0)
    # Cancelled: no new status, no update run, nothing saved.
    assert launcher.traces()[start:] == []


def test_cancelling_the_folder_chooser_changes_nothing(launch, realm_site, wine, tmp_path):
    site = start_realm(realm_site, tmp_path)
    exe = install_launcher(tmp_path / "app", site.url)  # no game beside it: no game folder
    launcher = launch(exe)
    launcher.window()
    launcher.wait_finish()
    cancel_folder_chooser(launcher, PLAY)
    launcher.click_button(SETTINGS)
    cancel_folder_chooser(launcher, CHANGE_FOLDER)
    assert not (wine.settings_folder() / "settings.txt").exists()


@pytest.fixture
def sent_launcher(launch, wine, tmp_path):
    """A launcher on the Sent page after a real gathering and upload to a site that keeps it."""
    link = "http://127.0.0.1:9/r/k3y-\u00e9t\u00e9"
    answer = json.dumps({"ok": True, "url": link}).encode("utf-8")
    server = FaultServer(realm={"realm": "Vantrel", "address": REALM_ADDRESS,
                                "start": {"exe": "Diablo II.exe", "args": ""}}, logs_answer=(200, answer))
    app = tmp_path / "app"
    exe = install_launcher(app, server.url)
    (app / "Game.exe").write_bytes(b"MZ")
    (app / "Diablo II.exe").write_bytes(b"MZ")
    (app / "D2_crash.log").write_text("the game stopped\n")
    launcher = launch(exe)
    launcher.window()
    assert launcher.wait_finish()[2] is True
    start = launcher.count()
    launcher.click_button(SEND_LOGS)
    launcher.wait_finish(start=start)
    start = launcher.count()
    launcher.click_button(SEND)
    assert launcher.wait_finish(start=start)[0] == "Sent"
    launcher.link = link
    yield launcher
    server.stop()


def test_copy_the_link_puts_it_on_the_clipboard_and_open_it_hands_it_to_the_browser(sent_launcher, wine, tmp_path):
    browser = record_browser(wine, tmp_path)
    start = sent_launcher.count()
    sent_launcher.click_button(COPY_LINK)
    # The detail stays as the send left it (empty).
    assert sent_launcher.wait_trace(r"^\[vantrel\] ui: ", start=start) == "[vantrel] ui: The link is copied | "
    assert read_clipboard(wine) == sent_launcher.link

    sent_launcher.click_button(OPEN_IT)
    recorded = wait_for_file(browser)
    assert recorded is not None and recorded.startswith("http://127.0.0.1:9/r/k3y-")


def test_a_busy_clipboard_is_reported_with_the_link(sent_launcher, wine):
    holder = subprocess.Popen(["wine", str(win_tool("clipboard_tool")), "hold", "8000"], env=wine.env,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        assert holder.stdout.readline().strip() == b"holding"
        start = sent_launcher.count()
        sent_launcher.click_button(COPY_LINK)
        assert sent_launcher.wait_trace(r"^\[vantrel\] ui: ", start=start) == (
            "[vantrel] ui: The link wasn't copied | The clipboard didn't take it. Copy it by hand: " + sent_launcher.link)
    finally:
        holder.wait(timeout=30)
    assert read_clipboard(wine) != sent_launcher.link
