#!/usr/bin/python3
"""The real launcher under Wine against bare programs making the same Windows calls, in one Wine
prefix a build, in one run: the x86_64 twin under the host's Wine, then the i686 release inside the
32-bit root (scripts/i386-root.sh), the two builds' figures side by side at the end. Each ratio is
bare / launcher (1.0: as fast as Wine allows):

  check   first check of 10,000 present 2 KB files (all hashed) / bare_read_loop   (target >= 0.8)
          and the unchanged run over the same folder                              (target <= 0.5 s)
  small   download of 10,000 files of 2 KB / bare_winhttp_loop                    (target >= 0.9)
  big     download of 1 GiB in 64 files / bare_winhttp_loop, and the launcher's
          peak memory                                                             (target >= 0.85)
  flush   what the FlushFileBuffers before each downloaded file's rename costs: the bare loop
          with and without it, on both download realms
  calls   what one PostMessageW (to a window whose thread drains its queue), one
          OutputDebugStringW of a status line and one plain server round trip cost
  hash    first check of one present 1 GiB file against `openssl dgst -sha256` of it, run
          where the build runs (the host, or inside the 32-bit root)

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
span), which a busy machine disturbs far less. The first check's ratio is also given as the median
of the runs' own ratios (each run pairs a bare loop with the launcher run after it). One persistent
wineserver serves every run, so no run pays for Wine's services starting. Files come from nginx serving realm-site's exported tree
(steadier than realm-site under load), or from realm-site itself with --server realm-site. Runs
alternate between the bare program and the launcher; each figure is the best of --runs.

Usage: bench/wine_speed_bench.py [--runs 3] [--server nginx|realm-site] [--builds x86_64,i686]
                                 [--exe EXE] [SECTION...]
Needs the win64 and win32 builds (VantrelLauncher.exe, bare_read_loop.exe, bare_winhttp_loop.exe,
call_cost.exe, post_message.exe), the native realm-site and vantrel-stamp, and for i686 the root
mounted (bench/run-wine-bench.sh builds and mounts all of it). Not part of the tests.
"""

import argparse
import os
import statistics
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
    """Best wall and CPU seconds of one program over the runs (and every run's wall), and its last
    finish line."""

    def __init__(self):
        self.wall = self.cpu = float("inf")
        self.walls = []
        self.finish = ""
        self.peak_kib = 0

    def add(self, wall, cpu, finish="", peak_kib=0):
        self.walls.append(wall)
        self.wall = min(self.wall, wall)
        self.cpu = min(self.cpu, cpu)
        self.finish = finish or self.finish
        self.peak_kib = max(self.peak_kib, peak_kib)


