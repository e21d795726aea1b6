#!/usr/bin/python3
"""The real x86_64 launcher under Wine against bare programs making the same Windows calls, in one
Wine prefix, in one run. Each ratio is bare / launcher (1.0: as fast as Wine allows):

  check   first check of 10,000 present 2 KB files (all hashed) / bare_read_loop   (target >= 0.8)
          and the unchanged run over the same folder                              (target <= 0.5 s)
  small   download of 10,000 files of 2 KB / bare_winhttp_loop                    (target >= 0.9)
  big     download of 1 GiB in 64 files / bare_winhttp_loop, and the launcher's
          peak memory                                                             (target >= 0.85)
  flush   what the FlushFileBuffers before each downloaded file's rename costs: the bare loop
          with and without it, on both download realms
  calls   what one PostMessageW (to a window whose thread drains its queue), one
          OutputDebugStringW of a status line and one plain server round trip cost

Each loop section gives three ratios: against the bare loop of the issue (only the file and
network calls), and against the same loop with --notices, which also makes the calls the launcher
must make by design (per file the status notice's trace line and its post to a window on a second
thread, per download chunk the progress post, and per downloaded file the look for a file already
there, the ".part" file moved into place and the look at the placed file for the hash ledger): how far the launcher is from Wine's ceiling for
the work it is required to do. That window's thread drains its queue either as a plain message
loop ("same calls", woken by every post) or once a frame as the launcher's does ("paced"). Bare
programs run with the launcher's WINEDEBUG, so a trace line costs them what it costs the launcher.

The launcher is timed from its trace line "Asking the realm what's new" to its finish line (so its
figure includes the manifest and the ledgers); a bare program times its own loop. Besides wall
time each row gives CPU time (the program's own, all threads, plus the wineserver's over the same
span), which a busy machine disturbs far less. One persistent wineserver serves every run, so no
run pays for Wine's services starting. Files come from nginx serving realm-site's exported tree
(steadier than realm-site under load), or from realm-site itself with --server realm-site. Runs
alternate between the bare program and the launcher; each figure is the best of --runs.

Usage: bench/wine_speed_bench.py [--runs 3] [--server nginx|realm-site] [--exe EXE] [SECTION...]
Needs the win64 build (VantrelLauncher.exe, bare_read_loop.exe, bare_winhttp_loop.exe, call_cost.exe) and the
native realm-site and vantrel-stamp (bench/run-wine-bench.sh builds them). Not part of the tests.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
TICKS = os.sysconf("SC_CLK_TCK")
TRACE_CHANNELS = "-all,warn+seh,warn+debugstr"  # what the launcher runs with, to be followed


def cpu_seconds(pid):
    """User and system time of a process, all its threads, so far."""
    try:
        fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    except OSError:
        return 0.0
    return (int(fields[11]) + int(fields[12])) / TICKS


# The bare loop, then its same-calls variants (bare_notices_win32.h).
VARIANTS = (("bare", []), ("same calls", ["--notices"]), ("paced", ["--notices=paced"]))
STARTED = b"[vantrel] status: Asking the realm what's new"
FINISHED = b"[vantrel] finish: "


class TimedRun:
    """The launcher with its trace lines read as a bare program's output is read: in large pieces,
    looking only for the lines that start and end the timing. (The tests' reader parses every line
    in Python, which on two cores takes CPU from the launcher and, when it falls behind, holds the
    launcher up on a full pipe.)"""

    def __init__(self, wine, exe):
        env = dict(wine.env, WINEDEBUG=TRACE_CHANNELS)
        self.proc = subprocess.Popen(["wine", str(exe)], env=env, cwd=Path(exe).parent, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE)
        self.cond = threading.Condition()
        self.seen = {}
        self.reader = threading.Thread(target=self.read, daemon=True)
        self.reader.start()

    def read(self):
        tail = b""
        while True:
            piece = os.read(self.proc.stderr.fileno(), 1 << 20)
            if not piece:
                break
            text = tail + piece
            for marker in (STARTED, FINISHED):
                at = text.find(marker)
                if marker not in self.seen and at >= 0 and text.find(b"\n", at) >= 0:
                    line = text[at + len(marker):text.find(b"\n", at)].decode("latin-1").rstrip('"')
                    with self.cond:
                        self.seen[marker] = line
                        self.cond.notify_all()
            tail = text[-4096:]
        with self.cond:
            self.seen.setdefault(None, "")
            self.cond.notify_all()

    def wait(self, marker, timeout):
        with self.cond:
            if not self.cond.wait_for(lambda: marker in self.seen or None in self.seen, timeout):
                raise TimeoutError(f"no {marker!r} from the launcher")
            if marker not in self.seen:
                raise RuntimeError(f"the launcher ended without {marker!r}")
            return self.seen[marker]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(timeout=30)
        self.reader.join(timeout=10)


class Figures:
    """Best wall and CPU seconds of one program over the runs, and its last finish line."""

    def __init__(self):
        self.wall = self.cpu = float("inf")
        self.finish = ""
        self.peak_kib = 0

    def add(self, wall, cpu, finish="", peak_kib=0):
        self.wall = min(self.wall, wall)
        self.cpu = min(self.cpu, cpu)
        self.finish = finish or self.finish
        self.peak_kib = max(self.peak_kib, peak_kib)


class Bench:
    def __init__(self, args, work):
        self.args = args
        self.work = work
        self.servers = []
        self.urls = {}
        self.realms = {}
        sys.path[:0] = [str(REPO / "tests" / "e2e"), str(HERE)]
        # conftest reads the build folders from the environment when it is imported.
        import conftest
        import sync_support
        import wine_bench_support
        self.e2e = conftest
        self.sync = sync_support
        self.support = wine_bench_support

    # --- the prefix, the servers, the programs ------------------------------------------------
    def start_prefix(self):
        self.wine, self.xvfb = self.support.start_wine(self.work)
        quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.wine.env, timeout=300, **quiet)
        # One server for every run, with Wine's services and desktop already up (started here,
        # so none of them holds a pipe of a measured program).
        subprocess.run(["wineserver", "-p"], env=self.wine.env, check=True, **quiet)
        subprocess.run(["wine", str(self.e2e.win_tool("post_message")), "NoSuchWindow", "0"], env=self.wine.env,
                       timeout=120, **quiet)
        self.wineserver = next(int(p.name) for p in Path("/proc").iterdir()
                               if p.name.isdigit() and self.is_our_wineserver(p))

    def is_our_wineserver(self, proc):
        try:
            return (proc / "comm").read_text().startswith("wineserver") and \
                f"WINEPREFIX={self.wine.prefix}\0".encode() in (proc / "environ").read_bytes()
        except OSError:
            return False

    def stop(self):
        for server in self.servers:
            server.stop()
        if getattr(self, "wine", None):
            subprocess.run(["wineserver", "-k"], env=self.wine.env, capture_output=True)
        if getattr(self, "xvfb", None):
            self.xvfb.terminate()
            self.xvfb.wait(timeout=10)

    def serve(self, realm):
        """The realm on loopback: nginx over the exported tree, or realm-site. Returns its URL."""
        if realm in self.urls:
            return self.urls[realm]
        if self.args.server == "realm-site":
            site = self.e2e.RealmSite(realm)  # hashes the realm before it listens
        else:
            static = self.sync.export_realm(realm, realm.parent / (realm.name + "-static"))
            site = self.sync.Nginx(static, realm.parent / (realm.name + "-nginx"))
        self.servers.append(site)
        self.urls[realm] = site.url
        return site.url

    def stamped(self, name, url):
        if self.args.exe:
            (self.work / name).mkdir(parents=True, exist_ok=True)
            return self.e2e.stamp(self.args.exe, url, self.work / name / "VantrelLauncher.exe")
        return self.e2e.install_launcher(self.work / name, url)

    def bare(self, figures, name, *args):
        """Runs a bare program in the prefix: the loop's own wall and CPU time, plus the server's."""
        server = cpu_seconds(self.wineserver)
        values = self.run_tool(name, *args)
        figures.add(float(values["seconds"]), float(values["cpu"]) + cpu_seconds(self.wineserver) - server)

    def run_tool(self, name, *args):
        """A bare program's "name: value" lines. It runs with the launcher's debug channels, so each
        of its trace lines is printed and read as the launcher's are."""
        env = dict(self.wine.env, WINEDEBUG=TRACE_CHANNELS)
        out = subprocess.run(["wine", str(self.e2e.win_tool(name)), *args], env=env, check=True, timeout=1800,
                             capture_output=True).stdout.decode()
        return dict(line.split(": ", 1) for line in out.splitlines() if ": " in line)

    def launcher(self, figures, exe, game, keep_ledgers=False):
        """One update run of the stamped launcher, from its manifest request to its finish line."""
        settings = self.wine.settings_folder()
        if not keep_ledgers:
            shutil.rmtree(settings, ignore_errors=True)
        self.sync.write_settings(self.wine, game)
        run = TimedRun(self.wine, exe)
        try:
            run.wait(STARTED, timeout=120)
            started, own, server = time.monotonic(), cpu_seconds(run.proc.pid), cpu_seconds(self.wineserver)
            finish = run.wait(FINISHED, timeout=1800)
            wall = time.monotonic() - started
            cpu = cpu_seconds(run.proc.pid) - own + cpu_seconds(self.wineserver) - server
            figures.add(wall, cpu, finish, self.support.peak_kib(run.proc.pid))
        finally:
            run.stop()

    def report(self, work, peers, launcher, target):
        """`peers`: the bare loop's figures, then those of its same-calls variants."""
        print(f"{work}  [{launcher.finish}]", flush=True)
        bare = peers[0][1]
        for name, peer in peers:
            print(f"  {name:10} wall: {peer.wall:7.3f} s against {launcher.wall:7.3f} s, ratio "
                  f"{peer.wall / launcher.wall:5.2f}{f'  (target >= {target})' if peer is bare else ''}", flush=True)
            print(f"  {name:10} cpu:  {peer.cpu:7.3f} s against {launcher.cpu:7.3f} s, ratio "
                  f"{peer.cpu / launcher.cpu:5.2f}  (program and wineserver)", flush=True)
        if launcher.peak_kib:
            print(f"  peak memory of the launcher (VmHWM): {launcher.peak_kib // 1024} MiB", flush=True)

    # --- data ---------------------------------------------------------------------------------
    def small_realm(self):
        """A realm of 10,000 files of 2 KB (Game.exe among them) and the list of their paths."""
        if "small" not in self.realms:
            realm = self.work / "small"
            files = {"Game.exe": b"MZ bench" + b"\0" * 2040}
            for i in range(9999):
                files[f"Data/d{i // 100:03d}/f{i:05d}.bin"] = (b"%08d" % i) * 256
            self.sync.make_realm(realm, files, start={"exe": "Game.exe", "args": ""})
            self.realms["small"] = realm, files, list(files)
        return self.realms["small"]

    def big_realm(self):
        if "big" not in self.realms:
            realm = self.work / "big"
            files = {"Game.exe": b"MZ bench"}
            self.sync.make_realm(realm, files, start={"exe": "Game.exe", "args": ""})
            (realm / "files" / "Data").mkdir(exist_ok=True)
            names = [f"Data/part{i:02d}.mpq" for i in range(64)]
            for name in names:
                with open(realm / "files" / name, "wb") as out:
                    out.write(os.urandom(16 * 1048576))
            self.realms["big"] = realm, files, names
        return self.realms["big"]

    def write_list(self, path, lines):
        Path(path).write_text("".join(line + "\n" for line in lines), encoding="utf-8")
        return self.e2e.to_windows_path(path)

    def fresh_game(self, name, files):
        game = self.work / name
        shutil.rmtree(game, ignore_errors=True)
        return self.sync.make_game_folder(game, files)

    # --- sections ------------------------------------------------------------------------------
    def check(self):
        realm, files, names = self.small_realm()
        exe = self.stamped("app-check", self.serve(realm))
        game = self.fresh_game("check-game", files)
        paths = self.write_list(self.work / "check.list", [self.e2e.to_windows_path(game / n) for n in names])
        peers = [(name, Figures()) for name, _ in VARIANTS]
        first, unchanged = Figures(), Figures()
        for _ in range(self.args.runs):
            for (_, figures), (_, variant) in zip(peers, VARIANTS):
                self.bare(figures, "bare_read_loop", *variant, paths)
                self.launcher(first, exe, game)
            self.launcher(unchanged, exe, game, keep_ledgers=True)
        self.report("first check, 10,000 x 2 KB present files", peers, first, 0.8)
        print(f"unchanged run, same folder  [{unchanged.finish}]\n  wall: launcher {unchanged.wall:7.3f} s"
              f"  (target <= 0.5 s)   cpu: {unchanged.cpu:.3f} s", flush=True)

    def download(self, label, realm, files, names, target):
        url = self.serve(realm)
        host, port = url.split("//")[1].split(":")
        exe = self.stamped(f"app-{realm.name}", url)
        wanted = {**files, **{n: (realm / "files" / n).read_bytes() for n in names}}
        peers = [(name, Figures()) for name, _ in VARIANTS]
        launcher = Figures()
        for _ in range(self.args.runs):
            for (_, figures), (_, variant) in zip(peers, VARIANTS):
                out = self.fresh_game(f"{realm.name}-bare", {})
                for n in names:
                    (out / n).parent.mkdir(parents=True, exist_ok=True)
                listing = self.write_list(self.work / f"{realm.name}.list",
                                          [f"/api/launcher/file/{n}\t" + self.e2e.to_windows_path(out / n) for n in names])
                subprocess.run(["sync"], check=True)
                self.bare(figures, "bare_winhttp_loop", *variant, host, port, listing)
                shutil.rmtree(out)
            game = self.fresh_game(f"{realm.name}-game", {"Game.exe": files["Game.exe"]})
            subprocess.run(["sync"], check=True)
            self.launcher(launcher, exe, game)
            if self.sync.tree(game) != wanted:
                print(f"WARNING: the launcher's copy of the {realm.name} realm differs", flush=True)
            shutil.rmtree(game)
        self.report(label, peers, launcher, target)

    def small(self):
        realm, files, names = self.small_realm()
        self.download("download 10,000 x 2 KB", realm, {"Game.exe": files["Game.exe"]},
                      [n for n in names if n != "Game.exe"], 0.9)

    def big(self):
        self.download("download 1 GiB in 64 files", *self.big_realm(), 0.85)

    def flush(self):
        """The bare download loop with and without its flush per file, alternating, best of the runs."""
        small, files, names = self.small_realm()
        for label, (realm, keep, names) in (("10,000 x 2 KB", (small, files, [n for n in names if n != "Game.exe"])),
                                            ("1 GiB in 64 files", self.big_realm())):
            url = self.serve(realm)
            host, port = url.split("//")[1].split(":")
            flushed, unflushed = Figures(), Figures()
            for _ in range(self.args.runs):
                for figures, extra in ((flushed, []), (unflushed, ["--no-flush"])):
                    out = self.fresh_game(f"{realm.name}-flush", {})
                    for n in names:
                        (out / n).parent.mkdir(parents=True, exist_ok=True)
                    listing = self.write_list(self.work / f"{realm.name}-flush.list",
                                              [f"/api/launcher/file/{n}\t" + self.e2e.to_windows_path(out / n)
                                               for n in names])
                    subprocess.run(["sync"], check=True)
                    self.bare(figures, "bare_winhttp_loop", *extra, host, port, listing)
                    shutil.rmtree(out)
            print(f"flush per file, download {label}: with {flushed.wall:7.3f} s, without {unflushed.wall:7.3f} s, "
                  f"cost {flushed.wall / unflushed.wall - 1:+.1%}  (cpu {flushed.cpu:.3f} s against "
                  f"{unflushed.cpu:.3f} s)", flush=True)

    def calls(self):
        """Per call: the loop's wall time, and CPU (the program's threads and the wineserver's) from
        the difference between a run of 2N calls and one of N, so start-up cancels out."""
        count = 20000
        print(f"cost of one call, best of {self.args.runs} (wall in the calling loop; cpu of the process and "
              "the wineserver)", flush=True)
        for what, label in (("post", "PostMessageW, each waking the window thread"),
                            ("paced", "PostMessageW, the window thread paced"),
                            ("trace", "OutputDebugStringW, a status line"),
                            ("wait", "WaitForSingleObject, one server round trip")):
            wall = cpu = float("inf")
            for _ in range(self.args.runs):
                spent = []
                for calls in (count, 2 * count):
                    server = cpu_seconds(self.wineserver)
                    values = self.run_tool("call_cost", what, str(calls))
                    spent.append(float(values["cpu_with_drain"]) + cpu_seconds(self.wineserver) - server)
                    if calls == count:
                        wall = min(wall, float(values["seconds"]) / calls)
                cpu = min(cpu, (spent[1] - spent[0]) / count)
            print(f"  {label:44} wall {wall * 1e6:6.1f} us   cpu {cpu * 1e6:6.1f} us", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("sections", nargs="*", help="check, small, big, flush, calls (default: all but flush)")
    parser.add_argument("--win64", default=str(REPO / "build" / "win64"))
    parser.add_argument("--native", default=str(REPO / "build" / "native"))
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--server", choices=["nginx", "realm-site"], default="nginx")
    parser.add_argument("--exe", help="measure this launcher build instead of the win64 tree's")
    args = parser.parse_args()
    if set(args.sections) - {"check", "small", "big", "flush", "calls"}:
        parser.error("sections are check, small, big, flush and calls")
    os.environ["VANTREL_WIN64_BUILD"] = str(Path(args.win64).resolve())
    os.environ["VANTREL_NATIVE_BUILD"] = str(Path(args.native).resolve())

    work = Path(tempfile.mkdtemp(prefix="vantrel-wine-bench."))
    bench = Bench(args, work)
    try:
        bench.start_prefix()
        load = os.getloadavg()[0]
        print(f"files from {args.server}; best of {args.runs} runs; load average {load:.1f} on {os.cpu_count()} cores",
              flush=True)
        for section in args.sections or ["check", "small", "big", "calls"]:
            getattr(bench, section)()
        return 0
    finally:
        bench.stop()
        if not os.environ.get("VANTREL_BENCH_KEEP"):
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
