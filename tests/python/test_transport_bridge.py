"""The Python HTTP bridge (Ploader::requests_post / requests_get), reached
through the test-only module pl_bridge_probe."""
import contextlib
import datetime
import http.server
import importlib.util
import ipaddress
import json
import socket
import ssl
import textwrap
import threading
import time

import pytest
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec

from harness import STANDINS

PRELUDE = """
import sys
sys.path.insert(0, {modules!r})
import pl_bridge_probe as probe
"""

PAGES = {
    "/ok": (200, b"catalog text"),
    "/missing": (404, b"not here"),
    "/nul": (200, b"ab\x00cd"),
    "/empty": (200, b""),
}


class _Handler(http.server.BaseHTTPRequestHandler):
    def _answer(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        self.server.seen.append({"line": self.requestline, "headers": dict(self.headers),
                                 "body": body.decode()})
        status, page, *location = PAGES.get(self.path.split("?")[0], (500, b"?"))
        self.send_response(status)
        for target in location:
            self.send_header("Location", target)
        self.send_header("Content-Length", str(len(page)))
        self.end_headers()
        self.wfile.write(page)

    do_GET = do_POST = _answer

    def log_message(self, *args):
        pass


@contextlib.contextmanager
def _serving(tls=None):
    """A loopback HTTP server recording what it sees; HTTPS with tls=(cert, key)."""
    srv = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _Handler)
    if tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(*tls)
        srv.socket = context.wrap_socket(srv.socket, server_side=True)
    srv.seen = []
    srv.base = f"{'https' if tls else 'http'}://127.0.0.1:{srv.server_address[1]}"
    thread = threading.Thread(target=srv.serve_forever, daemon=True)
    thread.start()
    try:
        yield srv
    finally:
        srv.shutdown()
        srv.server_close()


@pytest.fixture
def server():
    with _serving() as srv:
        yield srv


@pytest.fixture
def probe_run(run, build_dir):
    modules = str(build_dir / "test_modules")

    def go(code, **kw):
        r = run(PRELUDE.format(modules=modules) + textwrap.dedent(code), **kw)
        assert r.returncode == 0, r.stderr
        return r
    return go


def test_requests_through_the_panel_module(probe_run, server):
    r = probe_run(f"""
        base = {server.base!r}
        form = {{"uid": "7", "environment_info": "{{}}"}}
        auth = {{"Authorization": "zq token"}}
        got = [probe.requests_post(base + path, form, 10, auth, False)
               for path in ("/ok", "/missing", "/nul", "/empty")]
        got.append(probe.requests_get(base + "/ok?x=1", 5, {{"X-A": "1"}}))
        got.append(probe.requests_get(base + "/missing", 5, {{}}))
        emit([g.decode("latin-1") for g in got])
    """)
    assert r.value == ["catalog text", "", "ab", "", "catalog text", ""]
    first, get = server.seen[0], server.seen[4]
    assert first["line"] == "POST /ok HTTP/1.1"
    assert first["body"] == "uid=7&environment_info=%7B%7D"
    assert first["headers"]["Authorization"] == "zq token"
    assert get["line"] == "GET /ok?x=1 HTTP/1.1"
    assert get["headers"]["X-A"] == "1"
    assert r.stderr == ""


RECORDING_STUB = """
calls = []

class Response:
    def __init__(self, status_code, content):
        self.status_code = status_code
        self.content = content

answer = Response(200, b"body")

def post(*args):
    calls.append(args)
    return answer

def get(*args):
    calls.append(args)
    return answer
"""


def test_arguments_are_passed_positionally_and_nothing_leaks(probe_run):
    r = probe_run("""
        import http_requests as h
        data, headers, extra = {"uid": "1"}, {"Authorization": "zq t"}, object()
        body = probe.requests_post("http://x/api", data, 7, headers, extra)
        args = h.calls.pop()
        same = [args[1] is data, args[3] is headers, args[4] is extra]
        h.answer.content = 12345  # not bytes: its str() form
        got = probe.requests_get("http://x/g", 3, headers)
        get_calls = [[a if isinstance(a, (str, int)) else a is headers for a in c] for c in h.calls]
        h.calls.clear()
        counts = lambda: [sys.getrefcount(o) for o in (h.answer, h.answer.content, data, headers)]
        before = counts()
        for _ in range(1000):
            probe.requests_post("http://x/api", data, 7, headers, extra)
            probe.requests_get("http://x/g", 3, headers)
        h.calls.clear()
        leak = [before, counts()]
        # A text over the bound, by its characters or only by its UTF-8 bytes.
        over = []
        for text in ("x" * (33 << 20), "\u00e9" * (17 << 20)):
            h.answer.content = text
            over.append(probe.requests_get("http://x/big", 3, headers).decode())
        emit({"post": [args[0], list(args[2]), same, body.decode()],
              "get": [get_calls, got.decode()], "leak": leak, "over": over})
    """, stubs={"http_requests": RECORDING_STUB})
    v = r.value
    assert v["post"] == ["http://x/api", [6, 7], [True, True, True], "body"]
    assert v["get"] == [[["http://x/g", 3, True]], "12345"]
    before, after = v["leak"]
    assert before == after
    assert v["over"] == ["", ""]
    assert r.stderr.count("the answer from http://x/big is larger than 33554432 bytes; "
                          "refused") == 2, r.stderr


