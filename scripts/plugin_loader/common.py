"""What every command shares: the errors that end it, its messages, which
module it uses, and how the module's own output is shown."""
import hashlib
import importlib.machinery
import importlib.util
import io
import json
import re
import sys
import warnings
from pathlib import Path

PROG = "plugin-loader"
REPO = Path(__file__).resolve().parents[2]
MODULE_NAME = "PluginLoader"
# The build's three secrets: their keys in _build_info and their names.
SECRETS = (("db_field_secret", "DB_FIELD_SECRET"), ("iv_file_secret", "IV_FILE_SECRET"),
           ("db_fallback_iv_secret", "DB_FALLBACK_IV_SECRET"))

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


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()
