"""The fault server misbehaves exactly as told; the sync tests rely on it."""

import http.client
import json
import time
import urllib.request

import pytest

from fault_server import FaultServer, sha256_text


@pytest.fixture
def server():
    s = FaultServer(files={"Game.exe": b"game bytes", "Data/x.dll": b"dll"}, realm={"address": "play.test"})
    yield s
    s.stop()


def get(server, path, method="GET", body=None, headers=None):
    conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=10)
    conn.request(method, path, body=body, headers=headers or {})
    answer = conn.getresponse()
    try:
        data = answer.read()
    except http.client.IncompleteRead as cut:
        data = cut.partial
    conn.close()
    return answer.status, answer.getheader("Content-Length"), data


def test_serves_a_consistent_realm_and_records_requests(server):
    status, _, body = get(server, "/api/launcher/manifest")
    manifest = json.loads(body)
    assert status == 200
    assert [f["path"] for f in manifest["files"]] == ["Data/x.dll", "Game.exe"]
    assert manifest["files"][1]["sha256"] == sha256_text(b"game bytes")
    assert get(server, "/api/launcher/file/Game.exe")[2] == b"game bytes"
    assert get(server, "/api/launcher/file/missing")[0] == 404
    get(server, "/api/launcher/logs", "POST", b"PK" + b"\0" * 98, {"X-Account": "a"})
    upload = server.requests_for("/api/launcher/logs", "POST")
    assert upload[0]["body_length"] == 100 and upload[0]["headers"]["X-Account"] == "a"


def test_faults_change_the_answer_as_planned(server):
    server.plan("/api/launcher/file/Game.exe", extra=5, times=1)
    status, length, body = get(server, "/api/launcher/file/Game.exe")
    assert (status, length, body) == (200, "15", b"game bytes" + b"\xa5" * 5)
    assert get(server, "/api/launcher/file/Game.exe")[2] == b"game bytes"  # only once

    server.plan("/api/launcher/file/Game.exe", short=4)
    status, length, body = get(server, "/api/launcher/file/Game.exe")
    assert (length, body) == ("10", b"game")

    server.plan("/api/launcher/file/Game.exe", serve_as="Data/x.dll")
    assert get(server, "/api/launcher/file/Game.exe")[2] == b"dll"

    server.plan("/api/launcher/manifest", status=500)
    assert get(server, "/api/launcher/manifest")[0] == 500
    server.plan("/api/launcher/manifest", body='{"address": "a", "address": "b"}')
    assert get(server, "/api/launcher/manifest")[2] == b'{"address": "a", "address": "b"}'
    server.plan("/api/launcher/manifest", body_size=4 * 1024 * 1024 + 1)
    assert len(get(server, "/api/launcher/manifest")[2]) == 4 * 1024 * 1024 + 1

    server.plan("/api/launcher/file/Data/x.dll", reset_after=1)
    with pytest.raises((ConnectionError, http.client.HTTPException)):
        conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=10)
        conn.request("GET", "/api/launcher/file/Data/x.dll")
        conn.getresponse().read()
        conn.request("GET", "/api/launcher/file/Data/x.dll")  # the reset shows by now at the latest
        conn.getresponse().read()


def test_answers_a_range_unless_told_otherwise(server):
    def ranged(value):
        conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=10)
        conn.request("GET", "/api/launcher/file/Game.exe", headers={"Range": value})
        answer = conn.getresponse()
        result = (answer.status, answer.getheader("Content-Range"), answer.read())
        conn.close()
        return result

    assert ranged("bytes=5-") == (206, "bytes 5-9/10", b"bytes")
    assert ranged("bytes=0-3") == (206, "bytes 0-3/10", b"game")
    assert ranged("bytes=10-")[:2] == (416, "bytes */10")
    server.plan("/api/launcher/file/Game.exe", ignore_range=True, times=1)
    assert ranged("bytes=5-") == (200, None, b"game bytes")
    server.plan("/api/launcher/file/Game.exe", content_range="bytes 4-9/10", times=1)
    assert ranged("bytes=5-") == (206, "bytes 4-9/10", b"bytes")
    assert [r["sent"] for r in server.requests_for("/api/launcher/file/Game.exe")] == [5, 4, 0, 10, 5]


def test_control_api_plans_and_reports(server):
    request = urllib.request.Request(server.url + "/_fault/plan", method="POST",
                                     data=json.dumps({"/launcher/download": {"status": 503}}).encode())
    urllib.request.urlopen(request).read()
    assert get(server, "/launcher/download")[0] == 503
    record = json.loads(urllib.request.urlopen(server.url + "/_fault/requests").read())
    assert [r["path"] for r in record] == ["/launcher/download"]


def test_a_throttled_server_holds_each_body_to_its_rate():
    data = bytes(range(256)) * 2048  # 512 KiB: a quarter of a second at 2 MiB/s
    server = FaultServer(files={"Data/x.dll": data}, rate=2 * 1048576)
    try:
        started = time.monotonic()
        assert get(server, "/api/launcher/file/Data/x.dll")[2] == data
        assert time.monotonic() - started >= 0.2
    finally:
        server.stop()
