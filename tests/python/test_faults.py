"""Faults around the module: a read-only or full data directory, a missing
panel root, unreadable plugins, files that vanish between calls, plugins that
call back into the runner, and the panel's hooks failing.  Every call answers,
the process goes on, and nothing stored is lost."""
import json
import os
import shutil
import subprocess

import pytest

ERR_EMPTY = {"status": False, "msg": "failed to load soft list in file. please try again later. -1"}

# http_requests answering every post with the catalog in PL_ANSWER_FILE.
ANSWERING = """
    import os

    class Response:
        status_code = 200

        def __init__(self):
            with open(os.environ["PL_ANSWER_FILE"], "rb") as f:
                self.content = f.read()

    def post(*args):
        return Response()
"""


def catalog(count, pad=200):
    return json.dumps({"list": [{"name": f"p{i}", "ps": "x" * pad} for i in range(count)]})


def msg(text):
    return {"status": False, "msg": text}


@pytest.fixture
def answer(tmp_path):
    """The service's next answer: a catalog far larger than the stored one."""
    path = tmp_path / "answer"
    path.write_text(catalog(1000))
    return {"PL_ANSWER_FILE": str(path)}


def _mount_namespaces_usable():
    if os.geteuid() != 0 or shutil.which("unshare") is None:
        return False
    probe = subprocess.run(["unshare", "-m", "sh", "-c", "mount -t tmpfs -o size=4k t /mnt"],
                           capture_output=True)
    return probe.returncode == 0


needs_mounts = pytest.mark.skipif(not _mount_namespaces_usable(),
                                  reason="needs root and a private mount namespace (unshare -m)")


def in_namespace(script, directory):
    """A prefix running the scenario in a private mount namespace after
    `script` (sh, with $0 the directory) has changed what is mounted there."""
    return ["unshare", "-m", "sh", "-c", script + ' && shift && exec "$@"', str(directory), "-"]


# Stored state first, then the fault, then every function that writes under
# data/: a forced download and the making of a new IV.
STORED_AND_WRITES = """
    import os
    P = PluginLoader
    data = os.environ["PL_DATA"]
    stored = P.db_encrypt("kept value")["msg"]
    before = open(data + "/plugin_bin.pl").read()
    {fault}
    listing = P.get_plugin_list(1)                     # the new answer cannot be stored
    after = open(data + "/plugin_bin.pl").read()
    decrypted = P.db_decrypt(stored)
    {drop_iv}
    fresh = P.db_encrypt("v")
    emit({{"listed": len(listing["list"]), "kept": after == before, "decrypted": decrypted,
          "fresh": fresh["status"], "files": sorted(os.listdir(data))}})
"""

FILL = """def fill():
        filler = os.open(data + "/filler", os.O_WRONLY | os.O_CREAT | os.O_APPEND)
        try:
            while True:
                os.write(filler, b"f" * 4096)
        except OSError:
            pass
        os.close(filler)
    fill()"""


@pytest.mark.parametrize("fault, files", [
    # Files may not grow past 64 KiB: the new catalog does not fit, a new IV does.
    ("file size limit", ["div.pl", "plugin_bin.pl"]),
    # The IV file is made first, then the directory turns read-only.
    ("read-only", ["div.pl", "plugin_bin.pl"]),
    # A small file system of its own, filled up once the state is stored: no
    # new catalog and no new IV file fit.
    ("full", ["filler", "plugin_bin.pl"]),
])
def test_data_directory_that_takes_no_writes(run, panel, answer, fault, files):
    panel.write("data/plugin_bin.pl", catalog(60))
    data = panel.path("data")
    drop_iv = 'os.unlink(data + "/div.pl")'
    prefix = ()
    if fault == "file size limit":
        code = STORED_AND_WRITES.format(fault="""import resource, signal
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (65536, resource.RLIM_INFINITY))""",
                                        drop_iv=drop_iv)
    else:
        if not _mount_namespaces_usable():
            pytest.skip("needs root and a private mount namespace (unshare -m)")
        if fault == "read-only":
            code = STORED_AND_WRITES.format(fault="""import subprocess
    subprocess.run(["mount", "-o", "remount,bind,ro", data], check=True)""", drop_iv="")
            prefix = in_namespace('mount --bind "$0" "$0"', data)
        else:
            code = STORED_AND_WRITES.format(fault=FILL, drop_iv=drop_iv + "; fill()")
            prefix = in_namespace(
                'cp -a "$0" /tmp/pl-data-copy.$$ && mount -t tmpfs -o size=512k t "$0"'
                ' && cp -a /tmp/pl-data-copy.$$/. "$0" && rm -rf /tmp/pl-data-copy.$$', data)
    r = run(code, stubs={"http_requests": ANSWERING}, prefix=prefix,
            env={**answer, "PL_DATA": str(data)})
    assert r.returncode == 0, r.stderr
    v = r.value
    assert v["listed"] == 60 and v["kept"], v  # the old catalog is still whole and listed
    assert v["decrypted"] == {"status": True, "msg": "kept value"}
    assert v["fresh"] is True
    assert v["files"] == files  # and no temporary file left behind


def test_missing_panel_root(run, panel, answer):
    shutil.rmtree(panel.root)
    r = run(f"""
        import os
        P = PluginLoader
        emit([P.plugin_run("demo", "get_info", {{}}), P.module_run("site", "get", {{}}),
              P.get_module({str(panel.path("class/x.py"))!r}), P.get_plugin_list(1),
              P.parse_plugin_list(1), P.db_decrypt(P.db_encrypt("v")["msg"]), P.py_clear(1)])
    """, stubs={"http_requests": ANSWERING}, env=answer)
    assert r.returncode == 0, r.stderr
    assert r.value == [msg("plugin not found"), msg("module not found"), msg("module not found"),
                       ERR_EMPTY, False, {"status": True, "msg": "v"}, 1]
    assert not panel.root.exists()  # nothing is created on the way


