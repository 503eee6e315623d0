#!/usr/bin/env python3
"""Operate PluginLoader on a panel from the command line.

For people who run a panel: call a plugin or module method, list the plugin
catalog, encipher or decipher database values, check an installation, and
install or roll back the module, with the module the panel uses.  Every
command says on standard error which module file it uses and its version.

examples:
  plugin-loader -p /www/server/panel/class doctor
  plugin-loader -p /www/server/panel/class run demo get_info who=admin
  plugin-loader module site get_list model_index=mod -p /www/server/panel/class
  plugin-loader catalog --force
  plugin-loader encrypt -  < values.txt            (one value a line, one result a line)
  plugin-loader decrypt 'S8lU...=='
  plugin-loader --build BUILD install /www/server/panel/class
  plugin-loader rollback /www/server/panel/class

which module: --module FILE imports that file; --build DIR the module in that
build directory; without either, PluginLoader is looked for as the panel's
interpreter would import it: in the -p directories, then on the module search
path.

exit status: 0 done; 1 the module answered with an error, a value was refused,
doctor found a problem, or install/rollback failed; 2 wrong usage or no module
to use.
"""
import argparse
import base64
import binascii
import getpass
import hashlib
import importlib.machinery
import importlib.util
import io
import json
import os
import re
import secrets
import subprocess
import sys
import tempfile
import traceback
import warnings
from pathlib import Path

PROG = "plugin-loader"
REPO = Path(__file__).resolve().parents[1]
MODULE_NAME = "PluginLoader"
# The module that install replaced, kept beside the installed one under this
# name for rollback.  The suffix keeps the interpreter from ever importing it.
PREVIOUS_SUFFIX = ".previous"
# The value install enciphers with the new and the installed module (in
# separate processes) to tell whether both were built with the same secrets.
PROBE_VALUE = "plugin-loader: same secrets?"

CHAINED = ("During handling of the above exception, another exception occurred:",
           "The above exception was the direct cause of the following exception:")


class UsageError(Exception):
    """Wrong usage or no module to use: exit status 2."""


class Failure(Exception):
    """The command could not do its work: exit status 1."""


def tool_version():
    try:
        text = (REPO / "pyproject.toml").read_text()
    except OSError:
        return "unknown"
    m = re.search(r'^version = "([^"]+)"$', text, re.M)
    return m.group(1) if m else "unknown"


def say(text):
    print(f"{PROG}: {text}", file=sys.stderr)


# ---- which module ----

def extension_file_in(directory):
    """The PluginLoader this interpreter can import from directory, or None."""
    for suffix in importlib.machinery.EXTENSION_SUFFIXES:
        candidate = Path(directory) / (MODULE_NAME + suffix)
        if candidate.is_file():
            return candidate
    return None


def locate(opts):
    """(file, how it was chosen) of the module the command uses."""
    if opts.module and opts.build:
        raise UsageError("give either --module FILE or --build DIR, not both")
    if opts.module:
        path = Path(opts.module)
        if not path.is_file():
            raise UsageError(f"--module {opts.module}: no such file")
        return path.resolve(), "--module"
    if opts.build:
        found = extension_file_in(opts.build) if Path(opts.build).is_dir() else None
        if found is None:
            raise UsageError(f"--build {opts.build}: no {MODULE_NAME}"
                             f"{importlib.machinery.EXTENSION_SUFFIXES[0]} in that directory")
        return found.resolve(), "--build"
    spec = importlib.machinery.PathFinder.find_spec(MODULE_NAME, sys.path)
    if spec is None or not spec.origin:
        raise UsageError(f"no {MODULE_NAME} on the module search path: name it with "
                         "--module FILE or --build DIR, or give its directory with -p DIR")
    return Path(spec.origin).resolve(), "found on the module search path"


def import_from(path):
    """Imports PluginLoader from exactly this file, as the module of that name."""
    loader = importlib.machinery.ExtensionFileLoader(MODULE_NAME, str(path))
    spec = importlib.util.spec_from_file_location(MODULE_NAME, str(path), loader=loader)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            module = importlib.util.module_from_spec(spec)
            loader.exec_module(module)
        except ImportError as err:
            raise UsageError(f"cannot import {path}: {err}") from None
    sys.modules[MODULE_NAME] = module
    for warning in caught:
        say(f"warning: {warning.message}")
    return module


