"""info and doctor: what the module is, and whether an installation is
healthy.  A check is a function giving (healthy, detail); cmd_doctor lists
them, one line each."""
import importlib.util
import json
import os
import re
import stat
import tempfile
import time
from pathlib import Path

from .calls import compiled_names, ignored_compiled
from .common import SECRETS, needs, sha256_of, show


# ---- info ----

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
    if "secrets_fingerprint" in info:
        # Equal for two builds exactly when they were built with the same secrets.
        rows.append(("secrets fingerprint", info["secrets_fingerprint"]))
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


# The largest stored catalog the listing reads, for modules that do not say.
CATALOG_MAX_SIZE = 32 << 20


def read_no_link(path, max_size):
    """The bytes of the regular file at path, as the module reads its files in
    data/: never through a link at path, never blocking, and no more than
    max_size bytes.  (None, why) when it is not read."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except FileNotFoundError:
        return None, "absent"
    except OSError as err:
        if os.path.islink(path):
            return None, "a symbolic link"
        return None, f"cannot be read ({err.strerror})"
    with os.fdopen(fd, "rb") as f:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            return None, "not a regular file"
        if st.st_size > max_size:
            return None, f"larger than {max_size} bytes"
        try:
            data = f.read(max_size + 1)
        except OSError as err:
            return None, f"cannot be read ({err.strerror})"
    if len(data) > max_size:
        return None, f"larger than {max_size} bytes"
    return data, None


def check_catalog(path, max_size=CATALOG_MAX_SIZE):
    data, why = read_no_link(path, max_size)
    if why == "absent":
        return True, "absent: the first listing downloads it"
    if why is not None:
        return False, (f"{why}: the listing never reads it, and downloads the catalog again "
                       "to put a regular file in its place")
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
    fingerprint = (f" (secrets fingerprint {info['secrets_fingerprint']})"
                   if "secrets_fingerprint" in info else "")
    if builtin:
        return False, (f"built-in: {', '.join(builtin)}: they stand in the repository for "
                       f"anyone to read; build with your own PL_SECRETS_FILE{fingerprint}")
    return True, f"the build's own (none is the built-in one){fingerprint}"


# The files the module writes in data/, and the temporary names it writes
# them under first: 16 random letters and digits, or "<pid>.<n>" from earlier
# versions.  One older than an hour was left behind by a writer that ended.
WRITTEN = ("plugin_bin.pl", "plugin_bin.pl.err", "div.pl")
TEMPORARY = re.compile(r"^(?:%s)\.tmp\.(?:[A-Za-z0-9]{16}|[0-9]+\.[0-9]+)$"
                       % "|".join(re.escape(n) for n in WRITTEN))
STALE_SECONDS = 3600


def data_entries(data):
    """(name, lstat result) of each entry of data/; empty when unreadable."""
    try:
        names = sorted(os.listdir(data))
    except OSError:
        return []
    entries = []
    for name in names:
        try:
            entries.append((name, os.lstat(data / name)))
        except OSError:
            pass
    return entries


def check_links(data, entries):
    found = []
    for name, st in entries:
        if stat.S_ISLNK(st.st_mode):
            found.append(f"{name} -> {os.readlink(data / name)}")
        elif name in WRITTEN and stat.S_ISREG(st.st_mode) and st.st_nlink > 1:
            found.append(f"{name} has {st.st_nlink} names")
    if not found:
        return True, "none"
    return False, ("; ".join(found) + ": the module never reads or writes through a link (with "
                   "a link at div.pl, db_encrypt refuses to encipher; if it points to this "
                   "installation's IV file, put a copy of that file in its place); remove them")


def check_write_access(entries):
    """Files in data/ that group or others may write: whoever can rewrite
    them chooses what the module reads (the catalog the panel shows, the
    route its requests take)."""
    found = [f"{name} (mode {stat.S_IMODE(st.st_mode):04o})" for name, st in entries
             if stat.S_ISREG(st.st_mode) and st.st_mode & 0o022]
    if not found:
        return True, "no file in data/ is writable by group or others"
    return False, (f"{', '.join(found)} writable by group or others, who could rewrite what the "
                   "module reads; chmod go-w them (the module writes its own files so)")


def check_iv_access(path):
    try:
        st = os.lstat(path)
    except FileNotFoundError:
        return True, "absent"
    except OSError as err:
        return False, f"cannot be examined ({err.strerror})"
    if not stat.S_ISREG(st.st_mode):
        return True, "no regular file (see the IV file check)"
    mode = stat.S_IMODE(st.st_mode)
    if mode & 0o077:
        return False, (f"mode {mode:04o}: group or others can read it, and with one stored "
                       f"value it gives away every value; chmod 600 {path}")
    return True, f"mode {mode:04o}, its owner's alone"


def check_temporaries(entries):
    now, stale, young = time.time(), [], 0
    for name, st in entries:
        if not TEMPORARY.match(name):
            continue
        if stat.S_ISREG(st.st_mode) and now - st.st_mtime <= STALE_SECONDS:
            young += 1  # a write under way
        else:
            stale.append(name)
    if stale:
        return False, (f"{', '.join(stale)} left behind by writers that ended: the next write "
                       "of that file removes regular ones older than an hour; delete them")
    return True, f"{young} being written" if young else "none left behind"


def cmd_doctor(PL, opts):
    info = needs(PL, "_build_info")()
    root = Path(info["panel_root"])
    iv = needs(PL, "_iv_file_check")()
    account = needs(PL, "_account_check")()
    data = root / "data"
    entries = data_entries(data)
    checks = [
        ("panel root " + str(root), *check_directory(root)),
        ("data/", *check_directory(data)),
        ("IV file data/div.pl", iv["state"] in ("ok", "absent"), iv["detail"]),
        ("IV file access", *check_iv_access(data / "div.pl")),
        ("links in data/", *check_links(data, entries)),
        ("write access in data/", *check_write_access(entries)),
        ("temporary files in data/", *check_temporaries(entries)),
        ("catalog data/plugin_bin.pl",
         *check_catalog(data / "plugin_bin.pl", info.get("catalog_max_size", CATALOG_MAX_SIZE))),
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
