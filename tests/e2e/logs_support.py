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


def report_folders(realm_root):
    """The stored reports' folders (the console's index lies beside them)."""
    folder = Path(realm_root) / "reports"
    return sorted(p for p in folder.iterdir() if p.is_dir()) if folder.exists() else []


def stored_reports(realm_root):
    """Every report realm-site kept: [(meta dict, {name: bytes})]."""
    found = []
    for report in report_folders(realm_root):
        meta = json.loads((report / "meta.json").read_text())
        with zipfile.ZipFile(report / "report.zip") as archive:
            assert archive.testzip() is None
            contents = {info.filename: archive.read(info) for info in archive.infolist()}
        found.append((meta, contents))
    return found


def launcher_upload(port, entries, account="", note=""):
    """POSTs a report the way the launcher sends one: a zip of the entries (deflated only when
    smaller), the account with bytes outside 0x20..0x7E dropped, the note percent-encoded.
    Returns (status, answer JSON)."""
    import http.client
    import io
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as archive:
        for name, content in entries:
            data = content.encode() if isinstance(content, str) else content
            packed = zipfile.ZipInfo(name, (1980, 1, 1, 0, 0, 0))
            packed.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(packed, data)
    account_value = bytes(b for b in account.encode() if 0x20 <= b <= 0x7E).decode()
    safe = b"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-._~"
    note_value = "".join(chr(b) if b in safe else f"%{b:02X}" for b in note.encode())
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    connection.request("POST", "/api/launcher/logs", out.getvalue(),
                       {"Content-Type": "application/octet-stream", "X-Account": account_value,
                        "X-Note": note_value})
    answer = connection.getresponse()
    body = json.loads(answer.read())
    connection.close()
    return answer.status, body
