"""The Python HTTP bridge (Ploader::requests_post / requests_get), reached
through the test-only module pl_bridge_probe."""
import http.server
import textwrap
import threading

import pytest

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
        status, page = PAGES.get(self.path.split("?")[0], (500, b"?"))
        self.send_response(status)
        self.send_header("Content-Length", str(len(page)))
        self.end_headers()
        self.wfile.write(page)

    do_GET = do_POST = _answer

    def log_message(self, *args):
        pass


@pytest.fixture
def server():
    srv = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _Handler)
    srv.seen = []
    thread = threading.Thread(target=srv.serve_forever, daemon=True)
    thread.start()
    srv.base = f"http://127.0.0.1:{srv.server_address[1]}"
    yield srv
    srv.shutdown()
    srv.server_close()


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
        emit({"post": [args[0], list(args[2]), same, body.decode()],
              "get": [get_calls, got.decode()], "leak": [before, counts()]})
    """, stubs={"http_requests": RECORDING_STUB})
    v = r.value
    assert v["post"] == ["http://x/api", [6, 7], [True, True, True], "body"]
    assert v["get"] == [[["http://x/g", 3, True]], "12345"]
    before, after = v["leak"]
    assert before == after


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
