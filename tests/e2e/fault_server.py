"""A realm site for tests that misbehaves on purpose.

It serves a small realm from memory (manifest, game files, launcher build, log uploads) and can
be told, per request path, to answer otherwise: any status, a short body, extra bytes, a slow
drip, a reset mid-body, raw bodies (oversized, invalid or duplicate-key JSON, empty), another
file's bytes, a range ignored or answered with a wrong Content-Range. Unless told otherwise it
answers a single "Range: bytes=first-[last]" with 206 and its Content-Range, as nginx does. It
records every request (method, path, headers, body length, body bytes sent).

In a test:
    server = FaultServer(files={"Game.exe": b"..."}, realm={"address": "play.test"})
    server.plan("/api/launcher/file/Game.exe", extra=10)
    ...
    server.requests_for("/api/launcher/manifest")
    server.stop()

Standalone (other tools drive it through the control API or a plan file):
    python3 fault_server.py --port 8123 [--plan plan.json] [--rate BYTES_PER_SECOND]
    plan.json: {"realm": {...}, "files": {"path": "text"}, "faults": {"/path": {...}}}
    POST /_fault/plan      body {"/path": {fault}, ...}  adds faults; {"/path": null} removes one
    POST /_fault/reset     clears faults and the request record
    GET  /_fault/requests  the request record as JSON

A fault is a dict with any of:
    status: int         answer this status (with `body`, or a short text)
    body: str|bytes     answer these bytes instead of the real ones (status 200 unless given)
    body_size: int      with body_fill (default "x"): a generated body of that many bytes
    serve_as: str       answer the bytes of another file path of the realm
    short: int          announce the full length but send only this many bytes, then close
    extra: int          send this many bytes more than the real content (length announced too)
    drip: float         seconds between chunks of `drip_chunk` bytes (default 1)
    reset_after: int    send this many bytes, then reset the connection (RST)
    reset_at: int       as reset_after, counted from the start of the file: send its bytes up to
                        this offset (none to a range that starts there), then reset
    pause: float        with reset_after: seconds to wait between the bytes and the reset, so the
                        client has read them before the reset can discard them
    ignore_range: bool  answer a range request with the whole content and status 200
    content_range: str  answer a range request with this Content-Range (and the asked bytes)
    times: int          apply the fault this many times, then answer normally
"""

import argparse
import hashlib
import json
import socket
import struct
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

MANIFEST_PATH = "/api/launcher/manifest"
FILE_PREFIX = "/api/launcher/file/"
LAUNCHER_PATH = "/launcher/download"
LOGS_PATH = "/api/launcher/logs"


def sha256_text(data):
    return hashlib.sha256(data).hexdigest()


def parse_range(header, length):
    """(first, last) of a single "bytes=first-[last]" range, or None to answer the whole."""
    if not header or not header.startswith("bytes=") or "," in header:
        return None
    first, _, last = header[len("bytes="):].partition("-")
    if not first.isdigit() or (last and not last.isdigit()):
        return None
    first = int(first)
    last = min(int(last), length - 1) if last else length - 1
    return (first, last) if first <= last or first >= length else None


def as_bytes(value):
    return value.encode("utf-8") if isinstance(value, str) else bytes(value)