def load(opts):
    path, how = locate(opts)
    module = import_from(path)
    say(f"module {path} (version {getattr(module, '__version__', 'unknown')}; {how})")
    return module, path


def needs(module, name):
    if not hasattr(module, name):
        raise Failure(f"this module (version {getattr(module, '__version__', 'unknown')}) "
                      f"has no {name}: use a build of version 0.2.0 or later")
    return getattr(module, name)


# ---- what the module prints ----

# An exception as the interpreter's error printer shows it last.
EXCEPTION_LINE = re.compile(r"^[A-Za-z_][\w.]*(Error|Exception|Exit|Interrupt)(: |$)")
PANEL_MODULES = ("public", "panelPHP", "http_requests")


def labelled(exception, traceback_shown):
    text = f"{PROG}: {exception} (raised in the panel's code"
    if any(f"No module named '{name}'" in exception for name in PANEL_MODULES):
        text += "; give the directory of the panel's own modules with -p"
    if traceback_shown:
        text += "; --verbose shows the traceback"
    return text + ")"


def condense(text):
    """Each traceback printed by the module's error printer as one line: the
    exception it ends with (the last one of a chain)."""
    lines = text.splitlines()
    out = []
    i = 0
    while i < len(lines):
        if lines[i] != "Traceback (most recent call last):":
            # An error raised without Python frames is printed bare.
            out.append(labelled(lines[i], False) if EXCEPTION_LINE.match(lines[i]) else lines[i])
            i += 1
            continue
        i += 1
        while i < len(lines) and lines[i].startswith((" ", "\t")):
            i += 1
        exception = lines[i] if i < len(lines) else "an exception"
        i += 1
        if i + 2 < len(lines) and lines[i] == "" and lines[i + 1] in CHAINED \
                and lines[i + 2] == "":
            i += 3  # the traceback that follows ends the chain
            continue
        out.append(labelled(exception, True))
    return "\n".join(out) + "\n" if out else ""


class ModuleOutput:
    """Holds what the module writes to standard error during a call (the
    tracebacks of the panel's code that it prints) and passes it on
    condensed, each line once per command, or whole with --verbose."""

    shown = set()

    def __init__(self, verbose, keep=True):
        self.verbose = verbose
        self.keep = keep

    def __enter__(self):
        self.saved = sys.stderr
        sys.stderr = self.buffer = io.StringIO()
        return self

    def __exit__(self, *exc):
        sys.stderr = self.saved
        text = self.buffer.getvalue()
        if not self.keep or not text:
            return False
        if self.verbose:
            sys.stderr.write(text)
            return False
        for line in condense(text).splitlines():
            if line not in self.shown:
                self.shown.add(line)
                print(line, file=sys.stderr)
        return False


def is_error_result(value):
    return isinstance(value, dict) and set(value) == {"status", "msg"} and value["status"] is False


def message(text, verbose):
    """An error result's message; a traceback in it as its last line."""
    if verbose or "Traceback (most recent call last):" not in text:
        return text.rstrip("\n")
    condensed = [ln for ln in condense(text).splitlines() if ln]
    return condensed[-1].removeprefix(f"{PROG}: ") if condensed else text


def show(value):
    if isinstance(value, str):
        print(value)
    else:
        print(json.dumps(value, indent=2, ensure_ascii=False, default=repr))


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


# ---- encrypt, decrypt ----

def gather(values, prompt):
    """The lines to work on: each value split at its line feeds; '-' reads
    standard input (a value per line; a terminal is asked without echo)."""
    if values.count("-") > 1:
        raise UsageError("'-' (standard input) can be given only once")
    lines = []
    for value in values:
        if value != "-":
            lines += value.split("\n")
        elif prompt and sys.stdin.isatty():
            lines.append(getpass.getpass(prompt))
        else:
            data = sys.stdin.buffer.read()
            try:
                text = data.decode("utf-8")
            except UnicodeDecodeError as err:
                raise Failure(f"standard input is not UTF-8 text (byte {err.start + 1})") from None
            if text.endswith("\n"):
                text = text[:-1]
            lines += text.split("\n") if data else []
    for n, line in enumerate(lines, 1):
        if "\0" in line:
            raise Failure(f"line {n} holds a NUL character, which the module cannot take")
    return lines


