"""Catalog listing cost against json.loads, orjson.loads and plain Python.

    python3.12 bench/catalog_bench.py [BUILD_DIR] [ROUNDS]

Three stored catalogs of 500 plugins, as the panel receives them: English
descriptions (ASCII), and Chinese descriptions written once as raw UTF-8 and
once with every non-ASCII character and "/" escaped.  For each, in one
process and in alternating rounds: get_plugin_list(0) as the panel calls it
(read the file, build the objects), and json.loads and orjson.loads on the
text already in memory.  For the English catalog also the plain-Python read
and json.loads, and parse_plugin_list(1) (read and parse the file into the
loader's document).  Times are medians of the rounds; ratios are medians of
the per-round ratios.  orjson is installed by bench/run.
"""
import json
import statistics
import sys
import time
from pathlib import Path

import orjson

REPO = Path(__file__).resolve().parents[1]
build = Path(sys.argv[1] if len(sys.argv) > 1 else REPO / "build" / "test").resolve()
count = int(sys.argv[2]) if len(sys.argv) > 2 else 40
sys.path.insert(0, str(build))
sys.path.insert(0, str(REPO / "standins"))

import PluginLoader  # noqa: E402
from cloud_service import make_catalog  # noqa: E402

info = json.loads((build / "build_info.json").read_text())
data = Path(info["panel_root"]) / "data"
data.mkdir(parents=True, exist_ok=True)
path = data / "plugin_bin.pl"

ENGLISH = ("Manages the service from the panel: install, start, stop and update it, "
           "edit its configuration with checks before saving, read its logs, set limits "
           "and watch its load over the last day. ")
CHINESE_TEXT = ("\u5b83\u4f1a\u5728\u4fdd\u5b58\u524d\u68c0\u67e5\u914d\u7f6e\uff0c"
                "\u8bb0\u5f55\u6bcf\u4e00\u6b21\u4fee\u6539\uff0c\u5e76\u5728\u51fa\u9519"
                "\u65f6\u81ea\u52a8\u6062\u590d\u4e0a\u4e00\u4e2a\u7248\u672c\u3002")
CHINESE = ("\u8fd9\u662f\u4e00\u4e2a\u7528\u4e8e\u7ba1\u7406 Nginx 1.24 \u548c MySQL 8.0 "
           "\u7684\u63d2\u4ef6\uff0c\u652f\u6301\u4e00\u952e\u5b89\u88c5\u3001\u542f\u52a8"
           "\u3001\u505c\u6b62\u548c\u66f4\u65b0\uff08\u89c1 conf.d/default.conf \u3002\uff09")


def catalog(title, description):
    """500 plugins shaped like the service's: some thirty short members each
    (numbers, flags, paths, versions) around a title and a description."""
    result = make_catalog(500)
    for i, plugin in enumerate(result["list"]):
        name = plugin["name"]
        plugin["title"] = title + plugin["title"]
        plugin["ps"] = description
        plugin.update({
            "id": 1000 + i, "pid": 100000 + i * 7, "sort": i % 17, "setup": i % 2 == 0,
            "status": i % 3 == 0, "is_beta": False, "author": "Example Ltd",
            "home": "https://www.example.com/" + name, "shell": name + ".sh",
            "install_checks": "/www/server/panel/plugin/" + name, "compile_args": 0,
            "version_coexist": 0, "manager_version": "1", "os_limit": 0, "display": 1,
            "mutex": "", "download_num": 1000 * i + 37,
        })
        plugin["versions"][0].update({"mem_limit": 32, "cpu_limit": 1, "os_limit": 0,
                                      "setup": False, "beta": 0, "full_version": plugin["version"],
                                      "update_time": 1700000000 + 86400 * i})
    return result


def catalogs():
    english = catalog("", ENGLISH * 4)
    chinese = catalog("\u63d2\u4ef6 ",
                      CHINESE + CHINESE_TEXT * 9 + CHINESE_TEXT[:16] + " Version 2.4.1, build 20240301.")
    return [("English (ASCII)", json.dumps(english)),
            ("Chinese, raw UTF-8", json.dumps(chinese, ensure_ascii=False)),
            ("Chinese, \\u escapes", json.dumps(chinese).replace("/", "\\/"))]


def rounds(fns, number=5):
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


def ratio(a, b):
    return statistics.median(x / y for x, y in zip(a, b))


def plain():
    with open(path, encoding="utf-8") as f:
        return json.loads(f.read())


print(f"{count} rounds of 5 calls each; times are medians, ratios medians of the rounds' ratios")
print(f"{'catalog':22} {'size':>8} {'listing':>9} {'json':>9} {'orjson':>9}"
      f" {'/ json':>7} {'/ orjson':>9}")
extra = {}
for i, (name, text) in enumerate(catalogs()):
    path.write_text(text, encoding="utf-8")
    got = PluginLoader.get_plugin_list(0)
    assert got == json.loads(text) == orjson.loads(text), name
    fns = [lambda: PluginLoader.get_plugin_list(0), lambda t=text: json.loads(t),
           lambda t=text: orjson.loads(t)]
    if i == 0:
        fns += [plain, lambda: PluginLoader.parse_plugin_list(1)]
    times = rounds(fns)
    listing, loads, fast = (statistics.median(t) for t in times[:3])
    print(f"{name:22} {len(text.encode()) / 1e3:6.0f} kB {listing * 1e3:6.2f} ms"
          f" {loads * 1e3:6.2f} ms {fast * 1e3:6.2f} ms {ratio(times[0], times[1]):7.3f}"
          f" {ratio(times[0], times[2]):9.3f}")
    if i == 0:
        extra = {"plain Python read + json.loads": statistics.median(times[3]),
                 "listing / plain": ratio(times[0], times[3]),
                 "parse_plugin_list(1)": statistics.median(times[4])}
for label, value in extra.items():
    unit = "" if "/" in label else " ms"
    print(f"English catalog, {label}: {value * (1 if '/' in label else 1e3):.3f}{unit}")
