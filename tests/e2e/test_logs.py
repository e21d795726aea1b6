"""Log reports end to end: the real x86_64 launcher under Wine gathers logs from the game folder
and the Wine prefix's WER and CrashDumps folders, then packs and sends them to realm-site.
Assertions read the trace lines and the reports realm-site stored."""

import os
import socket
import time

import pytest

from conftest import RealmSite, install_launcher, win_tool
from logs_support import (ACCOUNT_FIELD, COPY_LINK_BUTTON, CRASH_DUMPS_BUTTON, NOTE_FIELD, SEND_BUTTON, SEND_LOGS_BUTTON, put,
                          report_folders, stored_reports, utf16_report)
from sync_support import GAME_EXE, make_game_folder, make_realm, write_settings

GAME = b"MZ stand-in game program"
WER_FOLDER = "AppCrash_Game.exe_1f2e"


@pytest.fixture
def setup(tmp_path, wine, realm_site, launch):
    realm = make_realm(tmp_path / "realm", {GAME_EXE: GAME})
    site = realm_site(realm)
    game = make_game_folder(tmp_path / "game", {GAME_EXE: GAME})
    user = wine.user
    host = socket.gethostname()
    now = time.time()
    put(game / "D2120304.txt", f"opened C:\\users\\{user}\\Saved Games by {user}\n".encode(), now - 60)
    put(game / "BnetLog.txt", b"Local IP: 192.168.1.44\r\nConnected to 203.0.113.9\r\n", now - 60)
    put(game / "net.log", f"host {host} peer 10.0.0.5\n".encode(), now - 60)
    put(game / "plugin" / "loader.log", b"plugin loaded\n", now - 60)
    put(game / "readme.txt", b"not a log\n")
    wer = wine.localappdata / "Microsoft" / "Windows" / "WER" / "ReportArchive" / WER_FOLDER
    put(wer / "Report.wer", utf16_report(f"AppPath=C:\\users\\{user}\\game\\Game.exe\r\n"), now - 30)
    queue = wine.programdata / "Microsoft" / "Windows" / "WER" / "ReportQueue" / "AppHang_Diablo II.exe_77"
    put(queue / "Report.wer", utf16_report("EventType=AppHangB1\r\n"), now - 3000)
    # Report folders are ordered by their own write time, newest first.
    os.utime(wer, (now - 30, now - 30))
    os.utime(queue, (now - 3000, now - 3000))
    put(wine.localappdata / "CrashDumps" / "Game.exe.812.dmp", b"MDMP" + bytes(1000), now - 10)
    exe = install_launcher(tmp_path / "app", site.url)
    write_settings(wine, game)

    class Setup:
        pass

    s = Setup()
    s.realm, s.site, s.game, s.exe, s.wine, s.user, s.host = realm, site, game, exe, wine, user, host
    return s


EXPECTED_TEXTS = ["game/D2120304.txt", "game/BnetLog.txt", "game/net.log", "game/plugin/loader.log",
                  f"crash/{WER_FOLDER}/Report.wer.txt", "crash/AppHang_Diablo II.exe_77/Report.wer.txt"]


def gather(launcher):
    start = launcher.count()
    launcher.click_button(SEND_LOGS_BUTTON)
    assert launcher.wait_trace(r"^\[vantrel\] status: Gathering logs \| $", start=start)
    assert launcher.wait_finish(start=start)[0] == "Ready to send"


def send(launcher):
    start = launcher.count()
    launcher.click_button(SEND_BUTTON)
    launcher.wait_trace(r"^\[vantrel\] status: Packing the logs \| $", start=start)
    launcher.wait_trace(r"^\[vantrel\] status: Sending the logs \| [0-9]+ (bytes|KB)$", start=start)
    return launcher.wait_finish(start=start)


def test_gathered_logs_reach_the_site_anonymized(setup, launch):
    launcher = launch(setup.exe)
    launcher.window()
    launcher.wait_finish()
    gather(launcher)

    launcher.click_button(CRASH_DUMPS_BUTTON)  # keep the dump back
    launcher.click_button(ACCOUNT_FIELD)
    launcher.type_text("Mira")
    launcher.click_button(NOTE_FIELD)
    launcher.type_text("lag at a/b")
    assert send(launcher) == ("Sent", "", True)

    reports = stored_reports(setup.realm)
    assert len(reports) == 1
    meta, contents = reports[0]
    assert meta["account"] == "Mira"
    assert meta["note"] == "lag at a/b"
    assert list(contents) == EXPECTED_TEXTS + ["launcher.txt"]
    assert contents[f"crash/{WER_FOLDER}/Report.wer.txt"] == b"AppPath=C:\\users\\[user]\\game\\Game.exe\r\n"
    assert contents["game/BnetLog.txt"] == b"Local IP: [hidden]\r\nConnected to 203.0.113.9\r\n"
    assert contents["game/net.log"] == b"host [computer] peer [local address]\n"
    summary = contents["launcher.txt"].decode()
    assert summary.startswith("Launcher ")
    assert "\nWindows " in summary
    assert summary.endswith("\nOther files in this upload: 7\n")
    everything = b"".join(contents.values()) + "".join(contents).encode()
    for planted in (setup.user.encode(), setup.host.encode(), b"192.168.1.44", b"10.0.0.5"):
        assert planted not in everything

    # The Sent page's link is the one realm-site made for the report.
    start = launcher.count()
    launcher.click_button(COPY_LINK_BUTTON)
    launcher.wait_trace(r"^\[vantrel\] ui: ", start=start)
    link = launcher.wine.run(["wine", str(win_tool("clipboard_tool")), "read"]).stdout.decode().strip()
    report_id = report_folders(setup.realm)[0].name
    assert link == f"{setup.site.url}/reports/{report_id}"


def test_failed_send_keeps_the_report_and_a_retry_sends_it(setup, launch):
    launcher = launch(setup.exe)
    launcher.window()
    launcher.wait_finish()
    gather(launcher)
    port = setup.site.port
    setup.site.stop()
    assert send(launcher) == ("The logs didn't send", "no answer; check your connection", True)
    assert stored_reports(setup.realm) == []

    site = RealmSite(setup.realm, port)
    try:
        assert send(launcher) == ("Sent", "", True)
    finally:
        site.stop()
    (meta, contents), = stored_reports(setup.realm)
    assert meta["account"] == "" and meta["note"] == ""
    assert list(contents) == EXPECTED_TEXTS + ["crash/Game.exe.812.dmp", "launcher.txt"]
    assert contents["crash/Game.exe.812.dmp"] == b"MDMP" + bytes(1000)
