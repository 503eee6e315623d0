"""The build's settings and secrets, what the module says about itself, and
its type stub."""
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import venv
from pathlib import Path

import pytest

from harness import MODULE_FILE_NAME, REPO

SAMPLES = Path(__file__).parent / "typing_samples"
NAMES = ["plugin_run", "module_run", "get_plugin_list", "py_clear", "db_encrypt",
         "db_decrypt", "get_module", "parse_plugin_list"]


def pyproject_version():
    return re.search(r'^version = "([^"]+)"$', (REPO / "pyproject.toml").read_text(),
                     re.M).group(1)


def configure(tmp_path, *settings):
    """Configures (only) a scratch build; the secrets file goes in tmp_path."""
    return subprocess.run(
        ["cmake", "-S", str(REPO), "-B", str(tmp_path / "b"),
         f"-DPython3_EXECUTABLE={sys.executable}", *settings],
        capture_output=True, text=True, timeout=120)


def secrets_file(tmp_path, lines, end="\n"):
    path = tmp_path / "secrets"
    path.write_bytes((("\n".join(lines)) + end).encode("utf-8"))
    return f"-DPL_SECRETS_FILE={path}"


GOOD = ["A" * 32, "B" * 32, "C" * 32]


@pytest.mark.parametrize("settings, line", [
    (["-DDB_FIELD_SECRET=abcdé" + "x" * 26], "DB_FIELD_SECRET: character 5 is byte 0xc3 "
                                             "(a non-ASCII character)"),
    (["-DIV_FILE_SECRET=" + "x" * 31], "IV_FILE_SECRET must be exactly 32 characters long, "
                                       "it has 31"),
    (["-DSERVICE_DOMAIN=https://zq.example"], "SERVICE_DOMAIN must be a host name"),
    (["-DSERVICE_DOMAIN=zq.example:8080"], "SERVICE_DOMAIN must be a host name"),
    (["-DPANEL_ROOT=/" + "r" * 144], "PANEL_ROOT is 145 bytes long; at most 144 leave room"),
    (["-DSERVICE_URL=ftp://zq.example"], "SERVICE_URL must be an http:// or https:// address"),
    ("two lines", "PL_SECRETS_FILE must hold exactly three lines"),
    ("crlf", "DB_FIELD_SECRET (line 1 of PL_SECRETS_FILE): character 33 is byte 0x0d "
             "(a Windows line end?)"),
    ("file and -D", "DB_FIELD_SECRET is given both in PL_SECRETS_FILE and with "
                    "-DDB_FIELD_SECRET"),
])
def test_configure_refuses_bad_settings_in_one_line(tmp_path, settings, line):
    if settings == "two lines":
        settings = [secrets_file(tmp_path, GOOD[:2])]
    elif settings == "crlf":
        settings = [secrets_file(tmp_path, [s + "\r" for s in GOOD])]
    elif settings == "file and -D":
        settings = [secrets_file(tmp_path, GOOD), "-DDB_FIELD_SECRET=" + "D" * 32]
    r = configure(tmp_path, *settings)
    assert r.returncode != 0
    # The whole message stands on one line of the error report.
    assert [ln for ln in r.stderr.splitlines() if line in ln], r.stderr


def test_configure_summary_and_built_in_secret_warning(tmp_path):
    root = "/" + "r" * 143  # the longest root accepted
    own = configure(tmp_path, f"-DPANEL_ROOT={root}", "-DSERVICE_DOMAIN=zq.example",
                    secrets_file(tmp_path, ["a b;c\\d\"e" + "x" * 22 + " ", *GOOD[1:]]))
    assert own.returncode == 0, own.stderr
    assert "WARNING" not in own.stderr.upper()
    for text in (f"panel root: {root}", "service domain: zq.example",
                 "service URL: https://www.zq.example", "TLS verification: off",
                 "DB_FIELD_SECRET: own, from PL_SECRETS_FILE"):
        assert text in own.stdout
    # Only the path of the secrets file is kept, never a secret.
    assert "a b;c" not in (tmp_path / "b" / "CMakeCache.txt").read_text()
    # The fingerprint is taken over the secrets' exact bytes, ';' and '\' included.
    fingerprint = hashlib.sha256(b"PluginLoader secrets fingerprint\n"
                                 + (tmp_path / "secrets").read_bytes()).hexdigest()[:16]
    assert json.loads((tmp_path / "b" / "build_info.json").read_text())[
        "secrets_fingerprint"] == fingerprint

    shutil.rmtree(tmp_path / "b")
    mixed = configure(tmp_path, "-DIV_FILE_SECRET=" + "I" * 32)
    assert mixed.returncode == 0, mixed.stderr
    warning = " ".join(mixed.stderr.split())
    assert ("built-in secrets in use (DB_FIELD_SECRET, DB_FALLBACK_IV_SECRET): for trying the "
            "module only: a panel must choose its own") in warning
    assert "IV_FILE_SECRET: own, from -DIV_FILE_SECRET (kept in CMakeCache.txt)" in mixed.stdout


