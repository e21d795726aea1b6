"""Killed at any moment: the real x86_64 launcher under Wine updates a game folder from a throttled
site (the player's own files to keep, many small files, a few large ones, a new launcher build)
and is killed with SIGKILL, as the task manager or a crash ends it, at random moments of the
self-update, the backup of the player's files, the downloads, the replacing and the saving of
the ledgers. After every kill: each game file is its old copy or the realm's, each of the
player's files exists whole in the game folder or in realm-backup (and realm-backup holds
nothing half made), the settings file and the ledgers read back and have lost nothing, and the
launcher is its old build or the new one. A start that finishes leaves nothing temporary in the
game folder; the last says "Updated", the one after "Up to date". A kill during a large
download costs the next start at most the missing bytes and 15%.

The moments come from a seeded generator; the seed is printed, and VANTREL_KILL_SEED replays it."""

import hashlib
import os
import random
import re
import shutil
import signal
import time
from collections import Counter

from conftest import install_launcher, to_windows_path
from fault_server import FILE_PREFIX, FaultServer
from sync_support import GAME_EXE, make_game_folder, new_build, pattern_bytes, write_settings

MIB = 1048576
RATE = 16 * MIB
SEED_VARIABLE = "VANTREL_KILL_SEED"
GAME = b"MZ stand-in game program"
MINE = "Data/0-Mine.mpq"  # the player's own and large: its copy into realm-backup takes a while
BIG = ("Data/z1-Big.mpq", "Data/z2-Big.mpq")  # fetched last; the first over a copy the launcher wrote
SMALL = tuple(f"Data/small/{i:02}.txt" for i in range(48))
SAVE = "Save/Hero.d2s"  # the player's, not the realm's

REALM = {GAME_EXE: GAME, MINE: pattern_bytes(4 * MIB, "mine, the realm's"),
         BIG[0]: pattern_bytes(24 * MIB, "big 1"), BIG[1]: pattern_bytes(24 * MIB, "big 2"),
         **{path: pattern_bytes(1024 + 331 * i, path) for i, path in enumerate(SMALL)}}
# Every third small file is the player's, every third an older copy the launcher wrote, the
# rest missing.
PLAYERS = {MINE, *SMALL[0::3]}
WRITTEN = {GAME_EXE, BIG[0], *SMALL[1::3]}
OLD = {GAME_EXE: GAME, MINE: pattern_bytes(96 * MIB, "mine, the player's"), SAVE: b"the player's hero",
       BIG[0]: pattern_bytes(24 * MIB, "big 1, older"),
       **{path: b"the player's own " + path.encode() for path in SMALL[0::3]},
       **{path: b"an older copy of " + path.encode() for path in SMALL[1::3]}}
OLD_HASH = {path: hashlib.sha256(data).hexdigest() for path, data in OLD.items()}
NEW_HASH = {path: hashlib.sha256(data).hexdigest() for path, data in REALM.items()}

# Kills per step, in the order the steps come in a run; the first round ends on the ledgers, the
# second on a download, so that its next start still has work and says "Updated".
ROUNDS = ((("self-update", 3), ("backup", 3), ("replace", 3), ("download", 2), ("ledger", 3)),
          (("self-update", 2), ("backup", 2), ("replace", 2), ("download", 2)))
LEDGER_LINE = re.compile(r"[0-9a-f]{64}\t(\d+)\t(\d+)\t(.+)")
TEMPORARY = re.compile(r"\.(part|tmp)$")
# FILETIME of the Unix epoch, in 100 ns units.
EPOCH_FILETIME = 116444736000000000


def downloading(name):
    return rf"^\[vantrel\] status: Downloading \d+ of \d+ \| {name}$"


def size_of(path):
    try:
        return path.stat().st_size
    except OSError:
        return -1


def largest(folder, prefix):
    """Size of the largest file in `folder` whose name starts with `prefix` (-1 for none)."""
    try:
        return max((e.stat().st_size for e in os.scandir(folder) if e.name.startswith(prefix)), default=-1)
    except OSError:
        return -1


