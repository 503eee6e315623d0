"""Catalog listing cost against the plain-Python equivalent.

    python3.12 bench/catalog_bench.py [BUILD_DIR]

Writes a catalog of 500 plugins (about 1 MB) at the build's panel root and
times, in one process: get_plugin_list(0) (read the file, json.loads);
the same in plain Python; and parse_plugin_list(1) (read and parse the file
into the loader's document).
"""
import json
import sys
import timeit
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
catalog = make_catalog(500)
for plugin in catalog["list"]:
    plugin["ps"] = plugin["ps"] + " " + "d" * 1700  # bring the file to about 1 MB
path = data / "plugin_bin.pl"
path.write_text(json.dumps(catalog))
size = path.stat().st_size


def plain():
    with open(path, encoding="utf-8") as f:
        return json.loads(f.read())


assert PluginLoader.get_plugin_list(0) == plain()


def interleaved(fns, number=5, rounds=40):
    """Best time per call of each function, measured in alternating rounds so
    that load from other processes hits all of them alike."""
    best = [float("inf")] * len(fns)
    for _ in range(rounds):
        for i, fn in enumerate(fns):
            best[i] = min(best[i], timeit.timeit(fn, number=number) / number)
    return best


listing, python, parse = interleaved([lambda: PluginLoader.get_plugin_list(0), plain,
                                      lambda: PluginLoader.parse_plugin_list(1)])
print(f"catalog file: {size / 1e6:.2f} MB, {len(catalog['list'])} plugins")
print(f"get_plugin_list(0):      {listing * 1e3:7.2f} ms")
print(f"plain Python read+loads: {python * 1e3:7.2f} ms")
print(f"ratio listing / plain:   {listing / python:7.3f}  (target <= 1.1)")
print(f"parse_plugin_list(1):    {parse * 1e3:7.2f} ms")
