#!/usr/bin/python3
"""The real x86_64 launcher under Wine downloading 1 GiB in 64 files from realm-site on loopback,
against curl fetching and openssl hashing the same files natively, in the same run. Prints the
ratio (curl time / launcher time) and the launcher process's peak resident memory.

Usage: bench/wine_download_bench.py [--win64 build/win64] [--native build/native]
Needs the win64 build (VantrelLauncher.exe, post_message.exe) and the native realm-site and
vantrel-stamp. Not part of the test command.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent


def peak_kib(pid):
    try:
        for line in Path(f"/proc/{pid}/status").read_text().splitlines():
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    except OSError:
        pass
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--win64", default=str(REPO / "build" / "win64"))
    parser.add_argument("--native", default=str(REPO / "build" / "native"))
    parser.add_argument("--files", type=int, default=64)
    parser.add_argument("--mib", type=int, default=16, help="size of each file")
    args = parser.parse_args()
    os.environ["VANTREL_WIN64_BUILD"] = str(Path(args.win64).resolve())
    os.environ["VANTREL_NATIVE_BUILD"] = str(Path(args.native).resolve())
    sys.path.insert(0, str(REPO / "tests" / "e2e"))
    # conftest reads the build folders above when it is imported.
    from conftest import Launcher, RealmSite, Wine, install_launcher
    from sync_support import make_game_folder, make_realm, write_settings

    work = Path(tempfile.mkdtemp(prefix="vantrel-wine-bench."))
    site = xvfb = None
    try:
        files = {"Game.exe": b"MZ bench"}
        realm = make_realm(work / "realm", files)
        for i in range(args.files):
            with open(realm / "files" / f"part{i:02d}.mpq", "wb") as out:
                out.write(os.urandom(args.mib * 1048576))
        site = RealmSite(realm)  # hashes the realm before it listens
        names = [f"part{i:02d}.mpq" for i in range(args.files)]

        # Peer: one curl process for every file, then openssl over what it wrote.
        (work / "curl").mkdir()
        command = ["curl", "-s", "--fail"]
        for name in names:
            command += ["-o", str(work / "curl" / name), f"{site.url}/api/launcher/file/{name}"]
        started = time.monotonic()
        subprocess.run(command, check=True)
        subprocess.run(["openssl", "dgst", "-sha256", *[str(work / "curl" / n) for n in names]], check=True,
                       stdout=subprocess.DEVNULL)
        curl_seconds = time.monotonic() - started
        shutil.rmtree(work / "curl")

        for number in range(150, 200):
            if not Path(f"/tmp/.X11-unix/X{number}").exists() and not Path(f"/tmp/.X{number}-lock").exists():
                break
        display = f":{number}"
        xvfb = subprocess.Popen(["Xvfb", display, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        prefix = Path(os.environ.get("VANTREL_BENCH_PREFIX") or work / "prefix")
        env = dict(os.environ, WINEPREFIX=str(prefix), WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
                   DISPLAY=display)
        subprocess.run(["wineboot", "-i"], env=env, check=True, capture_output=True, timeout=300)
        wine = Wine(prefix, display)
        game = make_game_folder(work / "game", files)
        write_settings(wine, game)
        exe = install_launcher(work / "app", site.url)

        launcher = Launcher(wine, exe)
        launcher.wait_trace(r"^\[vantrel\] status: Asking the realm what's new", timeout=120)
        started = time.monotonic()
        headline, detail, _ = launcher.wait_finish(timeout=600)
        launcher_seconds = time.monotonic() - started
        peak = peak_kib(launcher.proc.pid)
        launcher.kill()
        subprocess.run(["wineserver", "-k"], env=env, capture_output=True)

        print(f"finish: {headline} | {detail}")
        print(f"curl + openssl:         {curl_seconds:.3f} s")
        print(f"launcher under Wine:    {launcher_seconds:.3f} s (from the manifest request to the finish line)")
        print(f"ratio curl / launcher:  {curl_seconds / launcher_seconds:.3f}")
        print(f"peak memory (VmHWM):    {peak // 1024} MiB")
        return 0 if headline == "Updated" else 1
    finally:
        if site:
            site.stop()
        if xvfb:
            xvfb.terminate()
            xvfb.wait(timeout=10)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
