"""Helpers for the log report tests: planting logs, WER reports and dumps in the Wine prefix,
and reading the reports realm-site stored."""

import json
import os
import zipfile
from pathlib import Path

# Client-area rectangles of the controls the log report pages use.
SEND_LOGS_BUTTON = (353, 452, 447, 480)
CRASH_DUMPS_BUTTON = (254, 368, 546, 392)
SEND_BUTTON = (254, 516, 396, 544)
COPY_LINK_BUTTON = (254, 420, 546, 448)
ACCOUNT_FIELD = (250, 414, 550, 438)
NOTE_FIELD = (250, 460, 550, 508)


def utf16_report(text):
    return b"\xff\xfe" + text.encode("utf-16-le")


def put(path, data, mtime=None):
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)
    if mtime is not None:
        os.utime(path, (mtime, mtime))
    return path


def stored_reports(realm_root):
    """Every report realm-site kept: [(meta dict, {name: bytes})]."""
    found = []
    folder = Path(realm_root) / "reports"
    if not folder.exists():
        return found
    for report in sorted(folder.iterdir()):
        meta = json.loads((report / "meta.json").read_text())
        with zipfile.ZipFile(report / "report.zip") as archive:
            assert archive.testzip() is None
            contents = {info.filename: archive.read(info) for info in archive.infolist()}
        found.append((meta, contents))
    return found
