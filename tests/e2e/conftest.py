"""Shared fixtures for the end-to-end tests: the real launcher under Wine and Xvfb, both builds.

The launcher is observed from outside: its trace lines (OutputDebugStringW, which Wine prints
on the seh channel), its window (xdotool, screenshots), the files it writes and what servers
received. One X display serves the whole session and one Wine prefix each build; the launcher's
settings folder is emptied before each test and every Wine process is ended after it.

Every test that uses the `wine` fixture (directly or through `launch`) runs once per build: the
x86_64 twin under the host's Wine ([x86_64] in its id) and the i686 release inside the 32-bit
Debian root that scripts/setup.sh makes ([i686]). `install_launcher`, `win_tool` and
`launcher_exe()` give the files of the build the test is running on. `@pytest.mark.builds("i686")`
keeps a test to the builds named; VANTREL_E2E_BUILDS (e.g. "x86_64") narrows the whole session.
The i686 build needs the root mounted (scripts/setup.sh does it, or scripts/test.sh).
"""

import os
import re
import shutil
import signal
import socket
import subprocess
import threading
import time
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
WIN64 = Path(os.environ.get("VANTREL_WIN64_BUILD", REPO / "build" / "win64"))
WIN32 = Path(os.environ.get("VANTREL_WIN32_BUILD", REPO / "build" / "win32"))
NATIVE = Path(os.environ.get("VANTREL_NATIVE_BUILD", REPO / "build" / "native"))
LAUNCHER_EXE = WIN64 / "VantrelLauncher.exe"  # the x86_64 twin; launcher_exe() is the build in use
STAMP = NATIVE / "vantrel-stamp"
REALM_SITE = NATIVE / "realm-site"


class Build:
    """One Windows build: its tree, and the folder of wine wrappers it runs under (none: the host's)."""

    def __init__(self, name, folder, wine_bin=None):
        self.name = name
        self.folder = Path(folder)
        self.wine_bin = wine_bin
        self.launcher = self.folder / "VantrelLauncher.exe"

    def __repr__(self):
        return self.name


BUILDS = {
    "x86_64": Build("x86_64", WIN64),
    "i686": Build("i686", WIN32, REPO / "scripts" / "i686-wine"),
}
BUILD_NAMES = [n for n in os.environ.get("VANTREL_E2E_BUILDS", "x86_64,i686").split(",") if n]
_in_use = BUILDS["x86_64"]


def use_build(build):
    """Makes `build` (a Build or its name) the one install_launcher, win_tool and launcher_exe give."""
    global _in_use
    _in_use = BUILDS[build] if isinstance(build, str) else build
    return _in_use


def build_in_use():
    return _in_use


def launcher_exe():
    """The unstamped launcher of the build in use."""
    return _in_use.launcher

TRACE_RE = re.compile(r':OutputDebugStringA "(.*)"(\.\.\.)?$')
FINISH_RE = re.compile(r"^\[vantrel\] finish: (.*) \| (.*) \| ready=([01])$")


def win_tool(name):
    """A helper exe of the build in use (tests/win-tools/<name>.cpp)."""
    return _in_use.folder / f"{name}.exe"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, timeout=20.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return
        except OSError:
            time.sleep(0.05)
    raise TimeoutError(f"nothing listens on 127.0.0.1:{port}")


def unescape_wine(text):
    """Undoes Wine's C-style escaping of debug strings (non-ASCII arrives in code page 1252)."""
    out = bytearray()
    i = 0
    simple = {"n": 10, "r": 13, "t": 9, "\\": 92, '"': 34, "'": 39, "0": 0}
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            n = text[i + 1]
            if n == "x" and i + 3 < len(text) + 1:
                out.append(int(text[i + 2:i + 4], 16))
                i += 4
                continue
            if n in simple:
                out.append(simple[n])
                i += 2
                continue
        out.extend(c.encode("latin-1", "replace"))
        i += 1
    return out.decode("cp1252", "replace")


def to_windows_path(path):
    """Wine maps the Unix root to drive Z:."""
    return "Z:" + str(path).replace("/", "\\")


class Screenshot:
    """An RGB picture of the whole X screen, read pixel by pixel."""

    def __init__(self, png_path):
        self.path = Path(png_path)
        raw = subprocess.run(["convert", str(self.path), "-depth", "8", "ppm:-"],
                             check=True, capture_output=True).stdout
        parts = raw.split(maxsplit=4)  # P6 width height maxval data
        self.width, self.height = int(parts[1]), int(parts[2])
        self.data = parts[4]

    def pixel(self, x, y):
        at = (y * self.width + x) * 3
        return tuple(self.data[at:at + 3])


