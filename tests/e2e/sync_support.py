"""Helpers for the synchronisation tests: realm folders, game folders, settings, runs."""

import hashlib
import json
import subprocess
import time
from pathlib import Path

from conftest import LAUNCHER_EXE, REALM_SITE, free_port, stamp, stop_process, to_windows_path, wait_for_port, win_tool

GAME_EXE = "Game.exe"


def sha256_text(data):
    return hashlib.sha256(data).hexdigest()


def pattern_bytes(size, seed):
    """Deterministic bytes that differ per seed (so no two test files hash alike)."""
    block = hashlib.sha256(seed.encode()).digest() * 2048  # 64 KiB
    return (block * (size // len(block) + 1))[:size]


def make_realm(root, files, launcher=None, **realm):
    """A realm folder for realm-site: realm.json, files/, optionally launcher/VantrelLauncher.exe."""
    root = Path(root)
    (root / "files").mkdir(parents=True, exist_ok=True)
    config = {"realm": "Test Realm", "address": "play.test", "start": {"exe": GAME_EXE, "args": ""}}
    config.update(realm)
    (root / "realm.json").write_text(json.dumps(config))
    for path, data in files.items():
        target = root / "files" / path
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data)
    if launcher is not None:
        (root / "launcher").mkdir(exist_ok=True)
        (root / "launcher" / "VantrelLauncher.exe").write_bytes(launcher)
    return root


def new_build(tmp_path, address):
    """A stamped launcher that hashes differently: the same program with bytes appended."""
    return stamp(LAUNCHER_EXE, address, tmp_path / "new-build.exe").read_bytes() + b"\0new build\0" * 64


def export_realm(root, out, *extra):
    subprocess.run([str(REALM_SITE), "export", "--root", str(root), "--out", str(out), *map(str, extra)], check=True,
                   capture_output=True, timeout=120)
    return Path(out)


def make_game_folder(folder, files):
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    for path, data in files.items():
        target = folder / path
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data)
    return folder


def write_settings(wine, game_dir, host_label="127.0.0.1"):
    """The launcher's settings file naming the game folder (as a Windows path)."""
    folder = wine.settings_folder(host_label)
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "settings.txt").write_bytes(f"game_dir={to_windows_path(game_dir)}\r\nwindowed=0\r\n".encode())
    return folder


def tree(folder):
    """Every file under `folder` as {relative "/" path: bytes}."""
    folder = Path(folder)
    return {p.relative_to(folder).as_posix(): p.read_bytes() for p in sorted(folder.rglob("*")) if p.is_file()}


def part_files(folder):
    return [p for p in Path(folder).rglob("*.part")]


def run_once(launch, exe, timeout=120.0):
    """Starts the launcher, waits for its finish line, ends it; returns (launcher, finish)."""
    launcher = launch(exe)
    finish = launcher.wait_finish(timeout=timeout)
    end(launcher)
    return launcher, finish


def end(launcher):
    """Closes the window the way the player would; kills the process if it lingers."""
    if launcher.proc.poll() is None:
        launcher.close()
        try:
            launcher.wait_exit(timeout=20)
        except Exception:
            launcher.kill()


class HeldFile:
    """A Windows process holding a file open without sharing, as a running game does."""

    def __init__(self, wine, path):
        self.proc = subprocess.Popen(["wine", str(win_tool("hold_file")), to_windows_path(path)], env=wine.env,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        line = self.proc.stdout.readline().decode(errors="replace").strip()
        if line != "holding":
            self.release()
            raise RuntimeError(f"hold_file could not open {path}: {line}")

    def release(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=10)


def command_lines(containing):
    """Command lines of running processes that contain `containing` (Wine shows the Windows one)."""
    found = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            line = (entry / "cmdline").read_bytes().replace(b"\0", b" ").decode(errors="replace").strip()
        except OSError:
            continue
        if containing in line:
            found.append(line)
    return found


def wait_until(predicate, timeout=30.0, what="condition"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.2)
    raise TimeoutError(f"timed out waiting for {what}")


class Nginx:
    """nginx on a free loopback port with a config of its own: by default serving a static folder,
    or with the server blocks `servers(port)` returns. Its access log has one line a request."""

    def __init__(self, static_root, work, servers=None,
                 log_format="$request_method $request_uri $status $body_bytes_sent", worker_connections=256):
        self.work = Path(work)
        self.work.mkdir(parents=True, exist_ok=True)
        self.port = free_port()
        self.url = f"http://127.0.0.1:{self.port}"
        self.access_log = self.work / "access.log"
        w = self.work
        if servers is None:
            block = f"""  default_type application/octet-stream;
  server {{
    listen 127.0.0.1:{self.port};
    root {static_root};
    location / {{ }}
  }}"""
        else:
            block = servers(self.port)
        conf = self.work / "nginx.conf"
        conf.write_text(f"""
daemon off;
master_process on;
worker_processes 1;
user root;
pid {w}/nginx.pid;
error_log {w}/error.log;
worker_rlimit_nofile {4 * worker_connections};
events {{ worker_connections {worker_connections}; }}
http {{
  log_format vantrel '{log_format}';
  access_log {self.access_log} vantrel;
  client_body_temp_path {w}/body;
  proxy_temp_path {w}/proxy;
  fastcgi_temp_path {w}/fastcgi;
  uwsgi_temp_path {w}/uwsgi;
  scgi_temp_path {w}/scgi;
{block}
}}
""")
        self.proc = subprocess.Popen(["nginx", "-c", str(conf), "-p", str(w)], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE)
        try:
            wait_for_port(self.port, timeout=15)
        except TimeoutError:
            self.stop()
            raise RuntimeError("nginx did not start: " + (w / "error.log").read_text(errors="replace"))

    def log(self):
        return self.access_log.read_text(errors="replace").splitlines() if self.access_log.exists() else []

    def requested_paths(self):
        return [line.split(" ")[1] for line in self.log()]

    def stop(self):
        stop_process(self.proc)


def read_ledger_paths(settings_folder, name="written.txt"):
    path = Path(settings_folder) / name
    if not path.exists():
        return []
    return [line.strip() for line in path.read_text(errors="replace").splitlines() if line.strip()]

