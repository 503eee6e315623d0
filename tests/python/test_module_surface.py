"""The module's surface: import, method table, argument handling, results."""
import os
import shutil
import subprocess

import pytest

from conftest import need_tool

NAMES = ["plugin_run", "module_run", "get_plugin_list", "py_clear", "db_encrypt",
         "db_decrypt", "get_module", "parse_plugin_list"]


def test_method_table_in_order_with_docstrings(run):
    r = run("""
        table = [n for n in vars(PluginLoader) if not n.startswith("__")]
        names = [n for n in table if not n.startswith("_")]
        emit({"table": table, "names": names, "doc": PluginLoader.__doc__,
              "docs": [getattr(PluginLoader, n).__doc__ for n in names]})
    """)
    v = r.value
    # The eight public functions first and in order; the operator's tool's
    # own entries (underscore names) only after them.
    assert v["table"][:8] == NAMES
    assert all(n.startswith("_") for n in v["table"][8:])
    assert v["names"] == NAMES
    assert v["doc"] == "ZQ面板插件加载器"
    assert v["docs"][:7] == ["执行插件方法(插件名,方法名,参数)", "执行模块方法(模块名,方法名,参数)",
                             "获取插件列表(0/1)", "清除引用计数", "数据库加密", "数据库解密",
                             "获取指定模块对象(文件全路径)"]
    assert "插件列表" in v["docs"][7]


def test_import_needs_no_panel_tree(run, panel):
    shutil.rmtree(panel.root)
    r = run("emit(PluginLoader.__name__)")
    assert r.returncode == 0, r.stderr
    assert r.value == "PluginLoader"
    assert not panel.root.exists()


def test_import_touches_no_file_or_network(build_dir, module_file, panel, tmp_path):
    # Everything after the shared object is opened is the module's own work.
    trace = tmp_path / "trace"
    subprocess.run(
        [need_tool("strace"), "-f", "-qq", "-o", str(trace), "-e", "trace=%file,%network",
         __import__("sys").executable, "-c",
         f"import sys; sys.path.insert(0, {str(build_dir)!r}); import PluginLoader"],
        check=True)
    lines = trace.read_text().splitlines()
    opened = [i for i, line in enumerate(lines) if module_file.name in line
              and "openat" in line and "= -1" not in line]
    assert opened, "the module was never opened"
    after = lines[opened[0] + 1:]
    assert not [line for line in after if str(panel.root) in line]
    assert not [line for line in after if "socket(" in line or "connect(" in line]


def test_result_dictionaries_and_argument_errors(run):
    r = run("""
        P = PluginLoader
        emit([P.get_module(1), P.get_module(), P.get_module("a", "b"),
              P.get_module("/a/../b.py"), P.get_module("/x/./y.py"), P.get_module("./y.py"),
              P.parse_plugin_list("1"), P.parse_plugin_list(),
              P.plugin_run("a", 1, {}), P.module_run("a"),
              P.db_encrypt(1), P.db_decrypt(1), P.db_encrypt("a", "b"), P.db_decrypt(None)])
        import sys
        emit(sys.exc_info()[0] is None)
    """)
    assert r.returncode == 0, r.stderr
    got, clean = r.out
    get_module_err = {"status": False, "msg": "parameter error: get_module(filename<str>)"}
    relative = {"status": False, "msg": "filename cannot be relative path."}
    parse_err = {"status": False, "msg": "parameter error: parse_plugin_list(force<int>)"}
    run_err = {"status": False,
               "msg": "parameter incorrect: run(mod_name<str>,def_name<str>,def_args<dict_obj>)"}
    assert got == [get_module_err, get_module_err, get_module_err, relative, relative, relative,
                   parse_err, parse_err, run_err, run_err,
                   {"status": False, "msg": "Invalid parameters."},
                   {"status": False, "msg": "invalid parameters."},
                   {"status": False, "msg": "Invalid parameters."},
                   {"status": False, "msg": "invalid parameters."}]
    assert clean


def test_relative_path_without_dot_slash_is_passed_on(run):
    r = run('emit(PluginLoader.get_module("class/x.py"))')
    assert r.value != {"status": False, "msg": "filename cannot be relative path."}


def test_get_module_with_embedded_nul_is_an_argument_error(run):
    r = run('emit(PluginLoader.get_module("/a\\x00b.py"))')
    assert r.value == {"status": False, "msg": "parameter error: get_module(filename<str>)"}


def test_py_clear_answers_one_and_releases_nothing(run):
    r = run("""
        import sys
        obj = object()
        before = sys.getrefcount(obj)
        results = [PluginLoader.py_clear(obj) for _ in range(1000)]
        results += [PluginLoader.py_clear(), PluginLoader.py_clear(obj, obj),
                    PluginLoader.py_clear(None)]
        emit({"results": sorted(set(results)), "types": sorted({type(x).__name__ for x in results}),
              "delta": sys.getrefcount(obj) - before})
    """)
    assert r.value == {"results": [1], "types": ["int"], "delta": 0}


def test_only_the_init_function_is_exported(module_file):
    out = subprocess.run(["nm", "-D", "--defined-only", str(module_file)],
                         capture_output=True, text=True, check=True).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit_PluginLoader"]


def test_memory_exhaustion_becomes_memory_error_and_the_process_goes_on(run):
    if os.environ.get("PL_TEST_ASAN") or "valgrind" in os.environ.get("PL_TEST_PYTHON_PREFIX", ""):
        pytest.skip("the sanitizer and valgrind reserve address space of their own")
    # The address-space limit leaves room for the interpreter's small needs,
    # but not for the enciphered copy of a 64 MiB value.
    r = run("""
        import resource
        P = PluginLoader
        big = "a" * (64 << 20)
        stored = P.db_encrypt("before")["msg"]
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        with open("/proc/self/status") as f:
            size = next(int(l.split()[1]) for l in f if l.startswith("VmSize:")) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (size + (24 << 20), hard))
        try:
            outcome = P.db_encrypt(big)
        except MemoryError:
            outcome = "MemoryError"
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        again = P.db_encrypt("after")["msg"]
        emit([outcome, P.db_decrypt(again)["msg"], P.db_decrypt(stored)["msg"]])
    """)
    assert r.value == ["MemoryError", "after", "before"], r.stderr