class Bench:
    def __init__(self, args, work, build):
        self.args = args
        self.work = work
        self.build = build
        self.servers = []
        self.urls = {}
        self.realms = {}
        self.summary = {}  # what the closing table shows for this build
        if str(REPO / "tests" / "e2e") not in sys.path:
            sys.path[:0] = [str(REPO / "tests" / "e2e"), str(HERE)]
        # conftest reads the build folders from the environment when it is imported.
        import conftest
        import sync_support
        import wine_bench_support
        self.e2e = conftest
        self.sync = sync_support
        self.support = wine_bench_support
        conftest.use_build(build)  # install_launcher and win_tool give this build's files

    # --- the prefix, the servers, the programs ------------------------------------------------
    def start_prefix(self):
        self.wine, self.xvfb = self.support.start_wine(self.work, self.build)
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
        ratios = []  # each run's bare loop against the launcher run right after it
        for _ in range(self.args.runs):
            for (_, figures), (_, variant) in zip(peers, VARIANTS):
                self.bare(figures, "bare_read_loop", *variant, paths)
                self.launcher(first, exe, game)
                if not variant:
                    ratios.append(figures.walls[-1] / first.walls[-1])
            self.launcher(unchanged, exe, game, keep_ledgers=True)
        self.report("first check, 10,000 x 2 KB present files", peers, first, 0.8)
        median = statistics.median(ratios)
        print(f"  bare       median of the {len(ratios)} runs' ratios: {median:5.2f}  (target >= 0.8)", flush=True)
        print(f"unchanged run, same folder  [{unchanged.finish}]\n  wall: launcher {unchanged.wall:7.3f} s"
              f"  (target <= 0.5 s)   cpu: {unchanged.cpu:.3f} s", flush=True)
        self.summary["first check, launcher s (median)"] = f"{statistics.median(first.walls):.2f}"
        self.summary["first check, bare loop s (median)"] = f"{statistics.median(peers[0][1].walls):.2f}"
        self.summary["first check / bare (median ratio)"] = f"{median:.2f}"
        self.summary["unchanged run s (best)"] = f"{unchanged.wall:.2f}"

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
        self.summary[f"{label}, launcher s (best)"] = f"{launcher.wall:.2f}"
        self.summary[f"{label} / bare (best)"] = f"{peers[0][1].wall / launcher.wall:.2f}"
        if launcher.peak_kib:
            self.summary[f"{label}, peak MiB"] = f"{launcher.peak_kib // 1024}"

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

    def hash(self):
        """The launcher's first check of one present 1 GiB file (its time is the hashing) against
        `openssl dgst -sha256` of the same file where the build runs."""
        size = 1 << 30
        realm = self.work / "hash"
        files = {"Game.exe": b"MZ bench"}
        self.sync.make_realm(realm, files, start={"exe": "Game.exe", "args": ""})
        big = realm / "files" / "Data" / "big.mpq"
        big.parent.mkdir(exist_ok=True)
        if not big.exists():
            with open(big, "wb") as out:
                for _ in range(size // (64 << 20)):
                    out.write(os.urandom(64 << 20))
        exe = self.stamped("app-hash", self.serve(realm))
        game = self.fresh_game("hash-game", files)
        (game / "Data").mkdir()
        os.link(big, game / "Data" / "big.mpq")  # the same bytes, present and current
        launcher, openssl = Figures(), Figures()
        command = ["openssl", "dgst", "-sha256", str(big)]
        if self.build == "i686":
            root = Path(os.environ.get("VANTREL_DEPS", "/var/cache/vantrel-deps")) / "i386-root"
            command = ["chroot", str(root), "/usr/bin/env", "PATH=/usr/bin:/bin", *command]
        for _ in range(self.args.runs):
            started = time.monotonic()
            subprocess.run(command, check=True, capture_output=True)
            openssl.add(time.monotonic() - started, 0)
            self.launcher(launcher, exe, game)
        mib = size / 1048576
        print(f"hashing 1 GiB, present file  [{launcher.finish}]\n  openssl dgst {openssl.wall:7.3f} s "
              f"({mib / openssl.wall:6.0f} MiB/s)   launcher {launcher.wall:7.3f} s ({mib / launcher.wall:6.0f} MiB/s), "
              f"ratio {openssl.wall / launcher.wall:5.2f}", flush=True)
        if not launcher.finish.startswith("Up to date"):
            print("WARNING: the launcher did not find the file current", flush=True)
        self.summary["hash 1 GiB, launcher MiB/s (best)"] = f"{mib / launcher.wall:.0f}"
        self.summary["hash 1 GiB, openssl dgst MiB/s (best)"] = f"{mib / openssl.wall:.0f}"

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
    parser.add_argument("sections", nargs="*", help="check, small, big, hash, flush, calls (default: all but flush)")
    parser.add_argument("--win64", default=str(REPO / "build" / "win64"))
    parser.add_argument("--win32", default=str(REPO / "build" / "win32"))
    parser.add_argument("--builds", default="x86_64,i686", help="the builds to measure, in turn")
    parser.add_argument("--native", default=str(REPO / "build" / "native"))
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--server", choices=["nginx", "realm-site"], default="nginx")
    parser.add_argument("--exe", help="measure this launcher build instead of the win64 tree's")
    args = parser.parse_args()
    if set(args.sections) - {"check", "small", "big", "hash", "flush", "calls"}:
        parser.error("sections are check, small, big, hash, flush and calls")
    builds = [b for b in args.builds.split(",") if b]
    if set(builds) - {"x86_64", "i686"}:
        parser.error("builds are x86_64 and i686")
    os.environ["VANTREL_WIN64_BUILD"] = str(Path(args.win64).resolve())
    os.environ["VANTREL_WIN32_BUILD"] = str(Path(args.win32).resolve())
    os.environ["VANTREL_NATIVE_BUILD"] = str(Path(args.native).resolve())

    work = Path(tempfile.mkdtemp(prefix="vantrel-wine-bench."))
    summaries = {}
    try:
        for build in builds:
            bench = Bench(args, work / build, build)
            (work / build).mkdir()
            try:
                bench.start_prefix()
                load = os.getloadavg()[0]
                print(f"== {build}: files from {args.server}; best of {args.runs} runs; load average {load:.1f} on "
                      f"{os.cpu_count()} cores", flush=True)
                for section in args.sections or ["check", "small", "big", "hash", "calls"]:
                    getattr(bench, section)()
            finally:
                bench.stop()
            summaries[build] = bench.summary
        rows = [key for summary in summaries.values() for key in summary]
        print("\n" + f"{'':44}" + "".join(f"{build:>10}" for build in summaries), flush=True)
        for row in dict.fromkeys(rows):
            print(f"{row:44}" + "".join(f"{summaries[b].get(row, '-'):>10}" for b in summaries), flush=True)
        return 0
    finally:
        if not os.environ.get("VANTREL_BENCH_KEEP"):
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