def test_unreadable_plugin_directory_and_entry(run, panel):
    if os.geteuid() != 0 or shutil.which("setpriv") is None:
        pytest.skip("needs root, to run the scenario without root's capabilities (setpriv)")
    for name in ("locked", "sealed", "open"):
        panel.write(f"plugin/{name}/{name}_main.py",
                    f"class {name}_main:\n    def f(self, a):\n        return {name!r}\n")
    panel.path("plugin/locked").chmod(0)
    panel.path("plugin/sealed/sealed_main.py").chmod(0)
    # Without its capabilities root is held to the permission bits like
    # anyone else (the panel may run so).
    r = run("""
        P = PluginLoader
        emit([P.plugin_run("locked", "f", 0), P.plugin_run("sealed", "f", 0),
              P.plugin_run("open", "f", 0), P.module_run("x", "f", 0)])
    """, prefix=["setpriv", "--inh-caps=-all", "--bounding-set=-all", "--"])
    assert r.returncode == 0, r.stderr
    sealed = panel.path("plugin/sealed/sealed_main.py")
    assert r.value == [msg("plugin not found"), msg(f"load error: cannot read {sealed}"), "open",
                       msg("module not found")]


SECOND = "class demo_main:\n    def f(self, a):\n        return 'second'\nclass main(demo_main): pass\n"


def test_files_deleted_and_replaced_between_calls(run, panel):
    plugin = panel.write("plugin/demo/demo_main.py",
                         "class demo_main:\n    def f(self, a):\n        return 'first'\n")
    module = panel.write("class/abcModel/toolModel.py",
                         "class main:\n    def f(self, a):\n        return 'first'\n")
    r = run(f"""
        import os
        P = PluginLoader
        plugin, module = {str(plugin)!r}, {str(module)!r}
        out = [P.plugin_run("demo", "f", 0), P.module_run("tool", "f", 0)]
        os.remove(plugin); os.remove(module)
        out += [P.plugin_run("demo", "f", 0), P.module_run("tool", "f", 0), P.get_module(module)]
        for path in (plugin, module):
            with open(path, "w") as f:
                f.write({SECOND!r})
            os.utime(path, (1, 1))  # another modification time than the first file's
        out += [P.plugin_run("demo", "f", 0), P.module_run("tool", "f", 0)]
        emit(out)
    """)
    assert r.value == ["first", "first", msg("plugin not found"), msg("module not found"),
                       msg("module not found"), "second", "second"]


def test_plugin_calling_back_into_the_runner(run, panel):
    panel.write("plugin/rec/rec_main.py", """
        import PluginLoader

        class rec_main:
            def nested(self, n):
                return n if n == 0 else ["level", PluginLoader.plugin_run("rec", "nested", n - 1)]

            def endless(self, args):
                return PluginLoader.plugin_run("rec", "endless", args)
    """)
    r = run("""
        import sys
        P = PluginLoader
        deep = P.plugin_run("rec", "nested", 50)
        depth = 0
        while isinstance(deep, list):
            depth, deep = depth + 1, deep[1]
        emit([depth, deep])
        emit(P.plugin_run("rec", "endless", 0))
        emit(P.plugin_run("rec", "nested", 2))  # the process goes on as before
    """)
    assert r.returncode == 0, r.stderr
    depth_and_last, endless, after = r.out
    assert depth_and_last == [50, 0]
    # The recursion ends in an error result of the innermost run, handed up.
    assert endless["status"] is False and endless["msg"], endless
    assert after == ["level", ["level", 0]]


@pytest.mark.parametrize("hook", [
    "def get_div(text):\n    raise SystemExit(4)\n",
    "def get_div(text):\n    raise KeyboardInterrupt\n",
    "raise RuntimeError('public fails to import')\n",
])
def test_failing_iv_hook_leaves_the_process_running(run, panel, hook):
    r = run("""
        P = PluginLoader
        try:
            first = P.db_encrypt("v")
            emit([first["status"], P.db_decrypt(first["msg"]), "still running"])
        except KeyboardInterrupt:  # the host's own, never a failed hook
            emit("KeyboardInterrupt")
    """, stubs={"public": hook})
    assert r.returncode == 0, r.stderr
    assert r.value == ("KeyboardInterrupt" if "KeyboardInterrupt" in hook else
                       [True, {"status": True, "msg": "v"}, "still running"])
    assert not panel.path("data/div.pl").exists()


@pytest.mark.parametrize("module", [
    "def post(*a):\n    raise SystemExit(5)\n",
    "raise ImportError('http_requests is broken')\n",
    "class R:\n    @property\n    def status_code(self):\n        raise OSError('no status')\n"
    "def post(*a):\n    return R()\n",
    "class R:\n    status_code = 200\n    content = None\ndef post(*a):\n    return R()\n",
    "def post(*a):\n    return None\n",
])
def test_failing_http_module_keeps_the_catalog(run, panel, module):
    old = catalog(60)
    panel.write("data/plugin_bin.pl", old)
    r = run("""
        P = PluginLoader
        emit([len(P.get_plugin_list(1)["list"]), P.parse_plugin_list(1), "still running"])
    """, stubs={"http_requests": module})
    assert r.returncode == 0, r.stderr
    assert r.value == [60, True, "still running"]
    assert panel.read("data/plugin_bin.pl") == old
    assert sorted(p.name for p in panel.path("data").iterdir()) in (["plugin_bin.pl"],
                                                                     ["plugin_bin.pl",
                                                                      "plugin_bin.pl.err"])