def wine_env(build, prefix, display, base=None):
    """The environment in which `wine`, `wineserver` and `wineboot` are those of `build`."""
    env = dict(os.environ if base is None else base)
    env.update({
        "WINEPREFIX": str(prefix),
        "WINEDEBUG": "-all",
        "WINEDLLOVERRIDES": "mscoree,mshtml=",
        "DISPLAY": display,
    })
    if build.wine_bin:
        env["PATH"] = f"{build.wine_bin}{os.pathsep}{env.get('PATH', os.defpath)}"
    return env


class Wine:
    def __init__(self, prefix, display, build=None):
        self.prefix = Path(prefix)
        self.display = display
        self.build = build or BUILDS["x86_64"]
        self.env = wine_env(self.build, self.prefix, display)
        users = self.prefix / "drive_c" / "users"
        self.user = os.environ.get("USER") or "root"
        if not (users / self.user).exists() and users.exists():
            names = [p.name for p in users.iterdir() if p.name.lower() != "public"]
            self.user = names[0] if names else self.user
        self.profile = users / self.user
        self.appdata = self.profile / "AppData" / "Roaming"
        self.localappdata = self.profile / "AppData" / "Local"
        self.programdata = self.prefix / "drive_c" / "ProgramData"

    def run(self, args, check=True, timeout=120, **kw):
        return subprocess.run(args, env=self.env, check=check, timeout=timeout,
                              capture_output=True, **kw)

    def settings_folder(self, host_label="127.0.0.1"):
        return self.appdata / "Vantrel Launcher" / host_label

    def reset(self):
        """Ends every Windows process of the prefix and forgets the launcher's settings."""
        subprocess.run(["wineserver", "-k"], env=self.env, capture_output=True)
        subprocess.run(["wineserver", "-w"], env=self.env, capture_output=True, timeout=30)
        shutil.rmtree(self.appdata / "Vantrel Launcher", ignore_errors=True)


class Launcher:
    """One launcher process under Wine, its trace lines and its window."""

    def __init__(self, wine, exe, args=(), cwd=None, extra_env=None):
        self.wine = wine
        self.exe = Path(exe)
        self.lines = []
        self.truncated = []
        self._cond = threading.Condition()
        env = dict(wine.env)
        env["WINEDEBUG"] = "-all,warn+seh,warn+debugstr"
        if extra_env:
            env.update(extra_env)
        self.log = open(self.exe.parent / f"wine-{self.exe.stem}.log", "ab")
        self.proc = subprocess.Popen(["wine", str(self.exe), *args], env=env, cwd=cwd or self.exe.parent,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for raw in self.proc.stderr:
            if not self.log.closed:
                self.log.write(raw)
            line = raw.decode("latin-1").rstrip("\n")
            m = TRACE_RE.search(line)
            if not m or "OutputDebugStringA" not in line:
                continue
            text = unescape_wine(m.group(1)).rstrip("\n")
            if not text.startswith("[vantrel] "):
                continue
            with self._cond:
                self.lines.append(text)
                self.truncated.append(bool(m.group(2)))
                self._cond.notify_all()

    # --- trace lines -------------------------------------------------------------------------
    def traces(self, kind=None):
        with self._cond:
            lines = list(self.lines)
        if kind:
            lines = [l for l in lines if l.startswith(f"[vantrel] {kind}: ")]
        return lines

    def wait_trace(self, pattern, timeout=60.0, start=0):
        """Waits for a trace line (from index `start` on) matching the regex; returns it."""
        rx = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                for line in self.lines[start:]:
                    if rx.search(line):
                        return line
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError(f"no trace line matching {pattern!r}; seen:\n" + "\n".join(self.lines))
                self._cond.wait(min(left, 0.5))

    def wait_finish(self, timeout=90.0, start=0):
        """Waits for the next finish line after index `start`: (headline, detail, ready)."""
        line = self.wait_trace(r"^\[vantrel\] finish: ", timeout, start)
        m = FINISH_RE.match(line)
        if not m:
            # Wine cuts long debug strings; keep what arrived.
            head, _, rest = line[len("[vantrel] finish: "):].partition(" | ")
            return head, rest, None
        return m.group(1), m.group(2), m.group(3) == "1"

    def count(self):
        with self._cond:
            return len(self.lines)

    # --- window --------------------------------------------------------------------------------
    def window(self, timeout=30.0):
        """The X window id of the launcher's main window."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "Launcher$"],
                                   env=self.wine.env, capture_output=True, text=True).stdout.split()
            if found:
                return found[-1]
            if self.proc.poll() is not None:
                raise RuntimeError(f"launcher ended with {self.proc.returncode} before showing its window")
            time.sleep(0.2)
        raise TimeoutError("the launcher's window did not appear")

    def geometry(self):
        out = subprocess.run(["xdotool", "getwindowgeometry", "--shell", self.window()],
                             env=self.wine.env, capture_output=True, text=True, check=True).stdout
        values = dict(line.split("=", 1) for line in out.split())
        return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])

    def caption(self):
        return subprocess.run(["xdotool", "getwindowname", self.window()], env=self.wine.env,
                              capture_output=True, text=True, check=True).stdout.rstrip("\n")

    def click(self, x, y, settle=0.4):
        """Clicks a point of the client area (the window has no frame under Xvfb)."""
        wx, wy, _, _ = self.geometry()
        subprocess.run(["xdotool", "mousemove", "--sync", str(wx + x), str(wy + y)], env=self.wine.env, check=True)
        time.sleep(0.15)
        subprocess.run(["xdotool", "click", "1"], env=self.wine.env, check=True)
        time.sleep(settle)

    def click_button(self, rect, settle=0.4):
        left, top, right, bottom = rect
        self.click((left + right) // 2, (top + bottom) // 2, settle)

    def type_text(self, text):
        subprocess.run(["xdotool", "type", "--delay", "30", text], env=self.wine.env, check=True)

    def screenshot(self, path):
        subprocess.run(["import", "-window", "root", str(path)], env=self.wine.env, check=True)
        shot = Screenshot(path)
        shot.origin = self.geometry()[:2]
        return shot

    def client_pixel(self, shot, x, y):
        return shot.pixel(shot.origin[0] + x, shot.origin[1] + y)

    # --- ending --------------------------------------------------------------------------------
    def close(self):
        """Asks the window to close (WM_CLOSE), as the title bar's close box does."""
        subprocess.run(["wine", str(win_tool("post_message")), "VantrelLauncher", "0x10"], env=self.wine.env,
                       capture_output=True, timeout=60)

    def wait_exit(self, timeout=30.0):
        return self.proc.wait(timeout=timeout)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGKILL)
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            pass

    def finish(self):
        """After every Wine process has ended: the reader drains and the log closes."""
        self._reader.join(timeout=10)
        self.log.close()


