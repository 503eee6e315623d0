"""The demo end to end, and the operator command over the test build."""
import os
import subprocess
import sys

import pytest

from harness import REPO, STANDINS

CLI = REPO / "scripts" / "plugin-loader"


def cli(build_dir, *args):
    env = dict(os.environ, PL_PYTHON=sys.executable)
    return subprocess.run([str(CLI), "--build", str(build_dir), "-p", str(STANDINS), *args],
                          capture_output=True, text=True, env=env, timeout=120)


# The demo builds its own copy of the module: longer than the usual limit.
@pytest.mark.timeout(600)
def test_demo_walks_every_road():
    env = dict(os.environ, PL_PYTHON=sys.executable)
    proc = subprocess.run([str(REPO / "scripts" / "demo")], capture_output=True, text=True,
                          env=env, timeout=600)
    out = proc.stdout
    assert proc.returncode == 0, proc.stdout[-3000:] + proc.stderr[-3000:]
    assert '"calls_in_process": 2' in out
    assert "ValueError: demo plugin failed on purpose" in out
    assert '{"name": "native", "kind": "compiled"}' in out
    assert "catalog of 300 plugins" in out
    assert "requests the service received so far: 1" in out
    assert "Authorization='zq demo-token'" in out
    assert '"msg": "mysql-root-password"' in out
    assert "[21] py_clear(object())\n    -> 1" in out
    assert out.rstrip().endswith("demo finished")


def test_cli_encrypt_decrypt_round_trip(build_dir, panel):
    enc = cli(build_dir, "encrypt", "s3cret value")
    assert enc.returncode == 0, enc.stderr
    stored = enc.stdout.strip()
    assert stored.endswith("=") and stored != "s3cret value"
    dec = cli(build_dir, "decrypt", stored)
    assert (dec.returncode, dec.stdout) == (0, "s3cret value\n")


def test_cli_error_results_exit_non_zero(build_dir, panel):
    missing = cli(build_dir, "run", "nosuchplugin", "get_info")
    assert missing.returncode == 1
    assert "plugin not found" in missing.stderr
    panel.write("class/projectModel/siteModel.py", """
        class main:
            def boom(self, args):
                raise KeyError(args.key)
    """)
    raised = cli(build_dir, "module", "site", "boom", "key=abc")
    assert raised.returncode == 1
    assert "KeyError: 'abc'" in raised.stderr
    usage = cli(build_dir, "run", "demo")
    assert usage.returncode == 2


def test_cli_runs_a_plugin_with_key_value_arguments(build_dir, panel):
    panel.write("plugin/hello/hello_main.py", """
        class hello_main:
            def greet(self, args):
                return {"hello": args.name, "n": len(vars(args))}
    """)
    r = cli(build_dir, "run", "hello", "greet", "name=panel", "x=1")
    assert r.returncode == 0, r.stderr
    assert '"hello": "panel"' in r.stdout and '"n": 2' in r.stdout
