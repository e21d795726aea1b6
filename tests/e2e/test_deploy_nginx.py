"""The deployment for a big realm, end to end: nginx with the repository's own configuration
(deploy/nginx/realm-site.conf, only its placeholders filled) serves a signed exported tree and
passes log reports to realm-site on loopback; the real launcher under Wine, stamped with the
realm's key, syncs and sends its logs through it."""

import subprocess
import time
from pathlib import Path

from conftest import REALM_SITE, REPO, free_port, install_launcher, wait_for_port
from logs_support import put, stored_reports
from sync_support import (GAME_EXE, Nginx, end, export_realm, make_game_folder, make_realm, pattern_bytes, tree,
                          write_settings)
from test_logs import gather, send

CONFIG = REPO / "deploy" / "nginx" / "realm-site.conf"
REALM_FILES = {GAME_EXE: b"MZ stand-in game program", "Data/My Mod/patch.mpq": pattern_bytes(700000, "deploy")}


def deployed_nginx(static, realm_site_address, work):
    """nginx running the deployed server block, wrapped in the few lines any nginx.conf has."""
    def servers(port):
        site = CONFIG.read_text().replace("@LISTEN@", f"127.0.0.1:{port}").replace(
            "@STATIC@", str(static)).replace("@REALM_SITE@", realm_site_address)
        assert "@" not in "".join(line.split("#")[0] for line in site.splitlines())
        return site
    return Nginx(static, work, servers, log_format="$request_method $uri $status upstream=$upstream_addr")


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
    nginx = deployed_nginx(static, f"127.0.0.1:{site_port}", tmp_path / "nginx")
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
