"""install and rollback: putting a module file in place beside the panel's
running processes, and back."""
import importlib.machinery
import json
import os
import secrets
import subprocess
import sys
import tempfile
from pathlib import Path

from .common import MODULE_NAME, Failure, UsageError, locate, say, sha256_of

# The module that install replaced, kept beside the installed one under this
# name for rollback.  The suffix keeps the interpreter from ever importing it.
PREVIOUS_SUFFIX = ".previous"
# The value install enciphers with the new and the installed module (in
# separate processes) to tell whether both were built with the same secrets.
PROBE_VALUE = "plugin-loader: same secrets?"

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
