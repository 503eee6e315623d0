"""A worker's first plugin_run, against importing the same file.

Run with the interpreter a build was made for, against a build whose panel
root is a scratch directory (the script writes a plugin there):

    python3.12 bench/bytecode_bench.py [BUILD_DIR] [--before BUILD_DIR] [--rounds N]
                                       [--stdlib-loaded]

The plugin is about 3,200 lines: an entry class of 320 methods, importing
json and re, as panel plugins are.  Every figure is the time of one call in
a fresh process (the interpreter, PluginLoader and the panel's `public`
already loaded, as in a panel's worker), the median of N rounds in which
the cases take turns:

  loader, bytecode kept   the first plugin_run, bytecode present
  import, bytecode kept   `import` of a copy of the file, with the bytecode
                          import itself keeps (its default, timestamp-based),
                          then the same method called
  loader, no bytecode     the first plugin_run with no bytecode yet (it is
                          compiled, and the bytecode written)
  before, no bytecode     the same with the build given by --before (a build
                          of the code before bytecode was kept)

Each line gives the median wall time and, beside it, the median processor
time of the process over the same stretch, which other load on the machine
disturbs less.  With --stdlib-loaded, json and re are imported before the
clock starts in every case, leaving the plugin's own module alone to time
(they take most of the time otherwise).  The goal: loader with bytecode / import <= 1.2; without
bytecode no slower than before.
"""
import argparse
import importlib.util
import json
import os
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
NAME = "coldbench"
METHODS = 320

METHOD = '''
    def get_item_{i}(self, get):
        """Entry {i} of the panel's list, as JSON."""
        name = getattr(get, "name", "item{i}")
        data = {{"id": {i}, "name": name, "tags": ["web", "site"], "size": {i} * 1024}}
        if not re.match(r"^[a-z0-9_]+$", name):
            return {{"status": False, "msg": "invalid name: " + name}}
        data["path"] = "/www/server/panel/data/item_{i}.json"
        data["label"] = "%s (%d)" % (name, data["size"])
        return json.dumps(data)
'''

PLUGIN = (f'"""A plugin of {METHODS} methods."""\nimport json\nimport re\n\n\n'
          f"class {NAME}_main:\n" + "".join(METHOD.format(i=i) for i in range(METHODS)))

LOADER_CALL = """
import sys, time
sys.path[:0] = {paths!r}
import PluginLoader, public{preload}
c0, t0 = time.process_time_ns(), time.perf_counter_ns()
r = PluginLoader.plugin_run({name!r}, "get_item_7", None)
t1, c1 = time.perf_counter_ns(), time.process_time_ns()
assert isinstance(r, str) and '"id": 7' in r, r
print(t1 - t0, c1 - c0)
"""

IMPORT_CALL = """
import sys, time
sys.path.insert(0, {dir!r}){preload}
c0, t0 = time.process_time_ns(), time.perf_counter_ns()
import {name}_main
r = {name}_main.{name}_main().get_item_7(None)
t1, c1 = time.perf_counter_ns(), time.process_time_ns()
assert '"id": 7' in r, r
print(t1 - t0, c1 - c0)
"""


def child(code):
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONDONTWRITEBYTECODE", "PYTHONPATH")}
    out = subprocess.run([sys.executable, "-c", code], env=env, check=True, capture_output=True,
                         text=True).stdout
    wall, cpu = out.split()[-2:]
    return int(wall) / 1e6, int(cpu) / 1e6


def plugin_file(build):
    root = json.loads((build / "build_info.json").read_text())["panel_root"]
    if root == "/www/server/panel":
        sys.exit("refusing to write into the real panel root; use a test build")
    path = Path(root, "plugin", NAME, f"{NAME}_main.py")
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(PLUGIN)
    shutil.rmtree(path.parent / "__pycache__", ignore_errors=True)
    return path


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build", nargs="?", default=str(REPO / "build" / "test"))
    ap.add_argument("--before")
    ap.add_argument("--rounds", type=int, default=21)
    ap.add_argument("--stdlib-loaded", action="store_true")
    opts = ap.parse_args()
    build = Path(opts.build).resolve()
    loader_src = plugin_file(build)
    cached = Path(importlib.util.cache_from_source(str(loader_src)))
    preload = "\nimport json, re" if opts.stdlib_loaded else ""
    loader = LOADER_CALL.format(paths=[str(REPO / "standins"), str(build)], name=NAME,
                                preload=preload)
    cases = {}
    with tempfile.TemporaryDirectory() as tmp:
        (Path(tmp) / f"{NAME}_main.py").write_text(PLUGIN)
        importing = IMPORT_CALL.format(dir=tmp, name=NAME, preload=preload)

        def no_bytecode(code):
            def run():
                shutil.rmtree(cached.parent, ignore_errors=True)
                return child(code)
            return run

        cases["loader, bytecode kept"] = lambda: child(loader)
        cases["import, bytecode kept"] = lambda: child(importing)
        cases["loader, no bytecode"] = no_bytecode(loader)
        if opts.before:
            before = Path(opts.before).resolve()
            before_src = plugin_file(before)
            cases["before, no bytecode"] = lambda: child(LOADER_CALL.format(
                paths=[str(REPO / "standins"), str(before)], name=NAME, preload=preload))
        # Warm-up: both kinds of bytecode written, both files in the page cache.
        child(importing)
        child(loader)
        header = cached.read_bytes()[:8]
        assert int.from_bytes(header[4:8], "little") == 0b11, "no checked bytecode written"
        times = {k: [] for k in cases}
        for r in range(opts.rounds):
            # Each pair takes turns at going first.  "loader, no bytecode"
            # removes the bytecode and writes it anew for the next round.
            pairs = [list(cases)[:2], list(cases)[2:]]
            for k in (k for pair in pairs for k in (pair[::-1] if r % 2 else pair)):
                times[k].append(cases[k]())
    lines = len(PLUGIN.splitlines())
    print(f"Python {sys.version.split()[0]}, {sysconfig.get_platform()}, plugin of {lines} lines, "
          f"medians of {opts.rounds} fresh processes each"
          + (", json and re loaded before" if opts.stdlib_loaded else ""))
    # Wall time, and the process's processor time (less disturbed by other
    # load on the machine).
    med = {k: statistics.median(w for w, _ in v) for k, v in times.items()}
    cpu = {k: statistics.median(c for _, c in v) for k, v in times.items()}
    print(f"  {'':24}{'wall ms':>9}{'min':>8}{'max':>8}{'cpu ms':>9}")
    for k, v in med.items():
        walls = [w for w, _ in times[k]]
        print(f"  {k:24}{v:9.2f}{min(walls):8.2f}{max(walls):8.2f}{cpu[k]:9.2f}")
    ratio = med["loader, bytecode kept"] / med["import, bytecode kept"]
    print(f"loader with bytecode / import: {ratio:.2f} wall, "
          f"{cpu['loader, bytecode kept'] / cpu['import, bytecode kept']:.2f} cpu "
          f"(goal <= 1.20): {'met' if ratio <= 1.2 else 'NOT met'}")
    if opts.before:
        print(f"no bytecode, after / before: "
              f"{med['loader, no bytecode'] / med['before, no bytecode']:.2f} wall, "
              f"{cpu['loader, no bytecode'] / cpu['before, no bytecode']:.2f} cpu")
        os.unlink(before_src)
    os.unlink(loader_src)
    shutil.rmtree(cached.parent, ignore_errors=True)


if __name__ == "__main__":
    main()
