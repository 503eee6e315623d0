#!/usr/bin/env python3
"""Run PluginLoader's operations from the command line.

For people who run a panel: call a plugin or module method, list the plugin
catalog, encipher or decipher a database value, with the module the panel
uses.  An error result of the module ends the command with exit status 1.

examples:
  plugin-loader run demo get_info who=admin
  plugin-loader module site get_list limit=2
  plugin-loader module site get_list model_index=mod
  plugin-loader catalog --force
  plugin-loader encrypt 'secret value'
  plugin-loader decrypt 'S8lU...=='
"""
import argparse
import json
import os
import sys
import traceback
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]


class Arguments:
    """The argument object handed to a method: one attribute per key=value."""

    def __init__(self, pairs):
        for key, value in pairs.items():
            setattr(self, key, value)

    def __repr__(self):
        return f"Arguments({vars(self)!r})"


def key_values(items):
    pairs = {}
    for item in items:
        key, sep, value = item.partition("=")
        if not sep or not key.isidentifier():
            raise argparse.ArgumentTypeError(f"expected key=value, got {item!r}")
        pairs[key] = value
    return pairs


def load_module(build, paths):
    """Import PluginLoader from the build directory given, or the usual places."""
    sys.path[:0] = [str(p) for p in paths]
    candidates = [build] if build else [os.environ.get("PL_BUILD_DIR"), REPO / "BUILD"]
    for candidate in candidates:
        if candidate and (Path(candidate) / "PluginLoader.cpython-312-x86_64-linux-gnu.so").exists():
            sys.path.insert(0, str(candidate))
            break
    try:
        import PluginLoader
    except ImportError as err:
        raise SystemExit(f"plugin-loader: cannot import PluginLoader ({err}); "
                         "give its directory with --build")
    return PluginLoader


def is_error_result(value):
    return isinstance(value, dict) and set(value) == {"status", "msg"} and value["status"] is False


def show(value):
    if isinstance(value, str):
        print(value)
    else:
        print(json.dumps(value, indent=2, ensure_ascii=False, default=repr))


def parser():
    p = argparse.ArgumentParser(prog="plugin-loader", description=__doc__.split("\n\n")[1],
                                epilog=__doc__.split("\n\n", 2)[2],
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--build", metavar="DIR",
                   help="directory holding PluginLoader.cpython-312-x86_64-linux-gnu.so "
                        "(default: $PL_BUILD_DIR, then BUILD/ of this checkout, then sys.path)")
    p.add_argument("-p", "--path", metavar="DIR", action="append", default=[], type=Path,
                   help="put DIR first on the module search path, e.g. the directory of the "
                        "panel's own modules (public, panelPHP, http_requests); repeatable")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")

    run = sub.add_parser("run", help="run a plugin method: run PLUGIN METHOD [key=value ...]")
    run.add_argument("plugin")
    run.add_argument("method")
    run.add_argument("args", nargs="*", metavar="key=value")

    mod = sub.add_parser("module", help="run a panel module method: module MODULE METHOD "
                                        "[key=value ...] (model_index=... picks the directory)")
    mod.add_argument("module")
    mod.add_argument("method")
    mod.add_argument("args", nargs="*", metavar="key=value")

    cat = sub.add_parser("catalog", help="list the plugin catalog")
    cat.add_argument("--force", action="store_true", help="download it from the service first")
    cat.add_argument("--json", action="store_true", help="print the whole catalog as JSON")

    enc = sub.add_parser("encrypt", help="encipher a database value (one per line)")
    enc.add_argument("text")
    dec = sub.add_parser("decrypt", help="decipher a stored database value (one per line)")
    dec.add_argument("text")
    return p


def main(argv=None):
    p = parser()
    opts = p.parse_args(argv)
    try:
        pairs = key_values(getattr(opts, "args", []))
    except argparse.ArgumentTypeError as err:
        p.error(str(err))
    PL = load_module(opts.build, opts.path)

    if opts.command == "run":
        result = PL.plugin_run(opts.plugin, opts.method, Arguments(pairs))
    elif opts.command == "module":
        try:
            result = PL.module_run(opts.module, opts.method, Arguments(pairs))
        except Exception:
            print(f"plugin-loader: {opts.module}.{opts.method} raised:", file=sys.stderr)
            traceback.print_exc()
            return 1
    elif opts.command == "catalog":
        result = PL.get_plugin_list(1 if opts.force else 0)
        if not is_error_result(result) and not opts.json:
            plugins = result.get("list", []) if isinstance(result, dict) else result
            print(f"{len(plugins)} plugins in the catalog")
            for plugin in plugins:
                if isinstance(plugin, dict):
                    print(f"  {plugin.get('name', '?'):24} {plugin.get('title', '')}")
            return 0
    elif opts.command == "encrypt":
        result = PL.db_encrypt(opts.text)
    else:
        result = PL.db_decrypt(opts.text)

    if is_error_result(result):
        print(f"plugin-loader: {opts.command} failed: {result['msg']}", file=sys.stderr)
        return 1
    if opts.command in ("encrypt", "decrypt"):
        print(result["msg"])
    else:
        show(result)
    return 0


if __name__ == "__main__":
    sys.exit(main())
