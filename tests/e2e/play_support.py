"""Helpers for the Play and link tests: a realm on realm-site, a stand-in game, the game's
gateway list in the prefix's registry, and a browser that only records what it was given."""

import json
import shutil
import time
from pathlib import Path

from conftest import install_launcher, to_windows_path, win_tool

PLAY = (254, 394, 546, 440)
SETTINGS = (452, 452, 546, 480)
GATEWAY_FILE = (254, 488, 546, 516)
CHANGE_FOLDER = (254, 400, 546, 428)
WINDOWED = (254, 436, 546, 464)
REALM_SITE = (254, 472, 546, 500)
BACK = (254, 516, 546, 544)

GATEWAY_KEY = r"HKCU\Software\Battle.net\Configuration"
GATEWAY_VALUE = "Diablo II Battle.net Gateways"
REALM_ADDRESS = "play.vantrel.test"
RECORD = "stand-in-record.txt"


def start_realm(realm_site, tmp_path, exe="Diablo II.exe", args="-skiptobnet", realm="Vantrel"):
    root = tmp_path / "realm"
    (root / "files").mkdir(parents=True)
    (root / "realm.json").write_text(json.dumps({
        "realm": realm, "address": REALM_ADDRESS, "gateway_name": "Vantrel Gate", "site": "http://127.0.0.1",
        "revision": "r1", "start": {"exe": exe, "args": args}, "news": "", "operator_token": "t" * 32}))
    return realm_site(root)


def install_with_game(tmp_path, site, exe="Diablo II.exe"):
    """A stamped launcher with the stand-in game beside it; Game.exe there makes that folder the
    game folder."""
    app = tmp_path / "app"
    launcher_exe = install_launcher(app, site.url)
    shutil.copyfile(win_tool("stand_in_game"), app / exe)
    (app / "Game.exe").write_bytes(b"MZ")
    return app, launcher_exe


def set_gateways(wine, strings, kind="REG_MULTI_SZ"):
    wine.run(["wine", "reg", "add", GATEWAY_KEY, "/v", GATEWAY_VALUE, "/t", kind, "/d", "\\0".join(strings), "/f"])


def clear_gateways(wine):
    wine.run(["wine", "reg", "delete", GATEWAY_KEY, "/v", GATEWAY_VALUE, "/f"], check=False)


def gateway_list(selected, *gateways):
    """The game's layout: two header strings, then address, zone and name for each gateway."""
    strings = ["1002", str(selected)]
    for address, name in gateways:
        strings += [address, "-1", name]
    return strings


def record_browser(wine, tmp_path):
    """Points Wine's browser hand-off at a script that appends each address it gets to a file."""
    record = tmp_path / "browser-record.txt"
    script = tmp_path / "record-browser.sh"
    script.write_text(f'#!/bin/sh\nprintf "%s\\n" "$@" >> "{record}"\n')
    script.chmod(0o755)
    wine.run(["wine", "reg", "add", r"HKCU\Software\Wine\WineBrowser", "/v", "Browsers", "/d", str(script), "/f"])
    return record


def wait_for_file(path, timeout=30.0):
    path = Path(path)
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if path.exists() and path.stat().st_size > 0:
            return path.read_text(encoding="utf-8")
        time.sleep(0.2)
    return None


def stand_in_record(app, timeout=30.0):
    """(command line, current folder) as the stand-in game wrote them, or None."""
    text = wait_for_file(app / RECORD, timeout)
    if text is None:
        return None
    lines = dict(line.split(": ", 1) for line in text.splitlines() if ": " in line)
    return lines["command line"], lines["current folder"]


def windows_path(path):
    return to_windows_path(path)


SEND_LOGS = (353, 452, 447, 480)
SEND = (254, 516, 396, 544)
COPY_LINK = (254, 420, 546, 448)
OPEN_IT = (254, 456, 546, 484)


def read_clipboard(wine):
    """The Unicode text on the prefix's clipboard, or None when there is none."""
    done = wine.run(["wine", str(win_tool("clipboard_tool")), "read"], check=False)
    return done.stdout.decode("utf-8") if done.returncode == 0 else None
