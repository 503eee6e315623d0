"""Catalog listing cost against json.loads and the plain-Python equivalent.

    python3.12 bench/catalog_bench.py [BUILD_DIR]

Writes a catalog of 500 plugins (about 1 MB) at the build's panel root and
times, in one process, in alternating rounds: get_plugin_list(0) (read the
file, build the objects); json.loads alone on the text already in memory;
the plain-Python read and json.loads; and parse_plugin_list(1) (read and
parse the file into the loader's document).  Then the listing against
json.loads alone on two more catalogs, whose descriptions are Chinese text:
once written with every non-ASCII character and "/" escaped, once as raw
UTF-8.  Figures are medians of the rounds.
"""
import json
import statistics
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
build = Path(sys.argv[1] if len(sys.argv) > 1 else REPO / "build" / "test").resolve()
sys.path.insert(0, str(build))
sys.path.insert(0, str(REPO / "standins"))

import PluginLoader  # noqa: E402
from cloud_service import make_catalog  # noqa: E402

info = json.loads((build / "build_info.json").read_text())
data = Path(info["panel_root"]) / "data"
data.mkdir(parents=True, exist_ok=True)
path = data / "plugin_bin.pl"


def rounds(fns, number=5, count=40):
    """Per-call times of each function in count rounds; the functions take
    turns in every round, so that load from other processes hits all alike."""
    times = [[] for _ in fns]
    for _ in range(count):
        for i, fn in enumerate(fns):
            start = time.perf_counter()
            for _ in range(number):
                fn()
            times[i].append((time.perf_counter() - start) / number)
    return times


def store(text):
    path.write_text(text, encoding="utf-8")
    assert PluginLoader.get_plugin_list(0) == json.loads(text)


def against_loads(text, extra=()):
    """Medians of the listing, json.loads alone and any extra functions, and
    the median of the per-round ratios listing / json.loads."""
    times = rounds([lambda: PluginLoader.get_plugin_list(0), lambda: json.loads(text), *extra])
    ratio = statistics.median(a / b for a, b in zip(times[0], times[1]))
    return [statistics.median(t) for t in times], ratio


catalog = make_catalog(500)
for plugin in catalog["list"]:
    plugin["ps"] = plugin["ps"] + " " + "d" * 1700  # bring the file to about 1 MB
text = json.dumps(catalog)
store(text)


def plain():
    with open(path, encoding="utf-8") as f:
        return json.loads(f.read())


(listing, loads, python, parse), ratio = against_loads(
    text, [plain, lambda: PluginLoader.parse_plugin_list(1)])
print(f"catalog file: {path.stat().st_size / 1e6:.2f} MB, {len(catalog['list'])} plugins")
print(f"get_plugin_list(0):          {listing * 1e3:7.2f} ms")
print(f"json.loads, text in memory:  {loads * 1e3:7.2f} ms")
print(f"plain Python read+loads:     {python * 1e3:7.2f} ms")
print(f"listing / json.loads:        {ratio:7.3f}  (median of rounds; target <= 0.6)")
print(f"listing / plain:             {listing / python:7.3f}  (target <= 1.1)")
print(f"parse_plugin_list(1):        {parse * 1e3:7.2f} ms")

chinese = make_catalog(500)
for plugin in chinese["list"]:
    plugin["title"] = "\u63d2\u4ef6 " + plugin["title"]
    plugin["ps"] += " \u8fd9\u662f\u4e00\u4e2a\u63d2\u4ef6\u7684\u8bf4\u660e\u3002" * 40
    plugin["ps"] += " https://www.example.com/plugin/" + plugin["name"]
for name, text in [("escaped", json.dumps(chinese).replace("/", "\\/")),
                   ("UTF-8", json.dumps(chinese, ensure_ascii=False))]:
    store(text)
    (listing, loads), ratio = against_loads(text)
    print(f"Chinese descriptions, {name:7} ({len(text.encode()) / 1e6:.2f} MB): listing "
          f"{listing * 1e3:.2f} ms, json.loads {loads * 1e3:.2f} ms, ratio {ratio:.3f}")