def poll(predicate, launcher, timeout=90.0):
    """Waits, a millisecond at a time, for `predicate`; False when the run finished first."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline or launcher.traces("finish"):
            return False
        time.sleep(0.001)
    return True


class Round:
    """A game folder, its settings and ledgers, and a launcher, taken from the old files to the
    realm's by starts that are killed."""

    def __init__(self, root, wine, launch, server):
        wine.reset()
        self.wine, self.launch, self.server, self.build = wine, launch, server, server.launcher
        self.game = make_game_folder(root / "game", OLD)
        self.exe = install_launcher(root / "app", server.url)
        self.old_build = self.exe.read_bytes()
        self.settings = write_settings(wine, self.game)
        self.settings_text = (self.settings / "settings.txt").read_bytes()
        self.hashes = {}
        ledger = "".join(f"{OLD_HASH[p]}\t{len(OLD[p])}\t{self.filetime(self.game / p)}\t{self.win(p)}\n"
                         for p in sorted(WRITTEN))
        (self.settings / "files.txt").write_text(ledger)
        (self.settings / "written.txt").write_text("".join(self.win(p) + "\r\n" for p in sorted(WRITTEN)))
        self.hashed, self.written = self.read_ledgers()
        self.launcher = self.downloading = None

    def win(self, path):
        return to_windows_path(self.game / path)

    def local(self, win_path):
        return self.game / win_path[len(self.win("")) + 1:].replace("\\", "/")

    @staticmethod
    def filetime(path):
        return path.stat().st_mtime_ns // 100 + EPOCH_FILETIME

    def hash(self, path):
        """SHA-256 of a file (None when absent), cached by size, time and inode."""
        try:
            facts = path.stat()
        except OSError:
            return None
        key = (str(path), facts.st_size, facts.st_mtime_ns, facts.st_ino)
        if key not in self.hashes:
            digest = hashlib.sha256()
            with open(path, "rb") as f:
                while chunk := f.read(MIB):
                    digest.update(chunk)
            self.hashes[key] = digest.hexdigest()
        return self.hashes[key]

    # --- starting and killing ----------------------------------------------------------------
    def start(self):
        self.launcher = self.launch(self.exe)
        return self.launcher

    def pids(self):
        """Every process of this launcher: the running build and one it may just have started."""
        names = (str(self.exe).encode(), to_windows_path(self.exe).encode())
        found = []
        for entry in os.scandir("/proc"):
            if entry.name.isdigit():
                try:
                    line = open(f"/proc/{entry.name}/cmdline", "rb").read()
                except OSError:
                    continue
                if any(name in line for name in names):
                    found.append(int(entry.name))
        return found

    def kill(self):
        if self.launcher.proc.poll() is None:
            self.launcher.proc.send_signal(signal.SIGKILL)  # at once; the search below takes a few ms
        quiet = 0
        while quiet < 5:  # a build the killed one had just started shows up a moment later
            pids = self.pids()
            for pid in pids:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            quiet = 0 if pids else quiet + 1
            time.sleep(0.005)
        self.launcher.proc.wait(timeout=30)

    def reachable(self, step):
        """Whether a start would still come to `step`."""
        if step == "self-update":
            return self.hash(self.exe) != hashlib.sha256(self.build).hexdigest()
        if step == "backup":
            return self.hash(self.game / "realm-backup" / MINE) != OLD_HASH[MINE]
        if step == "replace":
            return self.small_left() > 0
        if step == "download":
            return any(self.hash(self.game / p) != NEW_HASH[p] for p in BIG)
        return True  # every run that checks the files ends by saving the ledgers

    def kill_during(self, step, rng, share=None):
        """Starts the launcher, waits for a random moment of `step`, kills it. False when the
        run finished before that moment came."""
        launcher = self.start()
        if step == "self-update":
            launcher.wait_trace(r"^\[vantrel\] status: Updating the launcher \| $", timeout=90)
            # Short of the swap itself: between its two renames no build has the launcher's name,
            # a window of microseconds that this test doesn't aim at.
            share = share or rng.uniform(0.05, 0.95)
            new = self.exe.with_name(self.exe.name + ".new")
            hit = poll(lambda: size_of(new) >= share * len(self.build), launcher)
        elif step == "backup":
            launcher.wait_trace(downloading(re.escape(MINE.split("/")[-1])), timeout=90)
            share = rng.uniform(0.02, 0.9)
            hit = poll(lambda: largest(self.game / "realm-backup" / "Data", "0-Mine.mpq") >= share * len(OLD[MINE])
                       or largest(self.game / "Data", "0-Mine.mpq.") >= 0, launcher)
        elif step == "replace":
            count = rng.randint(1, min(8, self.small_left()))
            small = re.compile(downloading(r"\d\d\.txt"))
            hit = poll(lambda: sum(1 for line in launcher.traces("status") if small.search(line)) >= count, launcher)
            time.sleep(rng.uniform(0, 0.04))
        elif step == "download":
            line = launcher.wait_trace(downloading(r"z\d-Big\.mpq"), timeout=120)
            path = "Data/" + line.rsplit("| ", 1)[1]
            share = share or rng.uniform(0.05, 0.95)
            hit = poll(lambda: largest(self.game / "Data", path.split("/")[-1] + ".") >= share * len(REALM[path]),
                       launcher)
            self.downloading = path
        else:
            names = ("files.txt", "written.txt")
            before = {e.name: (e.stat().st_size, e.stat().st_mtime_ns, e.inode())
                      for e in os.scandir(self.settings) if e.name.startswith(names)}
            changes = rng.randint(1, 2)

            def changed():
                now = {e.name: (e.stat().st_size, e.stat().st_mtime_ns, e.inode())
                       for e in os.scandir(self.settings) if e.name.startswith(names)}
                return sum(now.get(n) != before.get(n) for n in set(now) | set(before)) >= changes

            hit = poll(changed, launcher, timeout=120)
        self.kill()
        return hit

    # --- what must hold ------------------------------------------------------------------------
    def read_ledgers(self):
        """The paths of both ledgers; every line must be whole and well formed."""
        problems = []
        hashed = set()
        text = (self.settings / "files.txt").read_bytes().decode()
        if text and not text.endswith("\n"):
            problems.append("files.txt ends in half a line")
        for line in text.splitlines():
            m = LEDGER_LINE.fullmatch(line)
            if not m:
                problems.append(f"files.txt holds {line!r}")
                continue
            hashed.add(m.group(3))
            local = self.local(m.group(3))
            # A record that matches the file's size and time must name its hash, or the next
            # start would take a different file for current.
            if local.exists() and (int(m.group(1)), int(m.group(2))) == (size_of(local), self.filetime(local)):
                if self.hash(local) != line[:64]:
                    problems.append(f"files.txt gives {m.group(3)} a hash it doesn't have")
        text = (self.settings / "written.txt").read_bytes().decode()
        if text and not text.endswith("\r\n"):
            problems.append("written.txt ends in half a line")
        written = set(text.split("\r\n")[:-1])
        problems += [f"written.txt holds {p!r}" for p in written if not p.startswith(self.win(""))]
        assert not problems, problems
        return hashed, written

    def check(self, finished, when):
        """Everything that must hold after a kill (or, with `finished`, after a start that finished)."""
        problems = []
        for path in REALM:
            if self.hash(self.game / path) not in (NEW_HASH[path], OLD_HASH.get(path)):
                problems.append(f"{path} is neither its old copy nor the realm's")
        for path in PLAYERS:
            backup = self.hash(self.game / "realm-backup" / path)
            if backup not in (None, OLD_HASH[path]):
                problems.append(f"realm-backup/{path} is not the player's file: "
                                f"{size_of(self.game / 'realm-backup' / path)} of {len(OLD[path])} bytes")
            if OLD_HASH[path] not in (self.hash(self.game / path), backup):
                problems.append(f"the player's {path} exists whole nowhere")
        if self.hash(self.game / SAVE) != OLD_HASH[SAVE]:
            problems.append(f"{SAVE} changed")
        known = {*REALM, SAVE, *("realm-backup/" + p for p in PLAYERS)}
        for p in sorted(self.game.rglob("*")):
            relative = p.relative_to(self.game).as_posix()
            if p.is_file() and relative not in known and (finished or not TEMPORARY.search(relative)):
                problems.append(f"{relative} is left in the game folder")
        if (self.settings / "settings.txt").read_bytes() != self.settings_text:
            problems.append("settings.txt changed")
        hashed, written = self.read_ledgers()
        for name, before, now in (("files.txt", self.hashed, hashed), ("written.txt", self.written, written)):
            if not now >= before:
                lost = sorted(self.local(p).relative_to(self.game).as_posix() for p in before - now)
                problems.append(f"{name} lost {len(lost)} of its {len(before)} files, such as {lost[0]}")
        self.hashed, self.written = hashed, written
        builds = (self.old_build, self.build)
        exe = self.exe.read_bytes() if self.exe.exists() else None
        if exe not in builds:
            problems.append("the launcher is " + ("gone" if exe is None else f"{len(exe)} bytes of neither build"))
        old = self.exe.with_name(self.exe.name + ".old")
        if old.exists() and old.read_bytes() != self.old_build:
            problems.append("VantrelLauncher.exe.old is not the previous build")
        assert not problems, f"{when}: {problems}"

    def small_left(self):
        return sum(self.hash(self.game / p) != NEW_HASH[p] for p in SMALL)

    def unfinished(self):
        return any(self.hash(self.game / p) != NEW_HASH[p] for p in REALM)

    def run_to_the_end(self):
        launcher = self.start()
        finish = launcher.wait_finish(timeout=180)
        self.kill()
        return finish


