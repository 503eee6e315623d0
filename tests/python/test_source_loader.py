"""Source modules keyed by full path, the modification-time cache, load errors."""

COUNTER = """
    runs = globals().get("runs", 0) + 1
    class demo_main:
        def runs(self, args):
            return runs
"""


def test_cache_reexecutes_only_on_a_new_time_in_the_same_module(run, panel):
    f = panel.write("plugin/demo/demo_main.py", COUNTER)
    r = run(f"""
        import os, sys
        P, path = PluginLoader, {str(f)!r}
        m = P.get_module(path)
        seen = [m.runs, P.get_module(path) is m, P.plugin_run("demo", "runs", 0)]
        st = os.stat(path)
        os.utime(path, (st.st_atime, st.st_mtime - 100))   # older, still different
        seen += [P.plugin_run("demo", "runs", 0), P.get_module(path) is m, m.runs]
        seen += [P.get_module(path.replace("/plugin/", "//plugin/")).runs, m.runs]
        del sys.modules[path]
        n = P.get_module(path)
        seen += [n is m, n.runs, sys.modules[path] is n]
        emit(seen)
    """)
    # the plugin loader shares the module and its cache entry with get_module;
    # another spelling of the same path is another module; a module taken out
    # of sys.modules is loaded afresh, though its file did not change
    assert r.value == [1, True, 1, 2, True, 2, 1, 2, False, 1, True]


def test_module_planted_in_sys_modules_runs_on_first_use(run, panel):
    f = panel.write("class/x.py", "loaded = True\n")
    r = run(f"""
        import sys, types
        planted = types.ModuleType("planted")
        planted.before = 1
        sys.modules[{str(f)!r}] = planted
        m = PluginLoader.get_module({str(f)!r})
        emit([m is planted, m.before, m.loaded, m.__file__ == {str(f)!r}])
    """)
    assert r.value == [True, 1, True, True]


def test_plugin_entry_size_limit(run, panel):
    f9 = panel.write("plugin/nine/nine_main.py", "x = 1234\n")
    panel.write("plugin/ten/ten_main.py", "x = 12345\n")
    r = run(f"""
        P = PluginLoader
        emit([P.plugin_run("nine", "f", 0), P.plugin_run("ten", "f", 0),
              P.get_module({str(f9)!r}).x])
    """)
    assert r.value == [{"status": False, "msg": "load plugin failed: invalid plugin entry"},
                       {"status": False, "msg": "class not found: ten_main"}, 1234]


def test_syntax_error_is_a_load_error_printed_only_for_plugins(run, panel):
    f = panel.write("plugin/bad/bad_main.py", "def broken(:\n    pass\n")
    plugin = run('emit(PluginLoader.plugin_run("bad", "f", 0))')
    module = run(f"emit(PluginLoader.get_module({str(f)!r}))")
    for r in (plugin, module):
        assert r.value["status"] is False
        assert r.value["msg"].startswith("load error: ")
        assert "invalid syntax" in r.value["msg"] and "line 1" in r.value["msg"]
    assert "SyntaxError" in plugin.stderr
    assert "SyntaxError" not in module.stderr


def test_failed_execution_gives_traceback_and_runs_again(run, panel):
    marks = panel.path("data/marks")
    f = panel.write("class/fails.py", f"open({str(marks)!r}, 'a').write('x')\nraise KeyError('k')\n")
    r = run(f"""
        import sys
        first = PluginLoader.get_module({str(f)!r})
        emit([first, PluginLoader.get_module({str(f)!r})["msg"] == first["msg"],
              {str(f)!r} in sys.modules])
    """)
    res, same, present = r.value
    assert res["status"] is False
    assert res["msg"].startswith("Traceback (most recent call last):\n")
    assert res["msg"].endswith("KeyError: 'k'\n")
    assert same and not present
    assert marks.read_text() == "xx"   # executed on both calls


def test_get_module_of_a_missing_file(run, panel):
    r = run(f"emit(PluginLoader.get_module({str(panel.path('class/none.py'))!r}))")
    assert r.value == {"status": False, "msg": "module not found"}
