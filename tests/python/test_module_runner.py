"""module_run: where modules are looked for, the directory list, results and errors."""
import os


def tagged(tag):
    return f"class main:\n    def where(self, a):\n        return {tag!r}\n"


def msg(text):
    return {"status": False, "msg": text}


def test_model_index_chooses_the_directory(run, panel):
    panel.write("mod/project/siteMod.py", tagged("mod"))
    panel.write("class/dockerModel/siteModel.py", tagged("docker"))
    panel.write("class/projectModel/siteModel.py", tagged("project"))
    panel.write("outside/xModel/siteModel.py", tagged("outside"))  # what "../outside/x" reaches
    r = run("""
        class A:
            def __init__(self, index): self.model_index = index
        class Flaky:  # answers hasattr(), then fails the fetch
            seen = 0
            def __getattr__(self, name):
                Flaky.seen += 1
                if name != "model_index" or Flaky.seen > 1:
                    raise AttributeError(name)
                return "docker"
        class NoText:
            def __str__(self): raise RuntimeError("no text")
        P = PluginLoader
        emit([P.module_run("site", "where", A(i)) for i in ("mod", "docker", "../outside/x",
                                                            "a;b", "none", NoText())]
             + [P.module_run("site", "where", Flaky())])
    """)
    special = msg("parameter incorrect: module_name and def_name cannot contains special symbols.")
    assert r.value == ["mod", "docker", special, special, msg("module not found"), "project",
                       "project"]


def test_directory_list_rules_and_fixed_first_found_order(run, panel):
    qualifying = ["abModel", "projectModel", "zzModelx"]
    for d in qualifying:
        panel.write(f"class/{d}/siteModel.py", tagged(d))
    for d in ("xModel", "old.Model", "model_x", "realdir"):
        panel.write(f"class/{d}/onlyModel.py", tagged(d))
    panel.write("class/fileModel", "not a directory")
    os.symlink("realdir", panel.path("class/linkModel"))
    listing = [n for n in os.listdir(panel.path("class")) if n in qualifying]
    r = run(f"""
        import os
        P = PluginLoader
        out = [P.module_run("site", "where", None), P.module_run("only", "where", None)]
        os.makedirs({str(panel.path("class/lateModel"))!r})
        open({str(panel.path("class/lateModel/lateModel.py"))!r}, "w").write("class main: pass")
        os.remove({str(panel.path(f"class/{listing[0]}/siteModel.py"))!r})
        out += [P.module_run("late", "where", None), P.module_run("site", "where", None)]
        emit(out)
    """)
    assert r.value == [listing[0], msg("module not found"), msg("module not found"), listing[1]]


def test_empty_directory_list_is_read_again(run, panel):
    r = run(f"""
        import os
        P = PluginLoader
        first = P.module_run("site", "where", None)
        os.makedirs({str(panel.path("class/newModel"))!r})
        with open({str(panel.path("class/newModel/siteModel.py"))!r}, "w") as f:
            f.write({tagged("new")!r})
        emit([first, P.module_run("site", "where", None)])
    """)
    assert r.value == [msg("module not found"), "new"]


FAILING = {
    "noentry": "x = 1\n",
    "lazy": """
        calls = []
        def __getattr__(name):
            calls.append(name)
            if len(calls) == 1:
                return object
            raise RuntimeError("second lookup")
    """,
    "ctor": "class main:\n    def __init__(self):\n        raise RuntimeError('no')\n",
    "flaky": """
        class Once:
            seen = 0
            def __get__(self, obj, owner):
                Once.seen += 1
                if Once.seen > 1:
                    raise RuntimeError("second fetch")
                return lambda args: None
        class main:
            run = Once()
    """,
    "syntax": "class main(:\n",
    "ok": """
        class main:
            def get(self, args):
                return args
            def boom(self, args):
                raise ValueError(args)
    """,
}


def test_results_and_failures(run, panel):
    for name, src in FAILING.items():
        panel.write(f"class/abcModel/{name}Model.py", src)
    r = run("""
        class Getter: module_get_object = True
        P = PluginLoader
        out = [P.module_run(n, d, 0) for n, d in [
            ("", "x"), ("ok", "a|b"), ("a" * 300, "get"), ("noentry", "x"), ("lazy", "x"),
            ("ctor", "x"), ("ok", "nope"), ("flaky", "run"), ("ok", "get")]]
        out.append(P.module_run("syntax", "x", 0)["msg"][:12])
        bound = P.module_run("ok", "get", Getter())
        out += [type(bound).__name__, bound(5)]
        emit(out)
    """)
    assert r.value == [
        msg("parameter incorrect: module_name and def_name cannot be empty."),
        msg("parameter incorrect: module_name and def_name cannot contains special symbols."),
        msg("module not found"), msg("class not found: main"), msg("failed to get entry class"),
        msg("failed to instance class"), msg("not found method [nope] in module [ok]"),
        msg("failed to get specified method"), 0, "load error: ", "method", 5]


def test_reference_counts_are_stable(run, panel):
    panel.write("class/abcModel/okModel.py", FAILING["ok"])
    r = run("""
        import sys
        P = PluginLoader
        args = object()
        P.module_run("ok", "get", args)
        counts = [sys.getrefcount(args)]
        for _ in range(10000):
            P.module_run("ok", "get", args)
        counts.append(sys.getrefcount(args))
        for _ in range(2000):
            try:
                P.module_run("ok", "boom", args)
            except ValueError:
                pass
            P.module_run("ok", "nope", args)
        counts.append(sys.getrefcount(args))
        emit(counts)
    """)
    assert len(set(r.value)) == 1, r.value
