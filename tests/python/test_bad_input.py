"""Bad input to every module function: wrong argument counts and types,
empty and 1 MB strings, non-ASCII names, and names holding each forbidden
substring.  Every call answers with its message and leaves no exception."""

# The 37 substrings a plugin, module or method name may not hold.
FORBIDDEN = ["./", "..", ",", ";", ":", "?", "'", '"', "<", ">", "|", "\\", "\n", "\r", "\t",
             "\b", "\a", "\f", "\v", "*", "%", "&", "$", "#", "@", "!", "~", "`", "^", "(", ")",
             "+", "=", "{", "}", "[", "]"]

RUN_ARGS = "parameter incorrect: run(mod_name<str>,def_name<str>,def_args<dict_obj>)"
SPECIAL = "parameter incorrect: module_name and def_name cannot contains special symbols."
EMPTY = "parameter incorrect: module_name and def_name cannot be empty."


def msg(text):
    return {"status": False, "msg": text}


def test_wrong_argument_counts_and_types(run):
    r = run("""
        import sys
        P = PluginLoader
        bad = [1, None, b"bytes", ["list"], 2.5, object(), "\\ud800", "a\\x00b"]
        out = {}
        for name in ("plugin_run", "module_run"):
            f = getattr(P, name)
            out[name] = ([f(), f("a"), f("a", "b"), f("a", "b", 1, 2)] +
                         [f(b, "m", {}) for b in bad] + [f("p", b, {}) for b in bad])
        for name in ("db_encrypt", "db_decrypt", "get_module"):
            f = getattr(P, name)
            out[name] = [f(), f("a", "b")] + [f(b) for b in bad]
        out["parse_plugin_list"] = [P.parse_plugin_list(), P.parse_plugin_list(1, 2)] + [
            P.parse_plugin_list(b) for b in bad[1:] + ["1", 2 ** 80]]
        out["py_clear"] = [P.py_clear(), P.py_clear(1, 2), P.py_clear(*bad)]
        out["clean"] = sys.exc_info() == (None, None, None)
        emit(out)
    """)
    assert r.returncode == 0, r.stderr
    v = r.value
    assert v["plugin_run"] == v["module_run"] == [msg(RUN_ARGS)] * 20
    assert v["db_encrypt"] == [msg("Invalid parameters.")] * 10
    assert v["db_decrypt"] == [msg("invalid parameters.")] * 10
    assert v["get_module"] == [msg("parameter error: get_module(filename<str>)")] * 10
    assert v["parse_plugin_list"] == [msg("parameter error: parse_plugin_list(force<int>)")] * 11
    assert v["py_clear"] == [1, 1, 1]
    assert v["clean"]


def test_get_plugin_list_counts_any_odd_argument_as_zero(run, panel):
    panel.write("data/plugin_bin.pl", '{"list": [1, 2, 3], "x": "' + "y" * 9000 + '"}')
    r = run("""
        P = PluginLoader
        emit([len(P.get_plugin_list(*a)["list"])
              for a in [(), ("1",), (None,), (2 ** 80,), (1.0,), (0, 1), (b"1",), ("\\ud800",)]])
    """)
    assert r.value == [3] * 8


def test_every_forbidden_substring_in_every_name(run):
    r = run(f"""
        P = PluginLoader
        out = []
        for bad in {FORBIDDEN!r}:
            for runner in (P.plugin_run, P.module_run):
                out += [runner("a" + bad + "b", "m", {{}}), runner("p", "m" + bad, {{}}),
                        runner(bad, "m", {{}})]
        emit(out)
    """)
    assert r.value == [msg(SPECIAL)] * (len(FORBIDDEN) * 6)


def test_names_that_pass_the_check(run, panel):
    # Single dots, slashes, dashes, blanks and non-ASCII bytes are no symbols.
    r = run("""
        P = PluginLoader
        names = ["a.b", "a/b", "demo-2", "my plugin", "plugin_x", "ünïcode", "插件", "a.b/c"]
        emit([P.plugin_run(n, "m", {}) for n in names] + [P.module_run(n, "m", {}) for n in names]
             + [P.plugin_run("", "m", {}), P.module_run("p", "", {})])
    """)
    assert r.value == [msg("plugin not found")] * 8 + [msg("module not found")] * 8 + [msg(EMPTY)] * 2


def test_non_ascii_names_run(run, panel):
    panel.write("plugin/插件/插件_main.py", """
        class 插件_main:
            def 方法(self, args):
                return ["插件", args]
    """)
    panel.write("class/数据Model/工具Model.py", """
        class main:
            def 方法(self, args):
                return ["工具", args]
    """)
    r = run("""
        P = PluginLoader
        emit([P.plugin_run("插件", "方法", "ä"), P.module_run("工具", "方法", "ö"),
              P.plugin_run("插件", "нет", 0)])
    """)
    assert r.value == [["插件", "ä"], ["工具", "ö"], msg("not found method [нет] in plugin [插件]")]


def test_one_megabyte_strings(run, panel):
    panel.write("plugin/demo/demo_main.py", "class demo_main:\n    def f(self, a):\n        return a\n")
    r = run("""
        P = PluginLoader
        big = "n" * (1 << 20)
        out = [P.plugin_run(big, "f", 0), P.module_run(big, "f", 0), P.get_module("/" + big),
               P.get_module("/tmp/" + "d/" * (1 << 19))]
        missing = P.plugin_run("demo", big, 0)
        out.append([missing["status"], len(missing["msg"]), missing["msg"][-16:]])
        stored = P.db_encrypt(big)["msg"]
        line = P.db_encrypt("line")["msg"]
        lines = "\\n".join([line] * ((1 << 20) // (len(line) + 1)))
        out += [len(stored), P.db_decrypt(stored)["msg"] == big,
                P.db_decrypt(lines)["msg"] == "line" * lines.count(line),
                P.db_encrypt("\\n" * (1 << 20)), P.db_decrypt("=" * (1 << 20))]
        emit(out)
    """)
    assert r.returncode == 0, r.stderr
    v = r.value
    assert v[:4] == [msg("plugin not found"), msg("module not found"), msg("module not found"),
                     msg("module not found")]
    assert v[4] == [False, (1 << 20) + len("not found method [] in plugin [demo]"),
                    "] in plugin [demo]"[-16:]]
    cipher_bytes = ((1 << 20) // 16 + 1) * 16  # a whole block of padding
    assert v[5] == (cipher_bytes + 2) // 3 * 4
    assert v[6:] == [True, True, {"status": True, "msg": ""}, {"status": True, "msg": ""}]


OFFLINE = "def post(*args):\n    raise ConnectionError('offline')\n"


def test_empty_strings(run, panel):
    r = run("""
        P = PluginLoader
        emit([P.plugin_run("", "", ""), P.module_run("", "", ""), P.get_module(""),
              P.db_encrypt(""), P.db_decrypt(""), P.get_plugin_list(""), P.parse_plugin_list("")])
    """, stubs={"http_requests": OFFLINE})
    assert r.value == [msg(EMPTY), msg(EMPTY), msg("module not found"),
                       {"status": True, "msg": ""}, {"status": True, "msg": ""},
                       msg("failed to load soft list in file. please try again later. -1"),
                       msg("parameter error: parse_plugin_list(force<int>)")]