FALLBACK_REFUSED = (
    "refused: no IV file {path} exists after enciphering, so the fallback IV was used, and the "
    "panel cannot read these values once an IV file exists (the panel's module public, which "
    "makes it, is missing or failed: give its directory with -p). Nothing was printed; "
    "--allow-fallback-iv prints them all the same")


def cmd_encrypt(PL, opts):
    lines = gather(opts.values, "value to encipher: ")
    check = needs(PL, "_iv_file_check")
    out = []
    fallback = False
    for line in lines:
        if line == "":
            out.append("")  # the module makes no stored text of an empty value
            continue
        with ModuleOutput(opts.verbose):
            result = PL.db_encrypt(line)
        if is_error_result(result):
            raise Failure(f"encrypt failed: {result['msg']}")
        iv = check()
        if iv["state"] == "absent":
            if not opts.allow_fallback_iv:
                raise Failure(FALLBACK_REFUSED.format(path=iv["path"]))
            fallback = True
        elif iv["state"] != "ok":
            raise Failure(f"refused: the IV file {iv['path']} is {iv['state']} ({iv['detail']}). "
                          "Nothing was printed; see plugin-loader doctor")
        out.append(result["msg"])
    if fallback:
        say("warning: enciphered under the fallback IV: the panel cannot read these values once "
            "an IV file exists")
    for text in out:
        print(text)
    return 0


def is_stored_text(text):
    """Base64 of one or more whole 16-byte blocks, as the module stores values."""
    try:
        data = base64.b64decode(text, validate=True)
    except (binascii.Error, ValueError):
        return False
    return len(data) > 0 and len(data) % 16 == 0


def is_text(value):
    return all(c in "\t\r" or not (ord(c) < 0x20 or 0x7f <= ord(c) < 0xa0) for c in value)


NOT_TEXT = ("line {n} does not decipher to text: it was stored under other secrets or another "
            "IV file")


def cmd_decrypt(PL, opts):
    lines = gather(opts.values, None)
    iv = needs(PL, "_iv_file_check")()
    hide_public = False
    if iv["state"] == "absent":
        if not opts.allow_fallback_iv:
            raise Failure(f"refused: no IV file {iv['path']}: deciphering would make a new one, "
                          "under which no value stored so far can be read. Restore it from a "
                          "backup (--allow-fallback-iv deciphers under the fallback IV and makes "
                          "no IV file)")
        hide_public = True
        say("warning: no IV file: deciphering under the fallback IV")
    elif iv["state"] != "ok":
        say(f"warning: the IV file {iv['path']} is {iv['state']}: only values stored under this "
            "same file decipher")
    out = []
    saved = sys.modules.get("public")
    try:
        if hide_public:
            sys.modules["public"] = None  # the module then makes no IV file
        for n, line in enumerate(lines, 1):
            if line == "":
                out.append("")
                continue
            if not is_stored_text(line):
                raise Failure(f"line {n} is no stored value: a stored value is Base64 of whole "
                              "16-byte blocks")
            try:
                with ModuleOutput(opts.verbose, keep=not hide_public):
                    result = PL.db_decrypt(line)
            except UnicodeDecodeError:
                raise Failure(NOT_TEXT.format(n=n)) from None
            if is_error_result(result):
                raise Failure(f"decrypt failed: {result['msg']}")
            if result["msg"] == "" or not is_text(result["msg"]):
                raise Failure(NOT_TEXT.format(n=n))
            out.append(result["msg"])
    finally:
        if hide_public:
            if saved is None:
                sys.modules.pop("public", None)
            else:
                sys.modules["public"] = saved
    for text in out:
        print(text)
    return 0


# ---- info ----

SECRETS = (("db_field_secret", "DB_FIELD_SECRET"), ("iv_file_secret", "IV_FILE_SECRET"),
           ("db_fallback_iv_secret", "DB_FALLBACK_IV_SECRET"))


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def cmd_info(PL, opts, path):
    info = needs(PL, "_build_info")()
    if opts.json:
        show({"file": str(path), "sha256": sha256_of(path), **info})
        return 0
    rows = [("version", info["version"]), ("file", str(path)), ("sha256", sha256_of(path)),
            ("built for", f"CPython {info['python_version']}"),
            ("panel root", info["panel_root"]), ("service domain", info["service_domain"]),
            ("service URL", info["service_url"]),
            ("TLS verification", "on" if info["tls_verify"] else "off")]
    for key, name in SECRETS:
        rows.append((name, "built-in (for trying the module only)"
                     if info["builtin_secrets"][key] else "own"))
    width = max(len(k) for k, _ in rows)
    for key, value in rows:
        print(f"{key:<{width}}  {value}")
    return 0