def test_killed_at_random_moments_loses_nothing(tmp_path, wine, launch):
    seed = int(os.environ.get(SEED_VARIABLE) or random.SystemRandom().randrange(1 << 32))
    print(f"kill test: seed {seed} (replay with {SEED_VARIABLE}={seed})")
    rng = random.Random(seed)
    server = FaultServer(files=REALM, realm={"address": "play.test", "start": {"exe": GAME_EXE, "args": ""}},
                         rate=RATE)
    server.launcher = new_build(tmp_path, server.url)
    kills, missed = Counter(), Counter()
    started = time.monotonic()
    try:
        for number, plan in enumerate(ROUNDS):
            scene = Round(tmp_path / f"round{number}", wine, launch, server)
            last = number == len(ROUNDS) - 1
            for step, count in plan:
                for i in range(count):
                    if not scene.reachable(step):
                        break
                    # The last kill of all falls well inside a large download, to measure what it costs.
                    measure = last and step == "download" and i == count - 1
                    hit = scene.kill_during(step, rng, share=rng.uniform(0.4, 0.8) if measure else None)
                    (kills if hit else missed)[step] += 1
                    scene.check(False, f"seed {seed}, round {number}, after kill {sum(kills.values())} ({step})")
            if last:
                path = scene.downloading
                kept = max(largest(scene.game / "Data", path.split("/")[-1] + "."),
                           largest(scene.settings / "partial", NEW_HASH[path]), 0)
                asked_before = len(server.requests_for(FILE_PREFIX + path))
            expected = "Updated" if scene.unfinished() else "Up to date"
            finish = scene.run_to_the_end()
            assert finish[0] == expected, f"seed {seed}, round {number}: {finish}"
            scene.check(True, f"seed {seed}, round {number}, the start after the kills")
            assert scene.run_to_the_end() == ("Up to date", f"{len(REALM)} files checked against the realm.", True)
            scene.check(True, f"seed {seed}, round {number}, the start after that")
            assert sorted(p.name for p in scene.exe.parent.iterdir() if not p.name.endswith(".log")) == [scene.exe.name]
            assert scene.exe.read_bytes() == server.launcher
            shutil.rmtree(tmp_path / f"round{number}")  # a quarter of a GiB each; kept when something failed
    finally:
        server.stop()
    fetched = sum(r["sent"] for r in server.requests_for(FILE_PREFIX + path)[asked_before:])
    missing = len(REALM[path]) - kept
    print(f"kill test: seed {seed}, {sum(kills.values())} kills {dict(kills)}, missed {dict(missed)}, "
          f"{time.monotonic() - started:.0f} s; after the last, {path} had {kept} of {len(REALM[path])} bytes "
          f"and the next start fetched {fetched}")
    assert fetched <= missing * 1.15, f"seed {seed}: {fetched} bytes fetched again for {missing} missing"
    assert sum(kills.values()) >= 20 and all(kills[step] >= 2 for step, _ in ROUNDS[0]), (seed, kills, missed)