def test_no_secret_or_derived_key_in_the_build_directory(build_dir, secrets):
    derived = [secrets["db_field_secret"][0::2], secrets["iv_file_secret"][0::2],
               secrets["iv_file_secret"][1::2], secrets["db_fallback_iv_secret"][0::2]]
    needles = [s.encode() for s in [*secrets.values(), *derived]]
    found = []
    for path in build_dir.rglob("*"):
        if path.is_file() and not path.is_symlink():
            data = path.read_bytes()
            found += [(str(path), n) for n in needles if n in data]
    assert found == []


def test_functions_describe_themselves(run):
    r = run("""
        import inspect, pydoc
        names = [n for n in vars(PluginLoader) if not n.startswith("_")]
        sigs = {n: str(inspect.signature(getattr(PluginLoader, n))) for n in names}
        kinds = {p.kind.name for n in names
                 for p in inspect.signature(getattr(PluginLoader, n)).parameters.values()}
        emit({"sigs": sigs, "kinds": sorted(kinds), "version": PluginLoader.__version__,
              "doc": PluginLoader.db_encrypt.__doc__,
              "help": pydoc.render_doc(PluginLoader.plugin_run, renderer=pydoc.plaintext)})
    """)
    v = r.value
    assert v["sigs"] == {
        "plugin_run": "(mod_name, def_name, def_args, /)",
        "module_run": "(mod_name, def_name, def_args, /)",
        "get_plugin_list": "(force=0, /)", "py_clear": "(obj, /)", "db_encrypt": "(text, /)",
        "db_decrypt": "(text, /)", "get_module": "(filename, /)",
        "parse_plugin_list": "(force, /)"}
    assert list(v["sigs"]) == NAMES
    assert v["kinds"] == ["POSITIONAL_ONLY"]
    assert v["version"] == pyproject_version()
    assert v["doc"] == "数据库加密"
    assert "plugin_run(mod_name, def_name, def_args, /)" in v["help"]
    assert "执行插件方法(插件名,方法名,参数)" in v["help"]


@pytest.fixture
def no_sanitizer(build_info):
    # Type checks and packaging do not change under the sanitizers: once is enough.
    if build_info["sanitize"]:
        pytest.skip("checked on the plain build")


def mypy(*args, env=None):
    return subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", *args],
                          capture_output=True, text=True, env=env, timeout=300)


def test_stub_matches_module_and_checks_panel_code(build_dir, no_sanitizer, tmp_path):
    stubs = tmp_path / "stubs"
    stubs.mkdir()
    shutil.copy(REPO / "PluginLoader.pyi", stubs)
    env = dict(os.environ, PYTHONPATH=str(build_dir), MYPYPATH=str(stubs))
    stubtest = subprocess.run([sys.executable, "-m", "mypy.stubtest", "PluginLoader"],
                              capture_output=True, text=True, env=env, timeout=300)
    assert stubtest.returncode == 0, stubtest.stdout + stubtest.stderr

    check_samples(lambda *args: mypy(*args, env=env))


def check_samples(mypy_run):
    """mypy passes the sample panel code and refuses exactly the marked misuses."""
    good = mypy_run("--strict", str(SAMPLES / "panel_code.py"))
    assert good.returncode == 0, good.stdout
    bad = mypy_run(str(SAMPLES / "misuse.py"))
    refused = {int(n) for n in re.findall(r"misuse\.py:(\d+): error", bad.stdout)}
    marked = {i for i, line in enumerate((SAMPLES / "misuse.py").read_text().splitlines(), 1)
              if line.endswith("# refused")}
    assert refused == marked, bad.stdout