# ---- doctor ----

def check_directory(path):
    if not path.exists():
        return False, "missing"
    if not path.is_dir():
        return False, "not a directory"
    try:
        fd, probe = tempfile.mkstemp(prefix=".plugin-loader-doctor-", dir=path)
        os.close(fd)
        os.unlink(probe)
    except OSError as err:
        return False, f"not writable ({err.strerror})"
    return True, "exists, writable"


def check_catalog(path):
    if not path.exists():
        return True, "absent: the first listing downloads it"
    if not path.is_file():
        return False, "not a regular file"
    try:
        data = path.read_bytes()
    except OSError as err:
        return False, f"cannot be read ({err.strerror})"
    if not data:
        return False, "empty: the listing downloads it again"
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as err:
        return False, (f"not valid UTF-8 (byte {err.start + 1}): the listing refuses it and "
                       "downloads it again")
    try:
        catalog = json.loads(text)
    except ValueError as err:
        return False, f"not JSON ({err}): the listing answers its \"-2\" message"
    if not isinstance(catalog, dict) or not isinstance(catalog.get("list"), list):
        return False, "has no \"list\" array: parse_plugin_list answers False"
    return True, f"{len(catalog['list'])} plugins"


def check_route(route):
    if not route["present"]:
        return True, f"absent: the default route {route['default']}"
    if route["fallback_reason"] is not None:
        return False, (f"falls back to the default route {route['default']}: "
                       f"{route['fallback_reason']}")
    detail = f"route {route['route_py']}"
    if route["route"] != route["route_py"]:
        detail += f" (the libcurl client connects to {route['route'].split('#', 1)[1]})"
    return True, detail


def check_compiled(root, suffixes):
    plugins = root / "plugin"
    try:
        names = sorted(e for e in os.listdir(plugins) if (plugins / e).is_dir())
    except OSError:
        return True, "no plugin directory"
    ignored = [f for name in names for f in ignored_compiled(plugins / name, name, suffixes)]
    if not ignored:
        return True, "none ignored"
    files = ", ".join(str(f.relative_to(root)) for f in ignored)
    return False, (f"{files} ignored, the source <name>_main.py runs instead: the runner loads "
                   f"a compiled plugin only as {compiled_names('<name>', suffixes)}")


def check_public():
    try:
        spec = importlib.util.find_spec("public")
    except (ImportError, ValueError):
        spec = None
    if spec is None:
        return False, ("not on the module search path (give its directory with -p): no IV file "
                       "can be made and no plugin directory is put on the path")
    return True, f"found at {spec.origin}"


def check_secrets(info):
    builtin = [name for key, name in SECRETS if info["builtin_secrets"][key]]
    if builtin:
        return False, (f"built-in: {', '.join(builtin)}: they stand in the repository for "
                       "anyone to read; build with your own PL_SECRETS_FILE")
    return True, "the build's own (none is the built-in one)"


def cmd_doctor(PL, opts):
    info = needs(PL, "_build_info")()
    root = Path(info["panel_root"])
    iv = needs(PL, "_iv_file_check")()
    account = needs(PL, "_account_check")()
    checks = [
        ("panel root " + str(root), *check_directory(root)),
        ("data/", *check_directory(root / "data")),
        ("IV file data/div.pl", iv["state"] in ("ok", "absent"), iv["detail"]),
        ("catalog data/plugin_bin.pl", *check_catalog(root / "data" / "plugin_bin.pl")),
        ("routing file data/node_url.pl", *check_route(needs(PL, "_route_check")())),
        ("account file data/userInfo.json", account["state"] in ("absent", "parsed"),
         account["detail"]),
        ("compiled plugins", *check_compiled(root, info["compiled_plugin_suffixes"])),
        ("panel module public", *check_public()),
        ("secrets", *check_secrets(info)),
    ]
    for name, healthy, detail in checks:
        print(f"{'ok' if healthy else 'FAIL':<4}  {name}: {detail}")
    return 0 if all(healthy for _, healthy, _ in checks) else 1


# ---- install, rollback ----

