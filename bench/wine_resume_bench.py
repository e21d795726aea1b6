#!/usr/bin/python3
"""A 1 GiB game file fetched by the real x86_64 launcher under Wine, from the fault server on
loopback: fresh; then with every answer cut at 90% (the connection reset) and resumed by the next
run; then with the launcher killed (every process of the prefix) half way and resumed by the next
start from the ".part" it left. Prints the bytes the server sent and the time of each run, and the
resumed runs against the fresh one; fails when a resumed run moves more than 15% of the file
again beyond the missing bytes.

Usage: bench/wine_resume_bench.py [--win64 build/win64] [--native build/native] [--mib 1024]
                                  [--other-volume]
--other-volume puts the game folder on /dev/shm, so the partial is copied between file systems
(in and out), as between a game on D: and the settings on C:. Needs the win64 build
(VantrelLauncher.exe, post_message.exe) and the native vantrel-stamp. Not part of the test
command.
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
FILE = "Data/Big.mpq"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--win64", default=str(REPO / "build" / "win64"))
    parser.add_argument("--native", default=str(REPO / "build" / "native"))
    parser.add_argument("--mib", type=int, default=1024, help="size of the file")
    parser.add_argument("--other-volume", action="store_true", help="game folder on /dev/shm")
    args = parser.parse_args()
    os.environ["VANTREL_WIN64_BUILD"] = str(Path(args.win64).resolve())
    os.environ["VANTREL_NATIVE_BUILD"] = str(Path(args.native).resolve())
    sys.path[:0] = [str(REPO / "tests" / "e2e"), str(HERE)]
    # conftest reads the build folders above when it is imported.
    from conftest import Launcher, install_launcher
    from fault_server import FaultServer
    from sync_support import make_game_folder, write_settings
    from wine_bench_support import start_wine, timed_run

    work = Path(tempfile.mkdtemp(prefix="vantrel-resume-bench."))
    game = Path(tempfile.mkdtemp(prefix="vantrel-resume-game.", dir="/dev/shm" if args.other_volume else work))
    server = xvfb = None
    try:
        size = args.mib * 1048576
        content = os.urandom(size)
        server = FaultServer(files={"Game.exe": b"MZ bench", FILE: content},
                             realm={"address": "play.test", "start": {"exe": "Game.exe", "args": ""}})
        server.manifest()  # hashes the file once, before any run is timed
        file_path = "/api/launcher/file/" + FILE

        wine, xvfb = start_wine(work)
        wine.reset()
        make_game_folder(game, {"Game.exe": b"MZ bench"})
        write_settings(wine, game)
        exe = install_launcher(work / "app", server.url)

        def run(label):
            before = len(server.requests_for(file_path))
            headline, detail, seconds, _ = timed_run(wine, exe, timeout=900)
            sent = sum(r["sent"] for r in server.requests_for(file_path)[before:])
            print(f"{label:<30} {sent:>14,} bytes {seconds:9.3f} s   {headline} | {detail}")
            return headline, sent, seconds

        fresh = run("fresh download")
        (game / FILE).unlink()
        server.plan(file_path, reset_at=size * 9 // 10, pause=1.0)
        cut = run("every answer cut at 90%")
        server.clear(file_path)
        resumed = run("next run, resumed")
        right = (game / FILE).read_bytes() == content

        (game / FILE).unlink()
        part = game / (FILE + ".part")
        killed = Launcher(wine, exe)
        while not part.exists() or part.stat().st_size < size // 2:
            time.sleep(0.02)
        subprocess.run(["wineserver", "-k"], env=wine.env, capture_output=True)
        killed.proc.wait(timeout=60)
        killed.finish()
        missing = size - part.stat().st_size
        after_kill = run(f"next start, {missing:,} missing")
        right = right and (game / FILE).read_bytes() == content

        print(f"resumed / fresh bytes:         {resumed[1] / fresh[1]:.3f} (limit 0.150)")
        print(f"resumed / fresh time:          {resumed[2] / fresh[2]:.3f}")
        print(f"after the kill / missing bytes: {after_kill[1] / missing:.3f} (limit 1.150)")
        print(f"files right after resuming:    {right}")
        ok = fresh[0] == "Updated" and cut[0] != "Updated" and resumed[0] == "Updated" and right
        ok = ok and after_kill[0] == "Updated" and after_kill[1] <= missing * 1.15
        return 0 if ok and resumed[1] <= size * 0.15 else 1
    finally:
        if server:
            server.stop()
        if xvfb:
            xvfb.terminate()
            xvfb.wait(timeout=10)
        shutil.rmtree(game, ignore_errors=True)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
