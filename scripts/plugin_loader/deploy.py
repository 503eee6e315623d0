"""install and rollback: putting a module file in place beside the panel's
running processes, and back, one run at a time in a directory, and only a
file that no stranger could have written."""
import contextlib
import fcntl
import importlib.machinery
import json
import os
import pwd
import secrets
import stat
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from .common import MODULE_NAME, SECRETS, Failure, UsageError, locate, say, sha256_of

# The module that install replaced, kept beside the installed one under this
# name for rollback.  The suffix keeps the interpreter from ever importing it.
PREVIOUS_SUFFIX = ".previous"
# The value install enciphers with the new and the installed module (in
# separate processes) to tell whether both were built with the same secrets.
PROBE_VALUE = "plugin-loader: same secrets?"
# The file in the target directory that install and rollback hold locked for
# their whole run; the holder removes it before letting go.
LOCK_NAME = f".{MODULE_NAME}.lock"
# How long a run waits for another one in the same directory, by default.
LOCK_WAIT = 120

PROBE = r"""
import importlib.machinery, importlib.util, json, sys, warnings
path, value = sys.argv[1], sys.argv[2]
loader = importlib.machinery.ExtensionFileLoader("PluginLoader", path)
spec = importlib.util.spec_from_file_location("PluginLoader", path, loader=loader)
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    m = importlib.util.module_from_spec(spec)
    loader.exec_module(m)
found = {"version": getattr(m, "__version__", "unknown"),
         "warnings": [str(w.message) for w in caught]}
if hasattr(m, "_build_info"):
    found["build"] = m._build_info()
    found["iv"] = m._iv_file_check()["state"]
    if found["iv"] == "ok":
        sys.modules["public"] = None  # never makes an IV file
        found["enciphered"] = m.db_encrypt(value)["msg"]
print(json.dumps(found))
"""


def probe(path, shown=None):
    """What a fresh interpreter finds in the module file: its version, build
    settings, the warnings it gives on import, and whether it reads the
    panel's IV file.  Failure, naming the file as shown, when it cannot be
    imported."""
    r = subprocess.run([sys.executable, "-I", "-c", PROBE, str(path), PROBE_VALUE],
                       capture_output=True, text=True, timeout=120, cwd="/")
    if r.returncode != 0:
        last = (r.stderr.strip().splitlines() or ["no output"])[-1]
        raise Failure(f"{shown or path} cannot be imported by {sys.executable}: {last}")
    return json.loads(r.stdout.strip().splitlines()[-1])


def differences(new, old):
    """Why the new module would not read what the installed one wrote."""
    found = []
    if "build" not in new or "build" not in old:
        return found
    new_print = new["build"].get("secrets_fingerprint")
    old_print = old["build"].get("secrets_fingerprint")
    if new["build"]["panel_root"] != old["build"]["panel_root"]:
        found.append(f"its panel root {new['build']['panel_root']} is not the installed "
                     f"module's {old['build']['panel_root']}")
    elif old["iv"] == "ok" and new["iv"] != "ok":
        found.append("it cannot read the panel's IV file (built with another IV_FILE_SECRET)")
    elif "enciphered" in old and new.get("enciphered") != old["enciphered"]:
        found.append("it enciphers database values differently (built with other secrets)")
    elif new_print and old_print and new_print != old_print:
        # Also where no IV file exists yet to tell them apart.
        found.append(f"it was built with other secrets (secrets fingerprint {new_print}, the "
                     f"installed module's {old_print})")
    return found


def builtin_secrets(found):
    """The names of the built-in secrets a probed module was built with."""
    builtin = found.get("build", {}).get("builtin_secrets", {})
    return [name for key, name in SECRETS if builtin.get(key)]


def owner_name(uid):
    try:
        return f"{pwd.getpwuid(uid).pw_name} (uid {uid})"
    except KeyError:
        return f"uid {uid}"