@pytest.mark.parametrize("stub, message, traceback", [
    ("def post(*a):\n    raise ValueError('boom in post')\n"
     "def get(*a):\n    raise ValueError('boom in get')\n", "ValueError: boom in", True),
    # The interpreter's own printer would end the process for SystemExit.
    ("def post(*a):\n    raise SystemExit(3)\ndef get(*a):\n    raise SystemExit(3)\n",
     "SystemExit: 3", True),
    ("class R:\n    status_code = '200'\n    content = b'x'\n"
     "def post(*a):\n    return R()\ndef get(*a):\n    return R()\n", "TypeError", False),
    (None, "ModuleNotFoundError: No module named 'http_requests'", False),
], ids=["raises", "system-exit", "bad-status", "no-module"])
def test_failures_are_printed_and_never_reach_the_caller(probe_run, stub, message, traceback):
    stubs = {"http_requests": stub} if stub else {}
    r = probe_run("""
        results = [probe.requests_post("http://x/api", {}, 5, {}, False),
                   probe.requests_get("http://x/api", 5, {})]
        emit([results[0].decode(), results[1].decode(), sys.exc_info()[0] is None])
    """, stubs=stubs, omit=("http_requests",))
    assert r.value == ["", "", True]
    assert r.stderr.count(message) == 2, r.stderr
    if traceback:
        assert r.stderr.count("Traceback (most recent call last)") == 2, r.stderr


def test_refused_connection_gives_empty_text(probe_run, server):
    port = server.server_address[1]
    server.shutdown()
    server.server_close()
    r = probe_run(f"""
        emit(probe.requests_post("http://127.0.0.1:{port}/ok", {{}}, 5, {{}}, False).decode())
    """)
    assert r.value == ""
    assert "Traceback" in r.stderr and "Connection refused" in r.stderr


# ---- TLS, redirects and slow servers ----

def _self_signed(tmp_path, host):
    """A certificate for host (an address or a name) signed by its own key:
    (cert file, key file)."""
    key = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(x509.oid.NameOID.COMMON_NAME, host)])
    try:
        alt_name = x509.IPAddress(ipaddress.ip_address(host))
    except ValueError:
        alt_name = x509.DNSName(host)
    now = datetime.datetime.now(datetime.timezone.utc)
    cert = (x509.CertificateBuilder().subject_name(name).issuer_name(name)
            .public_key(key.public_key()).serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(minutes=5))
            .not_valid_after(now + datetime.timedelta(days=1))
            .add_extension(x509.SubjectAlternativeName([alt_name]), critical=False)
            .sign(key, hashes.SHA256()))
    cert_file, key_file = tmp_path / "cert.pem", tmp_path / "key.pem"
    cert_file.write_bytes(cert.public_bytes(serialization.Encoding.PEM))
    key_file.write_bytes(key.private_bytes(serialization.Encoding.PEM,
                                           serialization.PrivateFormat.PKCS8,
                                           serialization.NoEncryption()))
    return cert_file, key_file


@pytest.fixture(params=["127.0.0.1", "other.example"])
def tls_server(tmp_path, request):
    """An HTTPS server on 127.0.0.1 whose certificate names that address, or
    another host."""
    tls = _self_signed(tmp_path, request.param)
    with _serving(tls) as srv:
        srv.cert_file = tls[0]
        srv.right_name = request.param == "127.0.0.1"
        yield srv


