import importlib.util
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from harness import MODULE_FILE_NAME, REPO, Panel, Runner

sys.path.insert(0, str(REPO / "tests"))
import make_secrets  # noqa: E402


def _secrets_file(info=None):
    """The secrets file of the build under test: the one the build was made
    with, else PL_TEST_SECRETS_FILE, else (for a build of our own) one made
    once in build/secrets."""
    given = (info or {}).get("secrets_file") or os.environ.get("PL_TEST_SECRETS_FILE")
    if given:
        return Path(given)
    path = REPO / "build" / "secrets" / "pytest.txt"
    if not path.exists():
        path.parent.mkdir(parents=True, exist_ok=True)
        make_secrets.write_secrets(path)
    return path


def _build_dir():
    given = os.environ.get("PL_TEST_BUILD_DIR")
    if given:
        return Path(given)
    # Run directly with pytest: build our own copy with a scratch panel root.
    version = "%d.%d" % sys.version_info[:2]
    build = REPO / "build" / ("pytest" if version == "3.12" else f"pytest-{version}")
    subprocess.run(
        ["cmake", "-S", str(REPO), "-B", str(build), f"-DPython3_EXECUTABLE={sys.executable}",
         f"-DPANEL_ROOT={build / 'panel'}", f"-DPL_SECRETS_FILE={_secrets_file()}",
         "-DPL_BUILD_TEST_MODULES=ON"],
        check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build), "-j2"], check=True,
                   stdout=subprocess.DEVNULL)
    return build


def need_tool(name):
    """The path of an outside command a test needs.  Missing, the test is
    skipped; under scripts/test (PL_TEST_STRICT) it fails, so that a missing
    install step cannot hide behind a skip."""
    path = shutil.which(name)
    if path is None:
        if os.environ.get("PL_TEST_STRICT"):
            pytest.fail(f"the command {name!r} is not installed")
        pytest.skip(f"{name} not installed")
    return path


def need_module(name):
    """Skips (fails under scripts/test) when the interpreter running the
    tests, which also runs the scenarios, lacks a Python package."""
    if importlib.util.find_spec(name) is None:
        if os.environ.get("PL_TEST_STRICT"):
            pytest.fail(f"the Python package {name!r} is not installed")
        pytest.skip(f"{name} not installed")


def need_greenlets():
    """gevent's greenlets, where they can be checked: greenlet switches by
    copying C stacks, which AddressSanitizer cannot follow (every switch
    reads as stack overflows in whatever frames were copied), so the
    sanitizer run leaves greenlet scenarios to the plain runs."""
    if os.environ.get("PL_TEST_ASAN"):
        pytest.skip("greenlet stack switching is invisible to AddressSanitizer")
    need_module("gevent")


@pytest.fixture(scope="session")
def build_dir():
    return _build_dir()


def _read_build_info(build_dir):
    return json.loads((build_dir / "build_info.json").read_text())


@pytest.fixture(scope="session")
def secrets(build_dir):
    """The three secrets the test build was made with (never in the build
    directory: they come from the secrets file the test scripts write)."""
    return make_secrets.read_secrets(_secrets_file(_read_build_info(build_dir)))


@pytest.fixture(scope="session")
def build_info(build_dir, secrets):
    info = _read_build_info(build_dir)
    assert info["panel_root"] != "/www/server/panel", "tests need a scratch panel root"
    return {**info, **secrets}


@pytest.fixture(scope="session")
def module_file(build_dir):
    return build_dir / MODULE_FILE_NAME


@pytest.fixture
def panel(build_info):
    p = Panel(build_info["panel_root"])
    p.reset()
    yield p


@pytest.fixture
def run(build_dir, panel):
    """Runs a scenario in a fresh interpreter against a fresh panel tree."""
    return Runner(build_dir)
