"""Local stand-in of the panel's cloud service, on loopback only.

Answers POST .../getSoftListEn with a generated plugin catalog (an object
with a "list" array) and logs each request it receives (path, form fields,
"Authorization" and "Host" headers) as one JSON line.

    python cloud_service.py [--port N] [--plugins N] [--delay SECONDS] [--log FILE]

prints "listening on http://127.0.0.1:PORT" once ready.
"""
import argparse
import json
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


def make_catalog(count=300):
    """A catalog of `count` plugins, deterministic for a given count."""
    kinds = ["tools", "security", "database", "web", "monitor"]
    plugins = []
    for i in range(count):
        name = f"plugin{i:03d}"
        plugins.append({
            "name": name,
            "title": f"Plugin {i}",
            "type": kinds[i % len(kinds)],
            "version": f"{1 + i % 4}.{i % 10}",
            "price": 0 if i % 3 else 19.9,
            "ps": f"Sample plugin number {i}: " + "x" * (i % 50),
            "versions": [{"m_version": "1", "version": str(i % 7), "dependnet": ""}],
            "endtime": 0,
        })
    return {"list": plugins, "type": kinds, "pro": -1, "ltd": -1}


class CloudService:
    """The service in a background thread; use as a context manager."""

    def __init__(self, plugins=300, delay=0.0, log_file=None, port=0):
        self.body = json.dumps(make_catalog(plugins)).encode()
        self.delay = delay
        self.log_file = log_file
        self.requests = []
        self._lock = threading.Lock()
        service = self

        class Handler(BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_POST(self):
                length = int(self.headers.get("Content-Length") or 0)
                form = urllib.parse.parse_qs(self.rfile.read(length).decode("utf-8", "replace"))
                record = {
                    "path": self.path,
                    "form": {k: v[0] for k, v in form.items()},
                    "authorization": self.headers.get("Authorization"),
                    "host": self.headers.get("Host"),
                }
                service._record(record)
                if service.delay:
                    time.sleep(service.delay)
                if self.path.endswith("/getSoftListEn"):
                    self._answer(200, service.body)
                else:
                    self._answer(404, b'{"status":false,"msg":"not found"}')

            def _answer(self, code, body):
                self.send_response(code)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

        self.server = ThreadingHTTPServer(("127.0.0.1", port), Handler)
        self.server.daemon_threads = True
        self.port = self.server.server_address[1]
        self.url = f"http://127.0.0.1:{self.port}"
        self._thread = threading.Thread(target=self.server.serve_forever, daemon=True)

    def _record(self, record):
        with self._lock:
            self.requests.append(record)
            if self.log_file:
                with open(self.log_file, "a") as f:
                    f.write(json.dumps(record) + "\n")

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--plugins", type=int, default=300)
    parser.add_argument("--delay", type=float, default=0.0)
    parser.add_argument("--log")
    args = parser.parse_args(argv)
    service = CloudService(args.plugins, args.delay, args.log, args.port)
    print(f"listening on {service.url}", flush=True)
    try:
        service.server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        service.server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