# It builds the module from scratch: longer than the usual limit of a test.
@pytest.mark.timeout(900)
def test_pip_install_into_a_fresh_environment(no_sanitizer, tmp_path):
    env_dir = tmp_path / "venv"
    # The interpreter's own packages (mypy) are seen from the environment.
    venv.create(env_dir, with_pip=True, system_site_packages=True)
    py = env_dir / "bin" / "python"
    pip = subprocess.run([str(py), "-m", "pip", "install", "-q", "--disable-pip-version-check",
                          str(REPO)], capture_output=True, text=True, timeout=900)
    assert pip.returncode == 0, pip.stdout[-3000:] + pip.stderr[-3000:]
    probe = subprocess.run(
        [str(py), "-W", "always", "-c",
         "import PluginLoader, os; print(PluginLoader.__version__); "
         "print(sorted(os.listdir(os.path.dirname(PluginLoader.__file__))))"],
        capture_output=True, text=True, timeout=60, cwd=tmp_path)
    assert probe.returncode == 0, probe.stderr
    version, listing = probe.stdout.splitlines()
    assert version == pyproject_version()
    assert "PluginLoader.pyi" in listing and MODULE_FILE_NAME in listing
    # A build with the repository's secrets says so whenever it is imported,
    # and is installed into a panel only with --force.
    assert "RuntimeWarning: PluginLoader was built with the repository's built-in secrets" \
        in probe.stderr
    module = next(env_dir.glob(f"lib/python*/site-packages/{MODULE_FILE_NAME}"))
    refused = subprocess.run([str(REPO / "scripts" / "plugin-loader"), "--module", str(module),
                              "install", str(tmp_path)], capture_output=True, text=True,
                             env=dict(os.environ, PL_PYTHON=sys.executable), timeout=120)
    assert refused.returncode == 1 and not (tmp_path / MODULE_FILE_NAME).exists()
    assert "refused: it was built with the built-in DB_FIELD_SECRET, IV_FILE_SECRET, " \
        "DB_FALLBACK_IV_SECRET" in refused.stderr

    # Type checkers find the stub package there with no search path set.
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}

    def in_env(*args):
        return subprocess.run([str(py), "-m", *args], capture_output=True, text=True, env=env,
                              cwd=tmp_path, timeout=300)

    stubtest = in_env("mypy.stubtest", "PluginLoader")
    assert stubtest.returncode == 0, stubtest.stdout + stubtest.stderr
    check_samples(lambda *args: in_env("mypy", "--no-incremental", *args))


def test_scripts_stop_at_once_naming_what_is_missing(tmp_path):
    # Nothing on the search path: the first command asked for is missing.
    r = subprocess.run(["bash", "-c", 'source scripts/lib.sh; PATH="$1"; pl_require_tools '
                        'cmake clang strace; echo went on', "scripts/test", str(tmp_path)],
                       cwd=REPO, capture_output=True, text=True, timeout=60)
    assert (r.returncode, r.stdout) == (1, "")
    assert r.stderr.splitlines() == [
        "scripts/test: the command 'cmake' is missing after the install step: add the Debian "
        "package 'cmake' to PL_APT_PACKAGES in scripts/lib.sh"]
    r = subprocess.run(["bash", "-c", "source scripts/lib.sh; pl_require_files "
                        f"{tmp_path}/no-such.a:libclang-rt-14-dev; echo went on"],
                       cwd=REPO, capture_output=True, text=True, timeout=60)
    assert r.returncode == 1 and "went on" not in r.stdout
    assert "'libclang-rt-14-dev'" in r.stderr and len(r.stderr.splitlines()) == 1


# The rooms of the core from the bottom up; a room includes only from itself
# and the rooms on lower levels (crypto and hostinfo share one).
ROOM_LEVELS = {"util": 0, "crypto": 1, "hostinfo": 1, "loader": 2, "transport": 3, "catalog": 4,
               "surface": 5}


def test_includes_run_down_between_rooms():
    upward = [f"{path.relative_to(REPO)}: {line}"
              for room, level in ROOM_LEVELS.items() for path in (REPO / room).iterdir()
              if path.suffix in (".c", ".cpp", ".h")
              for line in path.read_text().splitlines()
              if (m := re.match(r'#include "(\w+)/', line)) and m.group(1) != room
              and ROOM_LEVELS.get(m.group(1), 99) >= level]
    assert upward == []
