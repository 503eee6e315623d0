"""Several panel processes at once: forced catalog downloads against a slow
service, and a missing IV file, each watched by reader processes that check
every read of the shared file.  (test_db_cipher.py has the agreement check of
the IV race on its own; here readers watch the file while it is made.)"""
import concurrent.futures
import json
import subprocess
import sys
import time

from harness import NODE_ON_LOOPBACK, cloud_service_module
from test_db_cipher import HOOK_RACING, RACER, Keys

PROCESSES = 8

# Reads a file in a loop until the stop file appears; every read that finds
# the file must be whole.  Prints {"reads", "missing", "bad", "sizes"}.
READER = r"""
import json, os, sys, time
path, stop, kind = sys.argv[1], sys.argv[2], sys.argv[3]
reads = missing = 0
bad, sizes = [], set()
while not os.path.exists(stop):
    try:
        with open(path, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        missing += 1
        continue
    reads += 1
    sizes.add(len(data))
    try:
        if kind == "catalog":
            assert isinstance(json.loads(data)["list"], list)
        else:
            assert data and data.isascii() and b"\n" not in data
    except Exception as e:
        bad.append(f"{type(e).__name__} on {len(data)} bytes")
print(json.dumps({"reads": reads, "missing": missing, "bad": bad[:5], "sizes": sorted(sizes)}))
"""

GATE = """
import os, pathlib, time
gate = pathlib.Path(os.environ["PL_GATE"])
(gate / str(os.getpid())).touch()
deadline = time.time() + 60
while len(list(gate.iterdir())) < {count} and time.time() < deadline:
    time.sleep(0.01)
"""

LISTER = GATE.format(count=PROCESSES) + """
first = PluginLoader.get_plugin_list(1)
lengths, parsed = set(), set()
for _ in range(20):  # keep reading while the others store their answers
    lengths.add(len(PluginLoader.get_plugin_list(0)["list"]))
    parsed.add(PluginLoader.parse_plugin_list(1))
emit({"first": len(first["list"]), "lengths": sorted(lengths), "parsed": sorted(parsed)})
"""


class Readers:
    """Reader processes over one file, stopped through a stop file."""

    def __init__(self, path, kind, tmp_path, count=2):
        self.stop = tmp_path / f"stop-{kind}"
        self.procs = [subprocess.Popen([sys.executable, "-c", READER, str(path), str(self.stop),
                                        kind], stdout=subprocess.PIPE, text=True)
                      for _ in range(count)]

    def finish(self):
        self.stop.touch()
        return [json.loads(p.communicate(timeout=60)[0]) for p in self.procs]


def run_together(run, code, count, **kw):
    with concurrent.futures.ThreadPoolExecutor(max_workers=count) as pool:
        futures = [pool.submit(run, code, **kw) for _ in range(count)]
        return [f.result() for f in futures]


def test_forced_downloads_against_a_slow_service(run, panel, build_info, tmp_path):
    stand_in = cloud_service_module()
    CloudService, make_catalog = stand_in.CloudService, stand_in.make_catalog
    old = json.dumps(make_catalog(40))  # longer than an error reply
    panel.write("data/plugin_bin.pl", old)
    gate = tmp_path / "gate"
    gate.mkdir()
    domain = build_info["service_domain"]
    with CloudService(plugins=300, delay=1.0) as cloud:
        url = f"api-node1.{domain}:{cloud.port}"
        panel.write("data/node_url.pl", json.dumps({"api-node": {"url": url}}))
        readers = Readers(panel.path("data/plugin_bin.pl"), "catalog", tmp_path)
        results = run_together(run, LISTER, PROCESSES, env={"PL_GATE": str(gate)},
                               stubs={"http_requests": NODE_ON_LOOPBACK.format(domain=domain)})
        time.sleep(0.2)
        seen = readers.finish()
        requests = len(cloud.requests)
        body = cloud.body

    for r in results:
        assert r.returncode == 0, r.stderr
        assert r.value == {"first": 300, "lengths": [300], "parsed": [True]}, r.stderr
    assert requests == PROCESSES
    for s in seen:
        assert s["bad"] == [] and s["missing"] == 0, s
        assert s["reads"] > 0 and set(s["sizes"]) <= {len(old), len(body)}, s
    assert panel.path("data/plugin_bin.pl").read_bytes() == body
    assert sorted(p.name for p in panel.path("data").iterdir()) == ["node_url.pl", "plugin_bin.pl"]


def test_iv_file_made_once_while_readers_watch(run, panel, build_info, tmp_path):
    gate = tmp_path / "gate"
    gate.mkdir()
    readers = Readers(panel.path("data/div.pl"), "iv", tmp_path)
    results = run_together(run, RACER, PROCESSES, stubs={"public": HOOK_RACING},
                           env={"PL_GATE": str(gate), "PL_IV_SECRET": build_info["iv_file_secret"]})
    seen = readers.finish()
    for r in results:
        assert r.returncode == 0, r.stderr
    keys = Keys(build_info)
    content = panel.read("data/div.pl")
    assert {r.value for r in results} == {keys.stored("shared value", keys.iv_of_file(content))}
    for s in seen:
        # The file appears whole or not at all, and never changes once there.
        assert s["bad"] == [] and s["sizes"] in ([], [len(content)]), s
        assert s["reads"] + s["missing"] > 0