def untrusted(st):
    """Why a module file with this status is not to be run: not a regular
    file, owned by neither root nor the user running the command, or
    writable by group or others.  Empty when it is to be trusted."""
    why = []
    if not stat.S_ISREG(st.st_mode):
        why.append("not a regular file")
    if st.st_uid not in (0, os.geteuid()):
        me = "" if os.geteuid() == 0 else f" or {owner_name(os.geteuid())}"
        why.append(f"owned by {owner_name(st.st_uid)}, not by root{me}")
    if st.st_mode & 0o022:
        who = {0o020: "group", 0o002: "others", 0o022: "group and others"}[st.st_mode & 0o022]
        why.append(f"writable by {who} (mode {stat.S_IMODE(st.st_mode):04o})")
    return why


@contextlib.contextmanager
def trusted_file(path, force):
    """path opened for reading (never through a symbolic link), once its
    status says that no stranger could have written it; --force takes it
    with a warning all the same.  What is read from it is what was checked."""
    if os.path.islink(path):
        raise Failure(f"refused: {path} is a symbolic link, which is never followed")
    try:
        # Not blocking on a FIFO put in the file's place.
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC | os.O_NONBLOCK)
    except OSError as err:
        raise Failure(f"cannot open {path}: {err.strerror}") from None
    with os.fdopen(fd, "rb") as f:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            raise Failure(f"refused: {path} is not a regular file")
        why = untrusted(st)
        if why:
            text = (f"{path} is {' and '.join(why)}: whoever can write a module file chooses "
                    "the code the panel runs, and this command imports it to check it")
            if not force:
                raise Failure(f"refused: {text} (check the file, then give it to root or to "
                              "yourself and take away the write permission of group and "
                              "others; or --force)")
            say(f"warning: {text}")
        yield f


def warn_if_open(directory):
    mode = os.stat(directory).st_mode
    if mode & 0o022:
        say(f"warning: {directory} is writable by group or others (mode "
            f"{stat.S_IMODE(mode):04o}): whoever can write there can replace the module the "
            "panel imports")


@contextlib.contextmanager
def deploy_lock(directory, wait):
    """Holds the lock of directory for the run: an exclusive lock on its lock
    file, waiting up to wait seconds for another run to end.  The file is
    removed before the lock is let go, so a lock taken on a file that is no
    longer at that name is given up and taken again on the current one."""
    path = Path(directory) / LOCK_NAME
    deadline = time.monotonic() + wait
    told = False
    while True:
        try:
            fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
        except OSError as err:
            raise Failure(f"cannot open the lock file {path}: {err.strerror}") from None
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(fd)
            if time.monotonic() >= deadline:
                raise Failure(f"another install or rollback in {directory} holds {path}: gave "
                              f"up after {wait:g} seconds (--wait SECONDS waits longer)") from None
            if not told:
                say(f"waiting for another install or rollback in {directory} to end")
                told = True
            time.sleep(0.05)
            continue
        try:
            current = os.path.samestat(os.fstat(fd), os.lstat(path))
        except FileNotFoundError:
            current = False
        if current:
            break
        os.close(fd)
    try:
        yield
    finally:
        with contextlib.suppress(OSError):
            os.unlink(path)
        os.close(fd)


def copy_into(src, directory, mode):
    """A new file in directory holding the bytes read from the open file src,
    written to disk, owned by the user running the command."""
    fd, tmp = tempfile.mkstemp(prefix=f".{MODULE_NAME}-", suffix=".new", dir=directory)
    try:
        with os.fdopen(fd, "wb") as dst:
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
    with open(path, "rb") as src:
        return copy_into(src, directory, os.stat(path).st_mode & 0o7777)


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


def describe(label, path, found, digest):
    print(f"{label:<9} {path}")
    print(f"  version {found['version']}")
    print(f"  sha256  {digest}")


def fresh_copy(path, directory, force):
    """A copy in directory of the module file at path, made from the file as
    trusted_file checked it, owned by the user running the command, mode
    0755: the one file that is then checked, imported and put in place."""
    with trusted_file(path, force) as src:
        try:
            return copy_into(src, directory, 0o755)
        except OSError as err:
            raise Failure(f"cannot write into {directory}: {err.strerror}") from None


