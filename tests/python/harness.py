"""Runs PluginLoader scenarios, each in a fresh Python process.

The module keeps process-wide caches, so every scenario starts a new
interpreter with the test build of the module, the repository's stand-ins of
the panel's modules (or a scenario's own versions) on its path, and a fresh
panel tree at the build's panel root.
"""
import json
import os
import shlex
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import textwrap
from dataclasses import dataclass, field
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
# What depends on the interpreter running the tests (the build follows it):
# the extension suffix it imports, the module's file name, and the first
# compiled-plugin name the runner looks for ("m" after the version).
USUAL_SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")
MODULE_FILE_NAME = "PluginLoader" + USUAL_SUFFIX
RUNNER_SUFFIX = ".cpython-%d%dm-x86_64-linux-gnu.so" % sys.version_info[:2]
STANDINS = REPO / "standins"
OUT_MARK = "@@OUT "

PRELUDE = """\
import json as _json, sys as _sys
_sys.path[:0] = {paths!r}
import PluginLoader

def emit(value):
    print({mark!r} + _json.dumps(value, default=repr, ensure_ascii=False), flush=True)
"""


# An http_requests that is the repository's stand-in, except that every host
# name in the service's domain resolves to 127.0.0.1, so that node routes
# (which are host names) reach a loopback server.  Format with domain=.
NODE_ON_LOOPBACK = """
import importlib.util, pathlib, socket, sys

_resolve = socket.getaddrinfo

def _on_loopback(host, *args, **kwargs):
    if isinstance(host, str) and host.endswith(".{domain}"):
        host = "127.0.0.1"
    return _resolve(host, *args, **kwargs)

socket.getaddrinfo = _on_loopback
_here = pathlib.Path(__file__).resolve().parent
_standin = next(pathlib.Path(p).resolve() / "http_requests.py" for p in sys.path
                if pathlib.Path(p).resolve() != _here
                and (pathlib.Path(p) / "http_requests.py").exists())
_spec = importlib.util.spec_from_file_location("_standin_http_requests", _standin)
_module = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(_module)
post, get = _module.post, _module.get
"""


@dataclass
class Result:
    returncode: int
    stdout: str
    stderr: str
    out: list = field(default_factory=list)

    @property
    def value(self):
        """The one value the scenario emitted."""
        assert len(self.out) == 1, f"expected one emitted value, got {self.out!r}\n{self.stderr}"
        return self.out[0]


class Panel:
    """A fresh panel tree at the test build's panel root."""

    SUBDIRS = ("data", "plugin", "class", "mod/project")

    def __init__(self, root):
        self.root = Path(root)

    def reset(self):
        if self.root.resolve() == Path("/www/server/panel"):
            raise RuntimeError("refusing to touch the real panel root")
        if self.root.exists():
            for p in self.root.rglob("*"):
                if p.is_dir() and not p.is_symlink():
                    p.chmod(0o755)  # a scenario may have taken permissions away
            shutil.rmtree(self.root)
        for sub in self.SUBDIRS:
            (self.root / sub).mkdir(parents=True)

    def path(self, rel):
        return self.root / rel

    def write(self, rel, text, mode=None):
        """Write text (str or bytes) below the panel root, making directories."""
        p = self.root / rel
        p.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(text, bytes):
            p.write_bytes(text)
        else:
            p.write_text(textwrap.dedent(text))
        if mode is not None:
            p.chmod(mode)
        return p

    def read(self, rel, binary=False):
        p = self.root / rel
        return p.read_bytes() if binary else p.read_text()


class Runner:
    def __init__(self, build_dir, python=sys.executable):
        self.build_dir = Path(build_dir)
        self.python = python

    def __call__(self, code, *, stubs=None, omit=(), timeout=120, env=None, args=(), prefix=()):
        """Run scenario code in a new interpreter.

        stubs: {module name: source} put first on the path (they replace the
        repository's stand-ins); omit: stand-in names left out entirely.
        Inside the code, `PluginLoader` is imported and `emit(value)` reports
        a JSON-serialisable value back.  prefix: a command the interpreter
        runs under (such as unshare); PL_TEST_PYTHON_PREFIX in the
        environment adds one for every scenario (such as valgrind).
        """
        with tempfile.TemporaryDirectory(prefix="pl-scenario-") as tmp:
            tmp = Path(tmp)
            own = tmp / "stubs"
            own.mkdir()
            for name, source in (stubs or {}).items():
                (own / f"{name}.py").write_text(textwrap.dedent(source))
            standins = tmp / "standins"
            standins.mkdir()
            for src in STANDINS.glob("*.py"):
                if src.stem not in omit:
                    shutil.copy(src, standins / src.name)
            script = tmp / "scenario.py"
            paths = [str(own), str(standins), str(self.build_dir)]
            script.write_text(PRELUDE.format(paths=paths, mark=OUT_MARK) + textwrap.dedent(code))
            full_env = dict(os.environ)
            full_env["PYTHONDONTWRITEBYTECODE"] = "1"
            full_env.pop("PYTHONPATH", None)
            full_env.update(env or {})
            proc = subprocess.run(
                [*prefix, *shlex.split(os.environ.get("PL_TEST_PYTHON_PREFIX", "")),
                 self.python, str(script), *args],
                cwd=tmp,
                env=full_env,
                capture_output=True,
                text=True,
                errors="replace",
                timeout=timeout,
            )
        out = [
            json.loads(line[len(OUT_MARK):])
            for line in proc.stdout.splitlines()
            if line.startswith(OUT_MARK)
        ]
        return Result(proc.returncode, proc.stdout, proc.stderr, out)


def cloud_service_module():
    """The repository's stand-in of the cloud service (standins/), imported
    into the test process itself."""
    sys.path.insert(0, str(STANDINS))
    try:
        import cloud_service
    finally:
        sys.path.remove(str(STANDINS))
    return cloud_service