class FaultServer:
    def __init__(self, files=None, realm=None, launcher=None, port=0, logs_answer=None, rate=None):
        # Bytes a second each answer's body is held to, as a slow line would (None: as fast as it can).
        self.rate = rate
        self.files = {path: as_bytes(data) for path, data in (files or {}).items()}
        self.realm = dict(realm or {"address": "play.test"})
        self.launcher = as_bytes(launcher) if launcher is not None else None
        # (status, body) for log uploads; the default refuses them like a site without the route.
        self.logs_answer = logs_answer or (404, b"")
        self.faults = {}
        self.requests = []
        self._hashes = {}  # id(bytes) -> (bytes, hash text): big files are hashed once
        self._lock = threading.Lock()
        self._server = _QuietServer(("127.0.0.1", port), _make_handler(self))
        self.port = self._server.server_address[1]
        self.url = f"http://127.0.0.1:{self.port}"
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)
        self._thread.start()

    # --- the realm ---------------------------------------------------------------------------
    def manifest(self):
        doc = {
            "realm": self.realm.get("realm", "Fault Realm"),
            "address": self.realm.get("address", "play.test"),
            "revision": self.realm.get("revision", "test"),
            "start": self.realm.get("start", {"exe": "Game.exe", "args": ""}),
            "launcher": None,
            "files": [{"path": p, "sha256": self.hash_of(d), "size": len(d)} for p, d in sorted(self.files.items())],
            "news": self.realm.get("news", ""),
        }
        if self.launcher is not None:
            doc["launcher"] = {"sha256": sha256_text(self.launcher), "size": len(self.launcher)}
        for key, value in self.realm.get("override", {}).items():
            doc[key] = value
        return json.dumps(doc).encode("utf-8")

    def hash_of(self, data):
        known = self._hashes.get(id(data))
        if known is None or known[0] is not data:
            known = self._hashes[id(data)] = (data, sha256_text(data))
        return known[1]

    def content_for(self, path):
        """The bytes a well-behaved site answers for `path`, or None for 404."""
        if path == MANIFEST_PATH:
            return self.manifest()
        if path == LAUNCHER_PATH:
            return self.launcher
        if path.startswith(FILE_PREFIX):
            return self.files.get(path[len(FILE_PREFIX):])
        return None

    # --- faults and the record ---------------------------------------------------------------
    def plan(self, path, **fault):
        with self._lock:
            self.faults[path] = fault

    def clear(self, path=None):
        with self._lock:
            if path is None:
                self.faults.clear()
            else:
                self.faults.pop(path, None)

    def take_fault(self, path):
        with self._lock:
            fault = self.faults.get(path)
            if fault is None:
                return None
            if "times" in fault:
                fault["times"] -= 1
                if fault["times"] <= 0:
                    del self.faults[path]
            return dict(fault)

    def record(self, entry):
        with self._lock:
            self.requests.append(entry)

    def requests_for(self, path, method=None):
        with self._lock:
            return [r for r in self.requests if r["path"] == path and (method is None or r["method"] == method)]

    def paths(self):
        with self._lock:
            return [r["path"] for r in self.requests]

    def reset(self):
        with self._lock:
            self.faults.clear()
            self.requests.clear()

    def stop(self):
        self._server.shutdown()
        self._server.server_close()


