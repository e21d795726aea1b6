"""What the Wine benchmarks share: a private X display, a Wine prefix, and one timed run of the
real launcher. Import it after setting VANTREL_WIN64_BUILD and VANTREL_NATIVE_BUILD and putting
tests/e2e on sys.path: conftest reads the build folders when it is imported."""

import os
import subprocess
import time
from pathlib import Path

from conftest import BUILDS, Launcher, Wine, start_xvfb, wine_env


def peak_kib(pid):
    try:
        for line in Path(f"/proc/{pid}/status").read_text().splitlines():
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    except OSError:
        pass
    return 0


def start_wine(work, build="x86_64"):
    """Xvfb on a free display and a prefix of `build` (VANTREL_BENCH_PREFIX + "-" + build, or a
    new one under `work`): (wine, xvfb process); the caller terminates Xvfb."""
    build = BUILDS[build]
    display, xvfb = start_xvfb(range(150, 200), "1024x768x24")
    given = os.environ.get("VANTREL_BENCH_PREFIX")
    prefix = Path(f"{given}-{build.name}" if given else Path(work) / f"prefix-{build.name}")
    subprocess.run(["wineboot", "-i"], env=wine_env(build, prefix, display), check=True, capture_output=True,
                   timeout=600)
    return Wine(prefix, display, build), xvfb  # after wineboot, which makes the user's profile


def timed_run(wine, exe, timeout=600):
    """One launcher run, timed from its manifest request to its finish line, then ended with every
    process of the prefix: (headline, detail, seconds, peak resident KiB)."""
    launcher = Launcher(wine, exe)
    launcher.wait_trace(r"^\[vantrel\] status: Asking the realm what's new", timeout=120)
    started = time.monotonic()
    headline, detail, _ = launcher.wait_finish(timeout=timeout)
    seconds = time.monotonic() - started
    peak = peak_kib(launcher.proc.pid)
    launcher.kill()
    subprocess.run(["wineserver", "-k"], env=wine.env, capture_output=True)
    launcher.finish()
    return headline, detail, seconds, peak