PROBE = r"""
import importlib.machinery, importlib.util, json, sys, warnings
path, value = sys.argv[1], sys.argv[2]
loader = importlib.machinery.ExtensionFileLoader("PluginLoader", path)
spec = importlib.util.spec_from_file_location("PluginLoader", path, loader=loader)
with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    m = importlib.util.module_from_spec(spec)
    loader.exec_module(m)
found = {"version": getattr(m, "__version__", "unknown")}
if hasattr(m, "_build_info"):
    found["build"] = m._build_info()
    found["iv"] = m._iv_file_check()["state"]
    if found["iv"] == "ok":
        sys.modules["public"] = None  # never makes an IV file
        found["enciphered"] = m.db_encrypt(value)["msg"]
print(json.dumps(found))
"""


def probe(path):
    """What a fresh interpreter finds in the module file: its version, build
    settings and whether it reads the panel's IV file.  Failure when it cannot
    be imported."""
    r = subprocess.run([sys.executable, "-I", "-c", PROBE, str(path), PROBE_VALUE],
                       capture_output=True, text=True, timeout=120, cwd="/")
    if r.returncode != 0:
        last = (r.stderr.strip().splitlines() or ["no output"])[-1]
        raise Failure(f"{path} cannot be imported by {sys.executable}: {last}")
    return json.loads(r.stdout.strip().splitlines()[-1])


def differences(new, old):
    """Why the new module would not read what the installed one wrote."""
    found = []
    if "build" not in new or "build" not in old:
        return found
    if new["build"]["panel_root"] != old["build"]["panel_root"]:
        found.append(f"its panel root {new['build']['panel_root']} is not the installed "
                     f"module's {old['build']['panel_root']}")
    elif old["iv"] == "ok" and new["iv"] != "ok":
        found.append("it cannot read the panel's IV file (built with another IV_FILE_SECRET)")
    elif "enciphered" in old and new.get("enciphered") != old["enciphered"]:
        found.append("it enciphers database values differently (built with other secrets)")
    return found


def copy_into(source, directory, mode):
    """A new file in directory holding source's bytes, written to disk."""
    fd, tmp = tempfile.mkstemp(prefix=f".{MODULE_NAME}-", suffix=".new", dir=directory)
    try:
        with open(source, "rb") as src, os.fdopen(fd, "wb") as dst:
            for block in iter(lambda: src.read(1 << 20), b""):
                dst.write(block)
            dst.flush()
            os.fchmod(dst.fileno(), mode)
            os.fsync(dst.fileno())
    except BaseException:
        os.unlink(tmp)
        raise
    return Path(tmp)


def link_aside(path, directory):
    """A second name for path's file (a hard link, or a copy where links are
    not allowed), so that path can be replaced while the file stays."""
    for _ in range(100):
        tmp = Path(directory) / f".{MODULE_NAME}-{secrets.token_hex(8)}.keep"
        try:
            os.link(path, tmp)
            return tmp
        except FileExistsError:
            continue
        except OSError:
            break
    return copy_into(path, directory, os.stat(path).st_mode & 0o7777)


def sync_directory(directory):
    fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def installed_names(directory, suffix):
    """The installed module's file in directory and the previous one's."""
    directory = Path(directory)
    if not directory.is_dir():
        raise Failure(f"{directory}: no such directory")
    target = directory / (MODULE_NAME + suffix)
    return target, target.with_name(target.name + PREVIOUS_SUFFIX)


def suffix_of(name):
    """The extension suffix a module file name ends in; the interpreter's
    own for any other name."""
    return next((s for s in importlib.machinery.EXTENSION_SUFFIXES if name == MODULE_NAME + s),
                importlib.machinery.EXTENSION_SUFFIXES[0])


def describe(label, path, found):
    print(f"{label:<9} {path}")
    print(f"  version {found['version']}")
    print(f"  sha256  {sha256_of(path)}")


RESTART = ("restart the panel's Python processes to load it: each running process keeps the "
           "module it loaded")


