"""plugin_run: entry kinds, the failure table, search path, object identity, references."""
import shutil
import subprocess
import sysconfig
import textwrap

import pytest
from conftest import need_tool
from harness import RUNNER_SUFFIX, USUAL_SUFFIX

DEMO = """
    made = []
    RESULT = {"kept": True}
    items = setdefault = None   # a module, however dict-like its names


    class demo_main:
        def __init__(self):
            made.append(self)

        def get_info(self, args):
            return RESULT

        def count(self, args):
            return len({id(m) for m in made})

        def boom(self, args):
            raise ValueError("bad")
"""


def msg(text):
    return {"status": False, "msg": text}


def test_source_plugin_result_unchanged_fresh_instances_and_bound_method(run, panel):
    panel.write("plugin/demo/demo_main.py", DEMO)
    panel.write("plugin/demo/index.php", "<?php echo 'php'; ?>")  # ignored: Python wins
    r = run("""
        class Req: pass
        class Getter: plugin_get_object = 1
        P = PluginLoader
        a = P.plugin_run("demo", "get_info", Req())
        mod = __import__("sys").modules[%r]
        second = P.plugin_run("demo", "count", Req())
        bound = P.plugin_run("demo", "count", Getter())
        emit([a is mod.RESULT, second, type(bound).__name__, bound.__self__ is mod.made[-1],
              len(mod.made), bound(None)])
    """ % str(panel.path("plugin/demo/demo_main.py")))
    # two calls, two instances; the bound method's instance is made but not run by the runner
    assert r.value == [True, 2, "method", True, 3, 3]


BRIDGE_OK = """
    class panelPHP:
        def __init__(self, name):
            if name == "ctorfails":
                raise RuntimeError("no bridge")
            self.name = name
        def __getattribute__(self, attr):
            if attr == "exec_php_script" and object.__getattribute__(self, "name") == "noexec":
                raise AttributeError(attr)
            return object.__getattribute__(self, attr)
        def exec_php_script(self, args):
            if self.name == "execfails":
                raise OSError("php died")
            return ["php", self.name, args]
"""

FAIL_PLUGINS = {
    "noclass": "VALUE = 1234567\n",
    "lazyclass": """
        calls = []
        def __getattr__(name):
            calls.append(name)
            if len(calls) == 1:
                return object
            raise RuntimeError("second lookup")
    """,
    "ctorfails": """
        class ctorfails_main:
            def __init__(self):
                raise RuntimeError("no instance")
    """,
    "flaky": """
        class Once:
            seen = 0
            def __get__(self, obj, owner):
                Once.seen += 1
                if Once.seen > 1:
                    raise RuntimeError("second fetch")
                return lambda args: None
        class flaky_main:
            run = Once()
    """,
    "tiny": "x = 1234\n",  # 9 bytes
}


def test_failure_table(run, panel):
    for name, src in FAIL_PLUGINS.items():
        panel.write(f"plugin/{name}/{name}_main.py", src)
    panel.write("plugin/demo/demo_main.py", DEMO)
    for name in ("noexec", "ctorfails2", "execfails", "phpok"):
        panel.write(f"plugin/{name}/index.php", "<?php ?>")
    panel.write("plugin/soonly/soonly_main.so", b"\x7fELF")
    r = run("""
        P = PluginLoader
        calls = [("", "x"), ("demo", ""), ("../x", "x"), ("demo;ls", "x"), ("demo", "get_info()"),
                 ("a/b", "x"), ("my plugin", "x"), ("soonly", "x"), ("tiny", "x"),
                 ("noclass", "x"), ("lazyclass", "x"), ("ctorfails", "x"), ("demo", "nope"),
                 ("flaky", "run"), ("noexec", "x"), ("execfails", "x"), ("phpok", "anything")]
        emit([P.plugin_run(n, d, 7) for n, d in calls])
    """, stubs={"panelPHP": BRIDGE_OK})
    special = msg("parameter incorrect: module_name and def_name cannot contains special symbols.")
    empty = msg("parameter incorrect: module_name and def_name cannot be empty.")
    assert r.value == [
        empty, empty, special, special, special,
        msg("plugin not found"), msg("plugin not found"), msg("plugin not found"),
        msg("load plugin failed: invalid plugin entry"),
        msg("class not found: noclass_main"), msg("failed to get class"),
        msg("failed to instance class"), msg("not found method [nope] in plugin [demo]"),
        msg("failed to get specified method"), msg("exec_php_script() not found"),
        msg("An error occurred when PHP plugin running."), ["php", "phpok", 7]]
    assert "OSError: php died" in r.stderr and "AttributeError: exec_php_script" in r.stderr