def test_verification_refuses_a_self_signed_server(probe_run, tls_server):
    """On, every client refuses the self-signed server before sending; off,
    all of them take its page, whatever host its certificate names."""
    r = probe_run(f"""
        import os
        os.environ.pop("LD_PRELOAD", None)  # a sanitizer runtime stalls the curl program
        url = {tls_server.base!r} + "/ok"
        got = {{}}
        for verify in (True, False):
            body, err = probe.curl_post2(url, "a=1", "X-A: 1", 5, verify)
            ok, page = probe.http_get(url, 5, verify)
            bridge = probe.requests_post(url, {{"a": "1"}}, 5, {{}}, verify)
            got[str(verify)] = [body.decode(), err, ok, page.decode(), bridge.decode()]
        # A certificate file to check against: it passes when the name is right.
        got["file"] = probe.requests_post(url, {{}}, 5, {{}}, {str(tls_server.cert_file)!r}).decode()
        emit(got)
    """)
    v = r.value
    assert v["True"] == ["", 60, False, "", ""]  # 60: CURLE_PEER_FAILED_VERIFICATION
    assert "CERTIFICATE_VERIFY_FAILED" in r.stderr
    assert v["False"] == ["catalog text", 0, True, "catalog text", "catalog text"]
    right = tls_server.right_name
    assert v["file"] == ("catalog text" if right else ""), r.stderr
    assert right or "address mismatch" in r.stderr
    # Only the unchecked requests, and the checked-by-file one when it passed.
    assert len(tls_server.seen) == 3 + right


DOWNLOAD_RECORDER = """
calls = []

class Response:
    status_code = 404
    content = b""

def post(url, data, timeout, headers, verify):
    calls.append([url, verify])
    return Response()
"""


def test_download_asks_for_verification_only_by_setting_and_only_for_https(
        probe_run, panel, build_info):
    domain = build_info["service_domain"]
    node_file = json.dumps({"api-node": {"url": f"api-node1.{domain}"}})
    r = probe_run(f"""
        import http_requests
        for node in (False, True):
            if node:
                open({str(panel.path("data/node_url.pl"))!r}, "w").write({node_file!r})
            for setting in (True, False):
                probe.download_plugin_list(setting)
        emit(http_requests.calls)
    """, stubs={"http_requests": DOWNLOAD_RECORDER})
    default = build_info["service_url"] + "/api/panel/getSoftListEn"
    https = default.startswith("https://")
    node = f"http://api-node1.{domain}/api/panel/getSoftListEn"
    assert r.value == [[default, https], [default, False], [node, False], [node, False]]


def test_redirect_to_another_host_keeps_the_token(server, monkeypatch):
    """The stand-in follows a redirect on the same host, token included, and
    hands a redirect to another host back without following it."""
    with _serving() as other:
        monkeypatch.setitem(PAGES, "/away", (302, b"", other.base + "/ok"))
        monkeypatch.setitem(PAGES, "/here", (307, b"", "/ok"))
        http_requests = _standin()
        got = [http_requests.post(server.base + path, {"a": "1"}, (2, 5),
                                  {"Authorization": "zq secret"}) for path in ("/away", "/here")]
    assert [(g.status_code, g.content) for g in got] == [(302, b""), (200, b"catalog text")]
    assert other.seen == []
    assert [s["line"] for s in server.seen] == ["POST /away HTTP/1.1", "POST /here HTTP/1.1",
                                                "POST /ok HTTP/1.1"]
    assert server.seen[2]["headers"]["Authorization"] == "zq secret"
    assert server.seen[2]["body"] == "a=1"


def test_time_out_bounds_a_trickling_server():
    """A server sending a byte every 0.2 s would take 20 s; the stand-in gives
    up once its time-out of 1 s has passed."""
    listener = socket.create_server(("127.0.0.1", 0))

    def trickle():
        conn, _ = listener.accept()
        with conn:
            conn.recv(65536)
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n")
            for _ in range(100):
                time.sleep(0.2)
                try:
                    conn.sendall(b"x")
                except OSError:  # the client gave up
                    return

    thread = threading.Thread(target=trickle, daemon=True)
    thread.start()
    began = time.monotonic()
    with pytest.raises(TimeoutError):
        _standin().post(f"http://127.0.0.1:{listener.getsockname()[1]}/x", {}, (1, 1), {})
    assert time.monotonic() - began < 10
    thread.join(timeout=30)
    listener.close()


def _standin():
    """The repository's http_requests, loaded in this process."""
    spec = importlib.util.spec_from_file_location("standin_http_requests",
                                                  STANDINS / "http_requests.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module
