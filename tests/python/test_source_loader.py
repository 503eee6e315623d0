"""Source modules keyed by full path, the modification-time cache, load errors,
bytecode kept as import keeps it."""
import importlib.util
import marshal
import os
import stat
from concurrent.futures import ThreadPoolExecutor

import pytest

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


# Scenarios write bytecode only when asked to: the harness turns it off.
WRITE = {"PYTHONDONTWRITEBYTECODE": ""}
# Records in `compiled` each compile of the file at path (import's too).
WATCH = """
import sys
compiled = []
sys.addaudithook(lambda e, a: compiled.append(1) if e == "compile" and a[1] == {path!r} else 0)
"""


def pyc(src, body='v = "planted"\ndef f(): pass\n', flags=0b11, text=None,
        magic=importlib.util.MAGIC_NUMBER):
    """A .pyc for src, checked against text (default: src's), of body's code."""
    key = importlib.util.source_hash(src.read_bytes() if text is None else text)
    code = marshal.dumps(compile(body, "elsewhere.py", "exec"))
    return magic + flags.to_bytes(4, "little") + key + code


def test_bytecode_written_then_run_only_for_its_own_text_and_accepted_by_import(run, panel):
    text = 'v = "a"\nclass demo_main:\n    def get(self, args):\n        return v\n' \
           '    def boom(self, args):\n        raise ValueError(v)\n'
    f = panel.write("plugin/demo/demo_main.py", text)
    cached = importlib.util.cache_from_source(str(f))
    call = WATCH.format(path=str(f)) + 'seen = [PluginLoader.plugin_run("demo", "get", 0)]\n' \
                                       "seen.append(len(compiled))\n"
    # several processes at once leave one whole file and no temporaries
    with ThreadPoolExecutor(3) as pool:
        assert {r.value[0] for r in pool.map(lambda _: run(call + "emit(seen)", env=WRITE),
                                             range(3))} == {"a"}
    data = open(cached, "rb").read()
    assert data[:16] == pyc(f)[:16] and marshal.loads(data[16:]).co_filename == str(f)
    assert os.listdir(os.path.dirname(cached)) == [os.path.basename(cached)]

    # from the bytecode: nothing compiled, and the source still named
    r = run(call + "emit(seen + [PluginLoader.plugin_run('demo', 'boom', 0)['msg']])", env=WRITE)
    assert r.value[:2] == ["a", 0]
    assert f'File "{f}", line 6, in boom\n    raise ValueError(v)' in r.value[2]

    # an edit of the same size within the same time stamp runs the new text,
    # and import takes the bytecode written for it
    st = os.stat(f)
    f.write_text(text.replace('"a"', '"b"'))
    os.utime(f, ns=(st.st_atime_ns, st.st_mtime_ns))
    r = run(call + f"sys.path.insert(0, {str(f.parent)!r})\nimport demo_main\n"
            "emit(seen + [demo_main.v, len(compiled)])", env=WRITE)
    assert r.value == ["b", 1, "b", 1]
    assert open(cached, "rb").read()[8:16] == importlib.util.source_hash(f.read_bytes())