def cmd_install(opts):
    if not (opts.build or opts.module):
        raise UsageError("install needs the module to install: give --build DIR or --module FILE")
    source, how = locate(opts)
    new = probe(source)
    say(f"module {source} (version {new['version']}; {how})")
    directory = Path(opts.directory)
    target, previous = installed_names(directory, suffix_of(source.name))
    mode = 0o755
    old = {}
    if target.exists():
        if sha256_of(target) == sha256_of(source):
            print(f"already installed: {target} is this module (sha256 {sha256_of(target)}); "
                  "nothing changed")
            return 0
        mode = os.stat(target).st_mode & 0o7777
        try:
            old = probe(target)
        except Failure as err:
            say(f"warning: the installed module is not comparable: {err}")
        problems = differences(new, old)
        if problems and not opts.force:
            raise Failure("refused: " + "; ".join(problems) + ": values it stores would not be "
                          "readable by the installed module, nor the other way round "
                          "(--force installs it all the same)")
        for problem in problems:
            say(f"warning: {problem}")
    try:
        fresh = copy_into(source, directory, mode)
    except OSError as err:
        raise Failure(f"cannot write into {directory}: {err.strerror}") from None
    try:
        if sha256_of(fresh) != sha256_of(source):
            raise Failure(f"{source} changed while it was copied: nothing installed")
        if target.exists():
            kept = link_aside(target, directory)
            os.replace(kept, previous)
        os.replace(fresh, target)
        sync_directory(directory)
    except OSError as err:
        raise Failure(f"cannot install into {directory}: {err.strerror}") from None
    finally:
        if fresh.exists():
            fresh.unlink()
    describe("installed", target, new)
    if previous.exists():
        print(f"previous  {previous} (version {old.get('version', 'unknown')}, sha256 "
              f"{sha256_of(previous)}): plugin-loader rollback {directory} puts it back")
    print(RESTART)
    return 0


def cmd_rollback(opts):
    directory = Path(opts.directory)
    target, previous = installed_names(directory, importlib.machinery.EXTENSION_SUFFIXES[0])
    for suffix in importlib.machinery.EXTENSION_SUFFIXES:
        if installed_names(directory, suffix)[1].is_file():
            target, previous = installed_names(directory, suffix)
            break
    if not previous.is_file():
        raise Failure(f"no previous module {previous}: nothing to roll back to")
    found = probe(previous)
    say(f"module {previous} (version {found['version']}; kept by install)")
    try:
        replaced = probe(target)["version"] if target.exists() else None
    except Failure:
        replaced = "unknown"
    kept = None
    try:
        if target.exists():
            kept = link_aside(target, directory)
        os.replace(previous, target)
        if kept is not None:
            os.replace(kept, previous)
            kept = None
        sync_directory(directory)
    except OSError as err:
        raise Failure(f"cannot roll back in {directory}: {err.strerror}") from None
    finally:
        if kept is not None and kept.exists():
            kept.unlink()
    describe("restored", target, found)
    if previous.exists():
        print(f"previous  {previous} (version {replaced}, sha256 {sha256_of(previous)}): the "
              "module it replaced; a second rollback puts it back")
    print(RESTART)
    return 0


# ---- command line ----

def add_common(p, top):
    """The options every command takes, before or after the command's name.
    After it they are parsed by the command's own parser: their defaults are
    suppressed there, and -p goes to a list of its own, so that nothing given
    before is lost."""
    default = (lambda value: value) if top else (lambda value: argparse.SUPPRESS)
    p.add_argument("--module", metavar="FILE", default=default(None),
                   help="the module file to use, e.g. a deployed "
                        "/www/server/panel/class/PluginLoader.cpython-312-x86_64-linux-gnu.so")
    p.add_argument("--build", metavar="DIR", default=default(None),
                   help="use the module in this build directory (an error when there is none)")
    p.add_argument("-p", "--path", metavar="DIR", action="append", type=Path,
                   dest="path" if top else "path_after", default=default([]),
                   help="put DIR first on the module search path: the directory of the panel's "
                        "own modules (public, panelPHP, http_requests); repeatable")
    p.add_argument("-v", "--verbose", action="store_true", default=default(False),
                   help="show the whole traceback of an error in the panel's code, not one line")
    p.add_argument("--version", action="store_true", default=default(False),
                   help="print the versions of this tool and of the module, then exit")


