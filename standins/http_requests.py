"""Stand-in for the panel's HTTP module `http_requests`, on urllib."""
import urllib.error
import urllib.parse
import urllib.request


class Response:
    def __init__(self, status_code, content):
        self.status_code = status_code
        self.content = content


def _timeout_of(timeout):
    # (connect, read) pairs are given as a tuple; urllib takes one figure.
    if isinstance(timeout, (tuple, list)):
        return max(timeout)
    return timeout


def _send(request, timeout):
    try:
        with urllib.request.urlopen(request, timeout=_timeout_of(timeout)) as resp:
            return Response(resp.status, resp.read())
    except urllib.error.HTTPError as err:
        return Response(err.code, err.read())


def post(url, data=None, timeout=(6, 10), headers=None, verify=False):
    body = urllib.parse.urlencode(data or {}).encode()
    request = urllib.request.Request(url, data=body, headers=dict(headers or {}), method="POST")
    return _send(request, timeout)


def get(url, timeout=10, headers=None):
    request = urllib.request.Request(url, headers=dict(headers or {}), method="GET")
    return _send(request, timeout)