def test_bytecode_not_to_be_trusted_is_never_run_nor_written_through(run, panel, tmp_path):
    if os.geteuid() != 0:
        pytest.skip("giving files away needs root")
    src = {n: panel.write(f"class/{n}.py", 'v = "source"\n') for n in (
        "damaged", "truncated", "not_code", "other_text", "timestamp", "unchecked",
        "other_magic", "group_writable", "other_owner", "file_link", "source_owner")}
    src["folder_link"] = panel.write("class/linked/folder_link.py", 'v = "source"\n')
    path = {n: importlib.util.cache_from_source(str(f)) for n, f in src.items()}
    good = pyc(src["damaged"], 'v = "source"\n')
    st = os.stat(src["timestamp"])
    planted = {
        "damaged": good[:16] + b"\0" + good[17:],   # no such marshal type
        "truncated": good[:12],
        "not_code": good[:16] + marshal.dumps(42),
        "other_text": pyc(src["other_text"], text=b'v = "other"\n'),
        "timestamp": pyc(src["timestamp"], flags=0)[:8] + int(st.st_mtime).to_bytes(4, "little")
        + st.st_size.to_bytes(4, "little") + pyc(src["timestamp"])[16:],
        "unchecked": pyc(src["unchecked"], flags=0b01),
        "other_magic": pyc(src["other_magic"], magic=b"\x00\x0d\x0d\x0a"),
        **{n: pyc(src[n]) for n in ("group_writable", "other_owner", "source_owner")}}
    for n, data in planted.items():
        panel.write(os.path.relpath(path[n], panel.root), data)
    os.chmod(path["group_writable"], 0o664)
    for p in (path["other_owner"], path["source_owner"], src["source_owner"]):
        os.chown(p, 65534, 65534)
    for n in ("file_link", "folder_link"):
        (tmp_path / os.path.basename(path[n])).write_bytes(pyc(src[n]))
    os.symlink(tmp_path / os.path.basename(path["file_link"]), path["file_link"])
    os.symlink(tmp_path, os.path.dirname(path["folder_link"]))

    files = {n: str(f) for n, f in src.items()}
    r = run(f"emit({{n: PluginLoader.get_module(f).v for n, f in {files!r}.items()}})", env=WRITE)
    assert r.value == {n: "planted" if n == "source_owner" else "source" for n in src}
    for n in set(src) - {"folder_link", "source_owner"}:   # replaced by a whole file of ours
        st = os.lstat(path[n])
        assert stat.S_ISREG(st.st_mode) and st.st_uid == 0 and not st.st_mode & 0o022, n
        assert open(path[n], "rb").read()[:16] == good[:16], n
    # the links' targets are untouched, and nothing was added beside them
    assert {p.name: p.read_bytes() for p in tmp_path.iterdir()} == {
        os.path.basename(path[n]): pyc(src[n]) for n in ("file_link", "folder_link")}


def test_dont_write_bytecode_reads_but_never_writes(run, panel, tmp_path):
    a, b, c, d = (panel.write(f"class/{n}.py", 'v = "source"\n') for n in "abcd")
    bad = panel.write("class/bad.py", "def broken(:\n")
    cached = importlib.util.cache_from_source(str(a))
    panel.write(os.path.relpath(cached, panel.root), pyc(a))
    r = run(f"""
        import importlib.util, os, sys, _frozen_importlib_external as ext
        P = PluginLoader
        m = P.get_module({str(a)!r})
        seen = [m.v, m.f.__code__.co_filename, P.get_module({str(b)!r}).v]
        sys.dont_write_bytecode, sys.pycache_prefix = False, {str(tmp_path / "prefix")!r}
        seen += [P.get_module({str(bad)!r})["status"], P.get_module({str(c)!r}).v]
        bad_pyc, c_pyc, d_pyc = (ext.cache_from_source(p)
                                 for p in ({str(bad)!r}, {str(c)!r}, {str(d)!r}))
        seen += [os.path.exists(bad_pyc), os.path.exists(c_pyc)]
        def interrupt(path): raise KeyboardInterrupt   # as a signal handler may, meanwhile
        ext.cache_from_source, kept = interrupt, ext.cache_from_source
        try: P.get_module({str(d)!r})
        except KeyboardInterrupt: seen.append("interrupted")
        ext.cache_from_source, sys.implementation.cache_tag = kept, None   # keeps no bytecode
        emit(seen + [P.get_module({str(d)!r}).v, os.path.exists(d_pyc)])
    """)
    assert r.value == ["planted", str(a), "source", False, "source", False, True, "interrupted",
                       "source", False]
    assert os.listdir(os.path.dirname(cached)) == [os.path.basename(cached)]
