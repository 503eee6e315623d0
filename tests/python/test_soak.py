"""The leak soak (tests/soak/soak.py) in a short form: every module function,
on success and on each failure path, a few hundred calls in one process."""
import json
import subprocess
import sys

from harness import REPO


def test_short_soak_keeps_memory_and_reference_counts(build_dir, build_info, panel):
    # A sanitizer build holds freed memory back on purpose, so resident
    # memory says nothing there; reference counts are judged all the same.
    rss = [] if not build_info.get("sanitize") else ["--no-rss"]
    proc = subprocess.run(
        [sys.executable, str(REPO / "tests" / "soak" / "soak.py"), str(build_dir),
         "--iterations", "300", "--slow-iterations", "20", *rss],
        capture_output=True, text=True, timeout=600)
    assert proc.stdout, proc.stderr
    summary = json.loads(proc.stdout.splitlines()[-1])
    assert proc.returncode == 0 and summary["failed"] == [], proc.stdout[-4000:] + proc.stderr
    names = [r["name"].split()[0] for r in summary["results"]]
    for function in ("plugin_run", "module_run", "get_plugin_list", "py_clear", "db_encrypt",
                     "db_decrypt", "get_module", "parse_plugin_list"):
        assert names.count(function) >= 3, function  # success and failure paths of each