def stamp(source, address, out, keys=()):
    """A copy of the launcher with the realm's address in its slot (and public key files in theirs)."""
    key_args = [arg for key in keys for arg in ("--key", str(key))]
    subprocess.run([str(STAMP), str(source), address, *key_args, "-o", str(out)], check=True, capture_output=True)
    return Path(out)


def install_launcher(folder, address=None, name="VantrelLauncher.exe", keys=()):
    """Puts a launcher (stamped with `address` and `keys`, or unstamped) into `folder`."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    target = folder / name
    if address is None:
        shutil.copyfile(launcher_exe(), target)
    else:
        stamp(launcher_exe(), address, target, keys)
    return target


class RealmSite:
    """realm-site serving a realm folder on a free loopback port."""

    def __init__(self, root, port=None):
        self.root = Path(root)
        self.port = port or free_port()
        self.url = f"http://127.0.0.1:{self.port}"
        self.log = open(self.root.parent / f"realm-site-{self.port}.log", "wb")
        self.proc = subprocess.Popen([str(REALM_SITE), "serve", "--root", str(self.root),
                                      "--listen", f"127.0.0.1:{self.port}"],
                                     stdout=self.log, stderr=subprocess.STDOUT)
        try:
            wait_for_port(self.port)
        except TimeoutError:
            self.stop()
            raise RuntimeError((self.root.parent / f"realm-site-{self.port}.log").read_text())

    def stop(self):
        stop_process(self.proc)
        self.log.close()


def start_xvfb(numbers, screen):
    """Xvfb on the first free display among `numbers`, once it listens: (name, process)."""
    for number in numbers:
        if not Path(f"/tmp/.X11-unix/X{number}").exists() and not Path(f"/tmp/.X{number}-lock").exists():
            break
    proc = subprocess.Popen(["Xvfb", f":{number}", "-screen", "0", screen, "-nolisten", "tcp"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 15
    while not Path(f"/tmp/.X11-unix/X{number}").exists():
        if time.monotonic() > deadline or proc.poll() is not None:
            raise RuntimeError("Xvfb did not start")
        time.sleep(0.1)
    return f":{number}", proc


def stop_process(proc):
    """Terminates `proc`, killing it when it has not ended within 10 s."""
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout=10)


@pytest.fixture(scope="session")
def display(tmp_path_factory):
    """A private Xvfb display for the session (the person's own display is never used)."""
    name, proc = start_xvfb(range(90, 140), "1280x1024x24")
    yield name
    proc.terminate()
    proc.wait(timeout=10)


def pytest_configure(config):
    config.addinivalue_line("markers", "builds(*names): run only on these builds (x86_64, i686)")


def pytest_generate_tests(metafunc):
    """Every test that needs a build runs once per build, its id naming the build."""
    if "build" not in metafunc.fixturenames:
        return
    marker = metafunc.definition.get_closest_marker("builds")
    names = [n for n in BUILD_NAMES if marker is None or n in marker.args]
    metafunc.parametrize("build", names, indirect=True, scope="session", ids=names)


def pytest_collection_modifyitems(config, items):
    """VANTREL_E2E_BUILD_TESTS_ONLY=1: only the tests that run a build (a second session for
    another build leaves the servers' own tests to the first)."""
    if not os.environ.get("VANTREL_E2E_BUILD_TESTS_ONLY"):
        return
    kept = [item for item in items if "build" in getattr(item, "fixturenames", ())]
    config.hook.pytest_deselected(items=[item for item in items if item not in kept])
    items[:] = kept


def why_build_cannot_run(build):
    """None when `build` can run here, else why not (scripts/i386-root.sh tries the root's Wine
    once a boot and leaves the answer beside it)."""
    if not build.wine_bin:
        return None
    deps = Path(os.environ.get("VANTREL_DEPS", "/var/cache/vantrel-deps"))
    root = Path(os.environ.get("VANTREL_I386_ROOT", deps / "i386-root"))
    try:
        answer = (root / ".vantrel-wine32").read_text().splitlines()[1]
    except (OSError, IndexError):
        return f"the 32-bit root {root} is not ready: run scripts/setup.sh"
    return None if answer == "runs" else answer


@pytest.fixture(scope="session")
def build(request):
    """The Windows build under test (parametrized by pytest_generate_tests)."""
    chosen = BUILDS[request.param]
    why = why_build_cannot_run(chosen)
    if why:
        pytest.skip(f"the {chosen.name} build can't run here: {why}")
    if not chosen.launcher.exists():
        pytest.fail(f"{chosen.launcher} is missing: build the {chosen.folder.name} tree first (scripts/test.sh does)")
    return chosen


@pytest.fixture(autouse=True)
def _build_in_use(request):
    """install_launcher, win_tool and launcher_exe follow the build of the running test."""
    if "build" in request.fixturenames:
        use_build(request.getfixturevalue("build"))
    yield


@pytest.fixture(scope="session")
def wine(tmp_path_factory, display, build):
    """One Wine prefix per build for the session, made without Mono or Gecko (there is no network)."""
    given = os.environ.get("VANTREL_E2E_PREFIX")
    prefix = Path(f"{given}-{build.name}") if given else tmp_path_factory.mktemp(f"wineprefix-{build.name}")
    env = wine_env(build, prefix, display)
    made = subprocess.run(["wineboot", "-i"], env=env, capture_output=True, timeout=600)
    if made.returncode != 0 or not (prefix / "system.reg").exists():
        pytest.fail(f"wineboot made no prefix for {build.name} in {prefix}: {made.stderr.decode(errors='replace')[-2000:]}")
    subprocess.run(["wineserver", "-w"], env=env, capture_output=True, timeout=300)
    w = Wine(prefix, display, build)
    yield w
    subprocess.run(["wineserver", "-k"], env=w.env, capture_output=True)


@pytest.fixture
def launch(wine, tmp_path):
    """launch(exe, args=(), cwd=None, extra_env=None) -> Launcher; every one is ended afterwards."""
    wine.reset()
    started = []

    def start(exe, args=(), cwd=None, extra_env=None):
        launcher = Launcher(wine, exe, args, cwd, extra_env)
        started.append(launcher)
        return launcher

    yield start
    for launcher in started:
        if launcher.proc.poll() is None:
            launcher.kill()
    wine.reset()
    for launcher in started:
        launcher.finish()


@pytest.fixture
def realm_site():
    """realm_site(root) -> RealmSite; every one is stopped afterwards."""
    sites = []

    def start(root, port=None):
        site = RealmSite(root, port)
        sites.append(site)
        return site

    yield start
    for site in sites:
        site.stop()
