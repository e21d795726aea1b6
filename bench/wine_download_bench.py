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


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--win64", default=str(REPO / "build" / "win64"))
    parser.add_argument("--native", default=str(REPO / "build" / "native"))
    parser.add_argument("--files", type=int, default=64)
    parser.add_argument("--mib", type=int, default=16, help="size of each file")
    args = parser.parse_args()
    os.environ["VANTREL_WIN64_BUILD"] = str(Path(args.win64).resolve())
    os.environ["VANTREL_NATIVE_BUILD"] = str(Path(args.native).resolve())
    sys.path[:0] = [str(REPO / "tests" / "e2e"), str(HERE)]
    # conftest reads the build folders above when it is imported.
    from conftest import RealmSite, install_launcher
    from sync_support import make_game_folder, make_realm, write_settings
    from wine_bench_support import start_wine, timed_run

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

        wine, xvfb = start_wine(work)
        game = make_game_folder(work / "game", files)
        write_settings(wine, game)
        exe = install_launcher(work / "app", site.url)

        headline, detail, launcher_seconds, peak = timed_run(wine, exe)

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
