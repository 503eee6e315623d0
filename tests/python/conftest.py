import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

from harness import REPO, Panel, Runner


def _build_dir():
    given = os.environ.get("PL_TEST_BUILD_DIR")
    if given:
        return Path(given)
    # Run directly with pytest: build our own copy with a scratch panel root.
    build = REPO / "build" / "pytest"
    subprocess.run(
        ["cmake", "-S", str(REPO), "-B", str(build), f"-DPython3_EXECUTABLE={sys.executable}",
         f"-DPANEL_ROOT={build / 'panel'}", "-DPL_BUILD_TESTS=OFF"],
        check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build), "-j2"], check=True,
                   stdout=subprocess.DEVNULL)
    return build


@pytest.fixture(scope="session")
def build_dir():
    return _build_dir()


@pytest.fixture(scope="session")
def build_info(build_dir):
    info = json.loads((build_dir / "build_info.json").read_text())
    assert info["panel_root"] != "/www/server/panel", "tests need a scratch panel root"
    return info


@pytest.fixture(scope="session")
def module_file(build_dir):
    return build_dir / "PluginLoader.cpython-312-x86_64-linux-gnu.so"


@pytest.fixture
def panel(build_info):
    p = Panel(build_info["panel_root"])
    p.reset()
    yield p


@pytest.fixture
def run(build_dir, panel):
    """Runs a scenario in a fresh interpreter against a fresh panel tree."""
    return Runner(build_dir)
