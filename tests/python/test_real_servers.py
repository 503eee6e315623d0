"""The module served by a real Python web server, with threaded and with
gevent workers, while the panel's plugin and module files are replaced."""
import http.client
import json
import os
import random
import socket
import subprocess
import sys
import threading
import time

import pytest

from conftest import need_greenlets, need_module
from harness import STANDINS

SECONDS = float(os.environ.get("PL_SERVER_SECONDS", "8"))

# Each request makes one call, chosen by the path; the answer is JSON.
APP = """
import json, PluginLoader as P

MODULE = {module!r}

def call(which):
    if which == "plugin":
        return P.plugin_run("live", "ver", 0)
    if which == "module":
        return P.module_run("live", "ver", 0)
    if which == "get_module":
        m = P.get_module(MODULE)
        return m if isinstance(m, dict) else m.main().ver(0)
    if which == "catalog":
        return len(P.get_plugin_list(0)["list"])
    stored = P.db_encrypt("value " + which)["msg"]
    return P.db_decrypt(stored)["msg"]

def app(environ, start_response):
    body = json.dumps(call(environ["PATH_INFO"].strip("/"))).encode()
    start_response("200 OK", [("Content-Type", "application/json")])
    return [body]
"""

# A version of the plugin's and module's code; some take a while at the top.
VERSION = ("import time\ntime.sleep({pause})\n"
           "class live_main:\n    def ver(self, a):\n        return {tag!r}\n"
           "class main(live_main):\n    pass\n")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Edits:
    """Replaces the files by rename with numbered versions until stopped."""

    def __init__(self, paths):
        self.paths, self.current, self.stop = paths, 0, threading.Event()
        self.write(1)

    def write(self, k):
        for path in self.paths:
            pause = 0.2 if k % 3 == 0 else 0
            with open(f"{path}.new", "w") as f:
                f.write(VERSION.format(pause=pause, tag=k))
            os.replace(f"{path}.new", path)
        self.current = k

    def run(self):
        k, rnd = 1, random.Random(3)
        while not self.stop.is_set():
            time.sleep(rnd.uniform(0.01, 0.08))
            k += 1
            self.write(k)


def serve_and_check(panel, build_dir, tmp_path, worker_args):
    plugin = panel.write("plugin/live/live_main.py", "x = 1\n")
    module = panel.write("class/abcModel/liveModel.py", "x = 1\n")
    panel.write("data/plugin_bin.pl", json.dumps({"list": [{"name": n} for n in "abc"]}))
    (tmp_path / "panel_app.py").write_text(APP.format(module=str(module)))
    edits = Edits([str(plugin), str(module)])
    port = free_port()
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(tmp_path), str(STANDINS),
                                                        str(build_dir)])}
    log = open(tmp_path / "server.log", "w+")
    server = subprocess.Popen([sys.executable, "-m", "gunicorn", "-b", f"127.0.0.1:{port}",
                               "-w", "2", "--graceful-timeout", "5", *worker_args,
                               "panel_app:app"], cwd=tmp_path, env=env, stdout=log, stderr=log)
    counts = {"right": 0, "wrong": []}
    try:
        deadline = time.monotonic() + 30
        while True:  # until the workers answer
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                assert time.monotonic() < deadline and server.poll() is None, log.read()
                time.sleep(0.1)
        writer = threading.Thread(target=edits.run)
        writer.start()
        end = time.monotonic() + SECONDS

        def client(n):
            rnd = random.Random(n)
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
            while time.monotonic() < end:
                which = rnd.choice(["plugin", "module", "get_module", "catalog", str(n)])
                floor = edits.current  # on disk before the request is sent
                conn.request("GET", "/" + which)
                answer = json.loads(conn.getresponse().read())
                if which in ("plugin", "module", "get_module"):
                    ok = isinstance(answer, int) and answer >= floor
                else:
                    ok = answer == (3 if which == "catalog" else f"value {which}")
                if ok:
                    counts["right"] += 1
                else:
                    counts["wrong"].append((which, floor, answer))
            conn.close()

        clients = [threading.Thread(target=client, args=(n,)) for n in range(6)]
        [c.start() for c in clients]
        [c.join() for c in clients]
        edits.stop.set()
        writer.join()
        alive = server.poll() is None
        log.seek(0)
        text = log.read()  # before the shutdown's own messages
    finally:
        server.terminate()
        server.wait(30)
    assert counts["wrong"] == [], counts["wrong"][:5]
    assert counts["right"] > 100, counts
    # Two workers booted and none died or was replaced.
    assert alive and text.count("Booting worker") == 2, text[-3000:]
    assert "WORKER TIMEOUT" not in text and "exited" not in text.lower(), text[-3000:]


@pytest.mark.parametrize("workers", [["-k", "gthread", "--threads", "8"],
                                     ["-k", "gevent", "--worker-connections", "64"]],
                         ids=["threads", "gevent"])
def test_real_server_workers_answer_right_while_files_are_replaced(panel, build_dir, tmp_path,
                                                                   workers):
    need_module("gunicorn")
    if "gevent" in workers:
        need_greenlets()
    serve_and_check(panel, build_dir, tmp_path, workers)