@pytest.mark.parametrize("bridge, expected, printed", [
    (None, "import panelPHP failed", "ModuleNotFoundError"),
    ("x = 1\n", "get panelPHP failed", "AttributeError"),
    ("class panelPHP:\n    def __init__(self, name): raise RuntimeError('no')\n",
     "load PHP plugin failed", "RuntimeError: no"),
    # printed like any other error; the panel's process goes on
    ("class panelPHP:\n    def __init__(self, name): raise SystemExit(3)\n",
     "load PHP plugin failed", "SystemExit: 3"),
])
def test_php_bridge_failures(run, panel, bridge, expected, printed):
    panel.write("plugin/p/index.php", "<?php ?>")
    stubs = {"panelPHP": bridge} if bridge else {}
    r = run('emit(PluginLoader.plugin_run("p", "x", {}))', stubs=stubs,
            omit=() if bridge else ("panelPHP",))
    assert r.returncode == 0, r.stderr
    assert r.value == msg(expected)
    assert printed in r.stderr


def test_php_standin_runs_php_or_says_it_is_missing(run, panel):
    panel.write("plugin/p/index.php", '<?php $in = json_decode(file_get_contents("php://stdin"), true);'
                                      ' echo json_encode(["got" => $in["a"]]); ?>')
    code = 'emit(PluginLoader.plugin_run("p", "ignored", {"a": 5}))'
    env = {"PL_PANEL_ROOT": str(panel.root)}
    assert run(code, env={**env, "PATH": "/nonexistent"}).value == msg("PHP is not available")
    need_tool("php")
    assert run(code, env=env).value == {"got": 5}


EXT_C = r"""
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#define CAT2(a, b) a##b
#define CAT(a, b) CAT2(a, b)
#define STR2(a) #a
#define STR(a) STR2(a)
static struct PyModuleDef def = {PyModuleDef_HEAD_INIT, STR(NAME), NULL, -1, NULL};
PyMODINIT_FUNC CAT(PyInit_, NAME)(void) {
  PyObject *m = PyModule_Create(&def), *d, *r;
  if (!m) return NULL;
  d = PyModule_GetDict(m);
  r = PyRun_String("class " STR(NAME) ":\n    def info(self, a):\n        return 'compiled'\n",
                   Py_file_input, d, d);
  if (!r) { Py_DECREF(m); return NULL; }
  Py_DECREF(r);
  return m;
}
"""


@pytest.fixture(scope="module")
def extension(tmp_path_factory):
    """Builds a small extension module `<plugin>_main` with class `<plugin>_main`."""
    built = {}

    def build(plugin):
        if plugin not in built:
            d = tmp_path_factory.mktemp("ext")
            (d / "ext.c").write_text(EXT_C)
            out = d / f"{plugin}_main.so"
            subprocess.run(["cc", "-shared", "-fPIC", f"-DNAME={plugin}_main",
                            "-I", sysconfig.get_paths()["include"], str(d / "ext.c"), "-o",
                            str(out)], check=True)
            built[plugin] = out.read_bytes()
        return built[plugin]
    return build


SOURCE = "class {0}_main:\n    def info(self, a):\n        return 'source'\n"
COMPILED_CODE = """
    import sys
    r = PluginLoader.plugin_run("{0}", "info", None)
    emit([r, "{0}_main" in sys.modules, any(k.endswith("/{0}_main.py") for k in sys.modules)])
"""


@pytest.mark.parametrize("suffix, real, omit, expected", [
    (".so", True, (), ["compiled", True, False]),
    (RUNNER_SUFFIX, False, (), ["source", True, False]),  # found by name
    (USUAL_SUFFIX, True, (), ["source", False, True]),  # no compiled entry
    (".so", True, ("public",), [msg("failed to load plugin!"), False, False]),
])
def test_compiled_entries(run, panel, extension, suffix, real, omit, expected):
    panel.write("plugin/cx/cx_main.py", SOURCE.format("cx"))
    panel.write(f"plugin/cx/cx_main{suffix}", extension("cx") if real else b"not an ELF file")
    r = run(COMPILED_CODE.format("cx"), omit=omit)
    assert r.value == expected


