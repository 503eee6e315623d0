"""run, module and catalog: calls of the module's functions."""
import os
import traceback
from pathlib import Path

from .common import ModuleOutput, UsageError, is_error_result, message, say, show


# ---- run, module ----

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
            raise UsageError(f"expected key=value, got {item!r}")
        pairs[key] = value
    return pairs


def ignored_compiled(plugin_dir, name, suffixes):
    """Compiled files of plugin name that the runner never loads: a usual-suffix
    <name>_main.*.so beside the source entry while neither of the runner's own
    names (suffixes) is there."""
    if not (plugin_dir / f"{name}_main.py").is_file():
        return []
    if any((plugin_dir / f"{name}{s}").exists() for s in suffixes):
        return []
    try:
        entries = sorted(os.listdir(plugin_dir))
    except OSError:
        return []
    return [plugin_dir / e for e in entries
            if e.startswith(f"{name}_main.") and e.endswith(".so")]


def compiled_names(name, suffixes):
    return " or ".join(f"{name}{s}" for s in suffixes)


def cmd_run(PL, opts):
    pairs = key_values(opts.args)
    if hasattr(PL, "_build_info"):
        info = PL._build_info()
        plugin_dir = Path(info["panel_root"]) / "plugin" / opts.plugin
        for f in ignored_compiled(plugin_dir, opts.plugin, info["compiled_plugin_suffixes"]):
            say(f"note: {f} is ignored and {opts.plugin}_main.py runs: the runner loads a "
                f"compiled plugin only as {compiled_names(opts.plugin, info['compiled_plugin_suffixes'])}")
    with ModuleOutput(opts.verbose):
        result = PL.plugin_run(opts.plugin, opts.method, Arguments(pairs))
    return report(result, "run", opts)


def cmd_module(PL, opts):
    pairs = key_values(opts.args)
    try:
        with ModuleOutput(opts.verbose):
            result = PL.module_run(opts.module_name, opts.method, Arguments(pairs))
    except Exception as err:
        if opts.verbose:
            say(f"{opts.module_name}.{opts.method} raised:")
            traceback.print_exc()
        else:
            say(f"{opts.module_name}.{opts.method} raised {type(err).__name__}: {err} "
                "(--verbose shows the traceback)")
        return 1
    return report(result, "module", opts)


def report(result, command, opts):
    if is_error_result(result):
        say(f"{command} failed: {message(result['msg'], opts.verbose)}")
        return 1
    show(result)
    return 0


# ---- catalog ----

def catalog_explanation(msg, panel_root):
    data = Path(panel_root) / "data"
    if msg.endswith("-1"):
        text = (f"no catalog: {data / 'plugin_bin.pl'} is missing or empty and downloading it "
                "from the service failed (check the network and data/node_url.pl: "
                "plugin-loader doctor)")
        if (data / "plugin_bin.pl.err").exists():
            text += f"; the service's last unusable answer is in {data / 'plugin_bin.pl.err'}"
        return text
    if "trying repair" in msg:
        return ("the stored catalog is not valid UTF-8; a new download was started to replace "
                "it: run the command again")
    if msg.endswith("-2"):
        return ("the stored catalog is not valid JSON; a new download was started to replace "
                "it: run the command again")
    return None


def cmd_catalog(PL, opts):
    with ModuleOutput(opts.verbose):
        result = PL.get_plugin_list(1 if opts.force else 0)
    if is_error_result(result):
        say(f"catalog failed: {result['msg']}")
        root = PL._build_info()["panel_root"] if hasattr(PL, "_build_info") else "<panel>"
        why = catalog_explanation(result["msg"], root)
        if why:
            say(why)
        return 1
    if opts.json:
        show(result)
        return 0
    plugins = result.get("list", []) if isinstance(result, dict) else result
    print(f"{len(plugins)} plugins in the catalog")
    for plugin in plugins:
        if isinstance(plugin, dict):
            print(f"  {plugin.get('name', '?'):24} {plugin.get('title', '')}")
    return 0
