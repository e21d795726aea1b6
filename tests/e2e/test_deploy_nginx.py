"""The deployment for a big realm, end to end: nginx with the repository's own configuration
(deploy/nginx/realm-site.conf, only its placeholders filled) serves a signed exported tree and
passes log reports to realm-site on loopback; the real launcher under Wine, stamped with the
realm's key, syncs and sends its logs through it."""

import subprocess
import time
from pathlib import Path

from conftest import REALM_SITE, REPO, free_port, install_launcher, wait_for_port
from logs_support import put, stored_reports
from sync_support import GAME_EXE, end, export_realm, make_game_folder, make_realm, pattern_bytes, tree, write_settings
from test_logs import gather, send

CONFIG = REPO / "deploy" / "nginx" / "realm-site.conf"
REALM_FILES = {GAME_EXE: b"MZ stand-in game program", "Data/My Mod/patch.mpq": pattern_bytes(700000, "deploy")}


class DeployedNginx:
    """nginx running the deployed server block, wrapped in the few lines any nginx.conf has."""

    def __init__(self, static, realm_site_address, work):
        self.work = Path(work)
        self.work.mkdir(parents=True, exist_ok=True)
        self.port = free_port()
        self.url = f"http://127.0.0.1:{self.port}"
        site = CONFIG.read_text().replace("@LISTEN@", f"127.0.0.1:{self.port}").replace(
            "@STATIC@", str(static)).replace("@REALM_SITE@", realm_site_address)
        assert "@" not in "".join(line.split("#")[0] for line in site.splitlines())
        (self.work / "realm-site.conf").write_text(site)
        w = self.work
        (w / "nginx.conf").write_text(f"""
daemon off;
worker_processes 1;
user root;
pid {w}/nginx.pid;
error_log {w}/error.log;
events {{ worker_connections 256; }}
http {{
  log_format realm '$request_method $uri $status upstream=$upstream_addr';
  access_log {w}/access.log realm;
  client_body_temp_path {w}/body;
  proxy_temp_path {w}/proxy;
  fastcgi_temp_path {w}/fastcgi;
  uwsgi_temp_path {w}/uwsgi;
  scgi_temp_path {w}/scgi;
  include {w}/realm-site.conf;
}}
""")
        self.proc = subprocess.Popen(["nginx", "-c", str(w / "nginx.conf"), "-p", str(w)],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        try:
            wait_for_port(self.port, timeout=15)
        except TimeoutError:
            self.stop()
            raise RuntimeError("nginx did not start: " + (w / "error.log").read_text(errors="replace"))

    def log(self):
        path = self.work / "access.log"
        return path.read_text().splitlines() if path.exists() else []

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(timeout=10)


def test_the_launcher_syncs_and_sends_logs_through_the_deployed_nginx(tmp_path, wine, launch):
    realm = make_realm(tmp_path / "realm", REALM_FILES)
    keys = tmp_path / "keys"
    subprocess.run([str(REALM_SITE), "keygen", "--out", str(keys)], check=True, capture_output=True)
    static = export_realm(realm, tmp_path / "static", "--sign-key", keys / "realm.key")
    site_port = free_port()
    with open(tmp_path / "realm-site.log", "wb") as site_log:
        site = subprocess.Popen([str(REALM_SITE), "serve", "--root", str(realm), "--listen",
                                 f"127.0.0.1:{site_port}", "--trust-proxy"], stdout=site_log, stderr=subprocess.STDOUT)
    wait_for_port(site_port)
    nginx = DeployedNginx(static, f"127.0.0.1:{site_port}", tmp_path / "nginx")
    try:
        game = make_game_folder(tmp_path / "game", {GAME_EXE: REALM_FILES[GAME_EXE]})
        put(game / "D2120304.txt", b"a game log\n", time.time() - 60)
        write_settings(wine, game)
        exe = install_launcher(tmp_path / "app", nginx.url, keys=(keys / "realm.pub",))
        launcher = launch(exe)
        launcher.window()
        assert launcher.wait_finish(timeout=120) == ("Updated", "1 file from the realm, 683 KB.", True)
        assert tree(game)["Data/My Mod/patch.mpq"] == REALM_FILES["Data/My Mod/patch.mpq"]
        gather(launcher)
        assert send(launcher) == ("Sent", "", True)
        end(launcher)
    finally:
        nginx.stop()
        site.terminate()
        site.wait(timeout=10)

    (_, contents), = stored_reports(realm)
    assert contents["game/D2120304.txt"] == b"a game log\n"
    lines = nginx.log()
    # Game files came from the static tree, the report went through to realm-site.
    assert "GET /api/launcher/manifest 200 upstream=-" in lines
    assert "GET /api/launcher/manifest.minisig 200 upstream=-" in lines
    assert "GET /api/launcher/file/Data/My Mod/patch.mpq 200 upstream=-" in lines
    assert f"POST /api/launcher/logs 200 upstream=127.0.0.1:{site_port}" in lines
