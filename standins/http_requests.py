"""Stand-in for the panel's HTTP module `http_requests`, on http.client.

Behaves like a careful client: a redirect is followed only within the same
scheme, host and port (the headers, "Authorization" among them, never go to
another host; such a redirect answer is returned as it is), and the time-out
bounds the whole request, so a server that trickles its answer cannot hold a
caller longer than that.  `verify` checks the server's certificate on HTTPS:
True against the system's trusted authorities, a file name against the
authorities in that file, False not at all.
"""
import http.client
import socket
import ssl
import threading
import time
import urllib.parse

MAX_REDIRECTS = 5
REDIRECTS = (301, 302, 303, 307, 308)


class Response:
    def __init__(self, status_code, content):
        self.status_code = status_code
        self.content = content


def _limits(timeout):
    """(connect, whole request) in seconds: a (connect, read) pair connects
    within its first figure and ends within the larger one; one figure is
    both."""
    if isinstance(timeout, (tuple, list)):
        return timeout[0], max(timeout)
    return timeout, timeout


def _origin(parts):
    default = 443 if parts.scheme == "https" else 80
    return parts.scheme, (parts.hostname or "").lower(), parts.port or default


def _connection(parts, connect_timeout, verify):
    if parts.scheme == "https":
        context = ssl.create_default_context(cafile=verify if isinstance(verify, str) else None)
        if not verify:
            context.check_hostname = False
            context.verify_mode = ssl.CERT_NONE
        return http.client.HTTPSConnection(parts.hostname, parts.port, timeout=connect_timeout,
                                           context=context)
    if parts.scheme == "http":
        return http.client.HTTPConnection(parts.hostname, parts.port, timeout=connect_timeout)
    raise ValueError(f"unsupported URL scheme: {parts.scheme!r}")


class _Watchdog:
    """Ends a transfer that outlives the deadline: the connection's socket is
    shut down, so the blocked call returns or fails at once."""

    def __init__(self, conn, seconds):
        self.conn = conn
        self.fired = threading.Event()
        self.timer = threading.Timer(seconds, self._fire)
        self.timer.daemon = True
        self.timer.start()

    def _fire(self):
        self.fired.set()
        try:
            self.conn.sock.shutdown(socket.SHUT_RDWR)
        except (AttributeError, OSError):
            pass  # not connected yet (connecting is bounded on its own) or closed

    def cancel(self):
        self.timer.cancel()


def _once(method, parts, body, headers, deadline, connect_timeout, verify):
    remaining = deadline - time.monotonic()
    if remaining <= 0:
        raise TimeoutError("request timed out")
    conn = _connection(parts, min(connect_timeout, remaining), verify)
    watchdog = _Watchdog(conn, remaining)
    try:
        conn.connect()
        conn.sock.settimeout(max(deadline - time.monotonic(), 0.001))
        target = urllib.parse.urlunsplit(("", "", parts.path or "/", parts.query, ""))
        conn.request(method, target, body=body, headers=headers)
        resp = conn.getresponse()
        result = resp.status, resp.getheader("Location"), resp.read()
    except (OSError, http.client.HTTPException) as err:
        if watchdog.fired.is_set() or time.monotonic() >= deadline:
            raise TimeoutError("request timed out") from err
        raise
    finally:
        watchdog.cancel()
        conn.close()
    if watchdog.fired.is_set():  # an answer without length, cut short
        raise TimeoutError("request timed out")
    return result


def _send(method, url, body, headers, timeout, verify):
    connect_timeout, whole = _limits(timeout)
    deadline = time.monotonic() + whole
    headers = dict(headers or {})
    for _ in range(MAX_REDIRECTS + 1):
        parts = urllib.parse.urlsplit(url)
        status, location, content = _once(method, parts, body, headers, deadline,
                                          connect_timeout, verify)
        if status not in REDIRECTS or not location:
            return Response(status, content)
        following = urllib.parse.urljoin(url, location)
        if _origin(urllib.parse.urlsplit(following)) != _origin(parts):
            return Response(status, content)
        if status in (301, 302, 303) and method == "POST":
            method, body = "GET", None
            headers = {k: v for k, v in headers.items()
                       if k.lower() not in ("content-type", "content-length")}
        url = following
    return Response(status, content)


def post(url, data=None, timeout=(6, 10), headers=None, verify=False):
    body = urllib.parse.urlencode(data or {}).encode()
    headers = dict(headers or {})
    headers.setdefault("Content-Type", "application/x-www-form-urlencoded")
    return _send("POST", url, body, headers, timeout, verify)


def get(url, timeout=10, headers=None, verify=False):
    return _send("GET", url, None, headers, timeout, verify)