def parser():
    parts = __doc__.split("\n\n", 2)
    p = argparse.ArgumentParser(prog=PROG, description=parts[1], epilog=parts[2],
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    add_common(p, True)
    sub = p.add_subparsers(dest="command", metavar="COMMAND",
                           help="what to do (plugin-loader COMMAND --help tells more)")

    def command(name, help_text):
        c = sub.add_parser(name, help=help_text, description=help_text)
        add_common(c, False)
        return c

    run = command("run", "run a plugin method: run PLUGIN METHOD [key=value ...]")
    run.add_argument("plugin", help="the plugin's name: its directory under <panel>/plugin/")
    run.add_argument("method", help="the method of the plugin's class <PLUGIN>_main to call")
    run.add_argument("args", nargs="*", default=[], metavar="key=value",
                     help="attributes of the argument object the method gets (none required)")

    mod = command("module", "run a panel module method: module MODULE METHOD [key=value ...]")
    mod.add_argument("module_name", metavar="module",
                     help="the module's name, e.g. site for class/projectModel/siteModel.py")
    mod.add_argument("method", help="the method of the module's class main to call")
    mod.add_argument("args", nargs="*", default=[], metavar="key=value",
                     help="attributes of the argument object the method gets (none required); "
                          "model_index=... picks the module's directory (mod: mod/project/)")

    cat = command("catalog", "list the plugin catalog")
    cat.add_argument("--force", action="store_true", help="download it from the service first")
    cat.add_argument("--json", action="store_true", help="print the whole catalog as JSON")

    enc = command("encrypt", "encipher database values: one stored text a line for each line")
    enc.add_argument("values", nargs="+", metavar="VALUE",
                     help="a value to encipher (each of its lines on its own); '-' reads the "
                          "values from standard input, one a line, which keeps them out of the "
                          "shell's history and the process list (a terminal is asked without "
                          "echo)")
    enc.add_argument("--allow-fallback-iv", action="store_true",
                     help="print the stored texts even when no IV file could be made and the "
                          "fallback IV was used (the panel cannot read them once one exists)")

    dec = command("decrypt", "decipher stored database values: one value a line for each line")
    dec.add_argument("values", nargs="+", metavar="TEXT",
                     help="a stored text to decipher (each of its lines on its own); '-' reads "
                          "them from standard input, one a line")
    dec.add_argument("--allow-fallback-iv", action="store_true",
                     help="with no IV file, decipher under the fallback IV (no IV file is made)")

    info = command("info", "print the module's version, file, SHA-256 and build settings")
    info.add_argument("--json", action="store_true", help="print them as one JSON object")

    command("doctor", "check an installation: one line a check, exit status 1 on any FAIL")

    ins = command("install", "install the module given with --build or --module into DIR, "
                             "keeping the module it replaces for rollback")
    ins.add_argument("directory", metavar="DIR",
                     help="the directory the panel imports PluginLoader from")
    ins.add_argument("--force", action="store_true",
                     help="install even when the new module has another panel root or other "
                          "secrets than the installed one")

    rb = command("rollback", "put back the module that the last install in DIR replaced")
    rb.add_argument("directory", metavar="DIR",
                    help="the directory the panel imports PluginLoader from")
    return p


def main(argv=None):
    p = parser()
    opts = p.parse_args(argv)
    opts.path = list(opts.path) + list(getattr(opts, "path_after", []))
    sys.path[:0] = [str(d) for d in opts.path]
    try:
        if opts.version:
            print(f"{PROG} {tool_version()}")
            try:
                module, path = load(opts)
                print(f"{MODULE_NAME} {getattr(module, '__version__', 'unknown')} {path}")
            except UsageError as err:
                if opts.module or opts.build:
                    raise
                say(str(err))
            return 0
        if opts.command is None:
            p.error("a command is needed (or --version)")
        if opts.command == "install":
            return cmd_install(opts)
        if opts.command == "rollback":
            return cmd_rollback(opts)
        module, path = load(opts)
        if opts.command == "info":
            return cmd_info(module, opts, path)
        return {"run": cmd_run, "module": cmd_module, "catalog": cmd_catalog,
                "encrypt": cmd_encrypt, "decrypt": cmd_decrypt,
                "doctor": cmd_doctor}[opts.command](module, opts)
    except UsageError as err:
        say(str(err))
        return 2
    except Failure as err:
        say(str(err))
        return 1
    except BrokenPipeError:
        raise
    except OSError as err:
        say(f"{err.filename or ''}: {err.strerror or err}")
        return 1


def entry():
    try:
        code = main()
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader went away (plugin-loader catalog | head -1): end quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        code = 141
    except KeyboardInterrupt:
        code = 130
    sys.exit(code)


if __name__ == "__main__":
    entry()