class _QuietServer(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # Tests end clients mid-request on purpose; anything else is still printed.
        if not isinstance(sys.exc_info()[1], ConnectionError):
            super().handle_error(request, client_address)


def _make_handler(site):
    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args):
            pass

        def _read_body(self):
            length = int(self.headers.get("Content-Length") or 0)
            return self.rfile.read(length) if length > 0 else b""

        def _path(self):
            # The launcher sends paths as they stand; WinHTTP may escape spaces.
            return urllib.parse.unquote(self.path.split("?", 1)[0])

        def _record(self, body):
            self._entry = {"method": self.command, "path": self._path(), "headers": dict(self.headers.items()),
                           "body_length": len(body), "sent": 0}
            site.record(self._entry)

        def _write(self, data):
            self.wfile.write(data)
            if hasattr(self, "_entry"):
                with site._lock:
                    self._entry["sent"] += len(data)

        def do_GET(self):
            if self._path().startswith("/_fault/"):
                return self._control(b"")
            self._record(b"")
            self._answer(self._path())

        def do_POST(self):
            body = self._read_body()
            path = self._path()
            if path.startswith("/_fault/"):
                return self._control(body)
            self._record(body)
            if path == LOGS_PATH and site.take_fault(path) is None:
                status, answer = site.logs_answer
                return self._send_plain(status, as_bytes(answer))
            self._answer(path)

        # --- control API -----------------------------------------------------------------
        def _control(self, body):
            path = self._path()
            if path == "/_fault/requests":
                with site._lock:
                    data = json.dumps(site.requests).encode()
                return self._send_plain(200, data, "application/json")
            if path == "/_fault/reset":
                site.reset()
                return self._send_plain(200, b"{}", "application/json")
            if path == "/_fault/plan":
                try:
                    faults = json.loads(body or b"{}")
                except ValueError:
                    return self._send_plain(400, b"plan must be JSON")
                for target, fault in faults.items():
                    if fault is None:
                        site.clear(target)
                    else:
                        site.plan(target, **fault)
                return self._send_plain(200, b"{}", "application/json")
            self._send_plain(404, b"")

        # --- answers ---------------------------------------------------------------------
        def _send_plain(self, status, data, content_type="application/octet-stream"):
            self.send_response(status)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)

        def _answer(self, path):
            fault = site.take_fault(path) or {}
            content = site.content_for(path)
            status = fault.get("status", 200)
            if "body" in fault:
                content = as_bytes(fault["body"])
            elif "body_size" in fault:
                fill = as_bytes(fault.get("body_fill", "x"))
                content = (fill * (fault["body_size"] // len(fill) + 1))[:fault["body_size"]]
            elif "serve_as" in fault:
                content = site.content_for(FILE_PREFIX + fault["serve_as"])
            elif "status" in fault and status != 200:
                content = f"status {status}\n".encode()
            if content is None:
                return self._send_plain(404, b"not found\n")
            headers = {}
            ranged = None if fault.get("ignore_range") else parse_range(self.headers.get("Range"), len(content))
            first_byte = 0
            if ranged is not None and status == 200:
                first, last = ranged
                if first >= len(content):
                    status, headers["Content-Range"], content = 416, f"bytes */{len(content)}", b""
                else:
                    status, first_byte = 206, first
                    headers["Content-Range"] = fault.get("content_range", f"bytes {first}-{last}/{len(content)}")
                    content = memoryview(content)[first:last + 1]
            announced = len(content)
            if "extra" in fault:
                content = bytes(content) + b"\xa5" * fault["extra"]
                announced = len(content)
            if "short" in fault:
                content = content[:fault["short"]]
            self.send_response(status)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(announced))
            for name, value in headers.items():
                self.send_header(name, value)
            self.end_headers()
            if "reset_at" in fault:
                fault["reset_after"] = max(0, fault["reset_at"] - first_byte)
            if "reset_after" in fault:
                self._write(content[:fault["reset_after"]])
                self.wfile.flush()
                time.sleep(float(fault.get("pause", 0)))
                return self._reset()
            if "drip" in fault:
                chunk = max(1, int(fault.get("drip_chunk", 1)))
                for at in range(0, len(content), chunk):
                    self._write(content[at:at + chunk])
                    self.wfile.flush()
                    time.sleep(float(fault["drip"]))
            else:
                self._send(content)
            if len(content) != announced:
                self.wfile.flush()
                self.close_connection = True

        def _send(self, content):
            if not site.rate:
                return self._write(content)
            started = time.monotonic()
            view = memoryview(content)
            for at in range(0, len(view), 65536):
                self._write(view[at:at + 65536])
                ahead = (at + 65536) / site.rate - (time.monotonic() - started)
                if ahead > 0:
                    time.sleep(ahead)

        def _reset(self):
            # SO_LINGER with a zero timeout turns the close into a reset.
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.close_connection = True
            self.connection.close()

    return Handler


def main():
    parser = argparse.ArgumentParser(description="A realm site that misbehaves on purpose.")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--plan", help="JSON file: realm, files, faults")
    parser.add_argument("--rate", type=int, help="bytes a second for every answer's body")
    args = parser.parse_args()
    plan = {}
    if args.plan:
        with open(args.plan, encoding="utf-8") as f:
            plan = json.load(f)
    server = FaultServer(files=plan.get("files"), realm=plan.get("realm"), port=args.port, rate=args.rate)
    for path, fault in plan.get("faults", {}).items():
        server.plan(path, **fault)
    print(f"fault server at {server.url}", flush=True)
    try:
        threading.Event().wait()
    except KeyboardInterrupt:
        server.stop()


if __name__ == "__main__":
    main()