def probed(fresh, shown, how):
    """What probe finds in the fresh copy of shown, said on standard error
    with the warnings the module gives."""
    found = probe(fresh, shown=shown)
    say(f"module {shown} (version {found['version']}; {how})")
    for warning in found["warnings"]:
        say(f"warning: {warning}")
    return found


RESTART = ("restart the panel's Python processes to load it: each running process keeps the "
           "module it loaded")


def cmd_install(opts):
    if not (opts.build or opts.module):
        raise UsageError("install needs the module to install: give --build DIR or --module FILE")
    source, how = locate(opts)
    directory = Path(opts.directory)
    target, previous = installed_names(directory, suffix_of(source.name))
    warn_if_open(directory)
    with deploy_lock(directory, opts.wait):
        return install(source, how, directory, target, previous, opts.force)


def install(source, how, directory, target, previous, force):
    fresh = fresh_copy(source, directory, force)
    try:
        digest = sha256_of(fresh)
        if digest != sha256_of(source):
            raise Failure(f"{source} changed while it was copied: nothing installed")
        if target.exists() and not untrusted(os.lstat(target)) \
                and sha256_of(target) == digest:
            print(f"already installed: {target} is this module (sha256 {digest}); "
                  "nothing changed")
            return 0
        new = probed(fresh, source, how)
        refusals = []
        builtin = builtin_secrets(new)
        if builtin:
            refusals.append(f"it was built with the built-in {', '.join(builtin)}: they stand in "
                            "the repository for anyone to read, and so would every value it "
                            "stores")
        old = {}
        if target.exists():
            why = untrusted(os.lstat(target))
            if why:
                say(f"warning: the installed module is not comparable: {target} is "
                    f"{' and '.join(why)}: not imported")
            else:
                try:
                    old = probe(target)
                except Failure as err:
                    say(f"warning: the installed module is not comparable: {err}")
            problems = differences(new, old)
            if problems:
                refusals.append("; ".join(problems) + ": values it stores would not be readable "
                                "by the installed module, nor the other way round")
        if refusals and not force:
            raise Failure("refused: " + "; ".join(refusals) + " (--force installs it all the "
                          "same)")
        for refusal in refusals:
            say(f"warning: {refusal}")
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
    describe("installed", target, new, digest)
    if previous.exists():
        print(f"previous  {previous} (version {old.get('version', 'unknown')}, sha256 "
              f"{sha256_of(previous)}): plugin-loader rollback {directory} puts it back")
    print(RESTART)
    return 0


def cmd_rollback(opts):
    directory = Path(opts.directory)
    target, previous = installed_names(directory, importlib.machinery.EXTENSION_SUFFIXES[0])
    for suffix in importlib.machinery.EXTENSION_SUFFIXES:
        if os.path.lexists(installed_names(directory, suffix)[1]):
            target, previous = installed_names(directory, suffix)
            break
    warn_if_open(directory)
    with deploy_lock(directory, opts.wait):
        return rollback(directory, target, previous, opts.force)


def rollback(directory, target, previous, force):
    if not os.path.lexists(previous):
        raise Failure(f"no previous module {previous}: nothing to roll back to")
    # As install does: a fresh copy of the checked file goes in place.
    fresh = fresh_copy(previous, directory, force)
    kept = None
    try:
        digest = sha256_of(fresh)
        found = probed(fresh, previous, "kept by install")
        replaced = None
        if target.exists():
            try:
                replaced = "unknown" if untrusted(os.lstat(target)) else probe(target)["version"]
            except Failure:
                replaced = "unknown"
            kept = link_aside(target, directory)
        os.replace(fresh, target)
        if kept is not None:
            os.replace(kept, previous)
            kept = None
        else:
            os.unlink(previous)
        sync_directory(directory)
    except OSError as err:
        raise Failure(f"cannot roll back in {directory}: {err.strerror}") from None
    finally:
        for left in (fresh, kept):
            if left is not None and left.exists():
                left.unlink()
    describe("restored", target, found, digest)
    if previous.exists():
        print(f"previous  {previous} (version {replaced}, sha256 {sha256_of(previous)}): the "
              "module it replaced; a second rollback puts it back")
    print(RESTART)
    return 0