def test_sys_path_append_once_per_name_retried_while_public_is_missing(run, panel):
    panel.write("plugin/a/a_main.py", "class a_main:\n    def f(self, x): return 1\n")
    panel.write("plugin/b/index.php", "<?php ?>")
    r = run("""
        import sys, types
        P = PluginLoader
        P.plugin_run("a", "f", None)   # public missing: printed, tried again next time
        calls = []
        public = types.ModuleType("public")
        public.sys_path_append = calls.append
        sys.modules["public"] = public
        for name in ("a", "a", "b", "b", "a"):
            P.plugin_run(name, "f", None)
        emit(calls)
    """, omit=("public",))
    assert r.value == [str(panel.path("plugin/a")), str(panel.path("plugin/b"))]
    assert "ModuleNotFoundError" in r.stderr


def test_raising_sys_path_append_is_printed_and_recorded(run, panel):
    panel.write("plugin/a/a_main.py", "class a_main:\n    def f(self, x): return 'ran'\n")
    public = "calls = []\ndef sys_path_append(p):\n    calls.append(p)\n    raise OSError('nope')\n"
    r = run("""
        import public
        emit([PluginLoader.plugin_run("a", "f", None) for _ in range(3)] + [len(public.calls)])
    """, stubs={"public": public})
    assert r.value == ["ran", "ran", "ran", 1]
    assert r.stderr.count("OSError: nope") == 1


def test_traceback_result_versus_module_run_exception(run, panel):
    panel.write("plugin/demo/demo_main.py", DEMO)
    panel.write("class/abcModel/demoModel.py", "class main:\n    def boom(self, a):\n"
                                               "        raise ValueError('bad')\n")
    r = run("""
        emit(PluginLoader.plugin_run("demo", "boom", None))
        try:
            PluginLoader.module_run("demo", "boom", None)
        except ValueError as e:
            emit(["raised", str(e)])
    """)
    res, raised = r.out
    assert res["status"] is False
    lines = res["msg"].splitlines(keepends=True)
    assert lines[0] == "Traceback (most recent call last):\n"
    line = [x.strip() for x in textwrap.dedent(DEMO).splitlines()].index('raise ValueError("bad")')
    assert lines[1] == f'  File "{panel.path("plugin/demo/demo_main.py")}", line {line + 1}, in boom\n'
    assert lines[-1] == "ValueError: bad\n"
    assert raised == ["raised", "bad"]


def test_traceback_formatting_failure(run, panel):
    panel.write("plugin/demo/demo_main.py", DEMO)
    r = run("""
        import traceback
        def broken(*a):
            raise LookupError("formatter broke")
        traceback.format_exception = broken
        emit(PluginLoader.plugin_run("demo", "boom", None))
    """)
    assert r.value == msg("failed get traceback information")
    assert "LookupError: formatter broke" in r.stderr


def test_names_too_long_for_the_buffers(run, panel):
    ok, long_class = "p" * 58, "q" * 59  # entry class "<name>_main" needs 64 bytes for 59
    for name in (ok, long_class):
        panel.write(f"plugin/{name}/{name}_main.py",
                    f"class {name}_main:\n    def f(self, a):\n        return 'ok'\n")
    r = run(f"""
        P = PluginLoader
        emit([P.plugin_run({ok!r}, "f", 0), P.plugin_run({long_class!r}, "f", 0),
              P.plugin_run("r" * 300, "f", 0), P.plugin_run("demo", "m" * 5000, 0)])
    """)
    assert r.value == ["ok", msg("plugin not found"), msg("plugin not found"),
                       msg("plugin not found")]


def test_reference_counts_are_stable(run, panel):
    panel.write("plugin/demo/demo_main.py", """
        class demo_main:
            def get_info(self, args):
                return args
            def boom(self, args):
                raise ValueError(args)
    """)
    r = run("""
        import sys
        P = PluginLoader
        args = object()
        P.plugin_run("demo", "get_info", args)
        cls = sys.modules[%r].demo_main
        before = sys.getrefcount(args), sys.getrefcount(cls)
        for _ in range(10000):
            P.plugin_run("demo", "get_info", args)
        after_ok = sys.getrefcount(args), sys.getrefcount(cls)
        for _ in range(2000):
            P.plugin_run("demo", "boom", args)
            P.plugin_run("demo", "nope", args)
            P.plugin_run("missing", "x", args)
        emit([before, after_ok, (sys.getrefcount(args), sys.getrefcount(cls))])
    """ % str(panel.path("plugin/demo/demo_main.py")))
    before, after_ok, after_errors = r.value
    assert before == after_ok == after_errors
