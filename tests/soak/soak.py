"""Leak soak: every module function, on success and on each failure path,
called many times in one process.

    python3.12 tests/soak/soak.py BUILD_DIR [--iterations N] [--slow-iterations M]
                                  [--no-rss] [--only NAME...]

For each case the first call must give the expected answer (so the path under
test is really taken); then the case is warmed up, the process's resident
memory and the reference counts of the argument objects, the plugin and
module classes and the result singletons are taken, the case runs N times,
and both are taken again.  A case fails when its memory grew by 1 MB or more
(after a garbage collection) or any of those reference counts changed.  The
slow cases (a catalog download starts a shell for the disk identifier and
syncs a file on every call; 1 MB arguments) take M iterations (default N).  Prints one line per case and a
JSON summary as the last line; exits non-zero when any case failed.

The panel tree at the build's panel root is rebuilt from scratch.  Stand-ins
of the panel's modules answer in-process (no network, no php).
"""
import argparse
import gc
import json
import os
import sys
import tempfile
import textwrap
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parents[1]
sys.path.insert(0, str(REPO / "tests" / "python"))
from harness import Panel  # noqa: E402

RSS_LIMIT = 1 << 20

STUBS = {
    # The service: a small catalog (longer than an error reply) or a failure,
    # chosen by MODE.
    "http_requests": """
        import json
        MODE = "ok"
        CATALOG = json.dumps({"list": [{"name": "p%d" % i, "ps": "x" * 120} for i in range(80)]})

        class Response:
            def __init__(self, status_code, content):
                self.status_code = status_code
                self.content = content

        def post(url, data, timeout, headers, verify):
            if MODE == "raise":
                raise ConnectionError("service unreachable")
            if MODE == "short":
                return Response(200, b'{"status": false, "msg": "no"}')
            if MODE == "404":
                return Response(404, b"")
            return Response(200, CATALOG.encode())
    """,
    "public": """
        import sys
        MODE = "ok"

        def sys_path_append(path):
            if path not in sys.path:
                sys.path.append(path)

        def get_div(text):
            if MODE == "raise":
                raise RuntimeError("hook failed")
            if MODE == "exit":
                raise SystemExit(2)
            return text
    """,
    "panelPHP": """
        class panelPHP:
            def __init__(self, name):
                self.name = name

            def exec_php_script(self, args):
                if self.name == "phpfail":
                    raise OSError("php died")
                return {"php": self.name}
    """,
}

PLUGINS = {
    "demo": """
        class demo_main:
            def get_info(self, args):
                return ["info", args.value]

            def boom(self, args):
                raise ValueError("boom")

            # Found by the runner's attribute test, then fails the fetch.
            fetches = 0

            def __getattr__(self, name):
                if name != "flaky":
                    raise AttributeError(name)
                demo_main.fetches += 1
                if demo_main.fetches % 2 == 0:
                    raise RuntimeError("no method")
                return self.get_info
    """,
    "noclass": "VALUE = 'a module without its entry class'\n",
    "ctorfail": """
        class ctorfail_main:
            def __init__(self):
                raise RuntimeError("cannot make")
    """,
    "syntax": "def broken(:\n    pass\n",
    "execfail": "raise ImportError('fails while loading')\n",
    "tiny": "x = 1\n",
}

MODULES = {
    "mod/project/siteMod.py": """
        class main:
            def get(self, args):
                return args.value
    """,
    "class/soakModel/toolModel.py": """
        class main:
            def get(self, args):
                return [args.value]

            def boom(self, args):
                raise KeyError("module method failed")
    """,
    "class/soakModel/emptyModel.py": "VALUE = 1\n",
    "class/loose/loose.py": """
        STATE = []
        STATE.append(1)
    """,
    "class/loose/syntax.py": "class (:\n",
    "class/loose/raises.py": "raise RuntimeError('module body failed')\n",
}


def err(text):
    return {"status": False, "msg": text}


def ok(text):
    return {"status": True, "msg": text}


MSG_SPECIAL = "parameter incorrect: module_name and def_name cannot contains special symbols."
MSG_EMPTY = "parameter incorrect: module_name and def_name cannot be empty."
MSG_ARGS = "parameter incorrect: run(mod_name<str>,def_name<str>,def_args<dict_obj>)"


class Args:
    """The panel's request object."""

    def __init__(self, value):
        self.value = value


class ModArgs(Args):
    def __init__(self, value, index):
        super().__init__(value)
        self.model_index = index


class Getter(Args):
    plugin_get_object = True
    module_get_object = True


class Lazy:
    """An object looked up when the counts are taken (a class that exists
    only once its module has been loaded)."""

    def __init__(self, get):
        self.get = get


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Soak:
    def __init__(self, build_dir):
        self.build_dir = Path(build_dir)
        info = json.loads((self.build_dir / "build_info.json").read_text())
        self.panel = Panel(info["panel_root"])
        self.stubdir = Path(tempfile.mkdtemp(prefix="pl-soak-"))
        self.cases = []

    # ---- setting up ----

    def prepare(self):
        self.panel.reset()
        for name, src in STUBS.items():
            (self.stubdir / f"{name}.py").write_text(textwrap.dedent(src))
        for name, src in PLUGINS.items():
            self.panel.write(f"plugin/{name}/{name}_main.py", src)
        for name in ("phpok", "phpfail"):
            self.panel.write(f"plugin/{name}/index.php", "<?php ?>")
        for rel, src in MODULES.items():
            self.panel.write(rel, src)
        sys.path[:0] = [str(self.stubdir), str(REPO / "standins"), str(self.build_dir)]
        import PluginLoader
        import http_requests
        import public
        self.P, self.http, self.public = PluginLoader, http_requests, public
        self.catalog_path = self.panel.path("data/plugin_bin.pl")
        self.iv_path = self.panel.path("data/div.pl")
        self.catalog_text = http_requests.CATALOG
        self.catalog_path.write_text(self.catalog_text)

    def path(self, rel):
        return str(self.panel.path(rel))

    # ---- cases ----

    def case(self, name, call, expect, keep=(), slow=False, raises=None, setup=None):
        """call() is run; expect is its first answer, or a predicate on it.
        keep: objects (or Lazy ones) whose reference counts must not change;
        raises: the exception every call must raise; setup: run first."""
        self.cases.append({"name": name, "call": call, "expect": expect, "keep": keep,
                           "slow": slow, "raises": raises, "setup": setup})

    def define(self):
        P = self.P
        a = Args("v")
        self.args = a
        demo = self.path("plugin/demo/demo_main.py")
        tool = self.path("class/soakModel/toolModel.py")
        loose = self.path("class/loose/loose.py")
        big = "n" * (1 << 20)

        plugin_class = Lazy(lambda: sys.modules[demo].demo_main)
        module_class = Lazy(lambda: sys.modules[tool].main)

        # plugin_run
        self.case("plugin_run ok", lambda: P.plugin_run("demo", "get_info", a), ["info", "v"],
                  keep=(a, plugin_class))
        getter = Getter("g")
        self.case("plugin_run bound method", lambda: P.plugin_run("demo", "get_info", getter),
                  lambda r: r(a) == ["info", "v"], keep=(getter, plugin_class))
        self.case("plugin_run method raised", lambda: P.plugin_run("demo", "boom", a),
                  lambda r: r["status"] is False and "ValueError: boom" in r["msg"],
                  keep=(a, plugin_class))
        self.case("plugin_run no method", lambda: P.plugin_run("demo", "nope", a),
                  err("not found method [nope] in plugin [demo]"), keep=(a, plugin_class))
        self.case("plugin_run method not fetched", lambda: P.plugin_run("demo", "flaky", a),
                  err("failed to get specified method"), keep=(a, plugin_class))
        self.case("plugin_run no class", lambda: P.plugin_run("noclass", "x", a),
                  err("class not found: noclass_main"), keep=(a,))
        self.case("plugin_run no instance", lambda: P.plugin_run("ctorfail", "x", a),
                  err("failed to instance class"), keep=(a,))
        self.case("plugin_run syntax error", lambda: P.plugin_run("syntax", "x", a),
                  lambda r: r["msg"].startswith("load error: "), keep=(a,))
        self.case("plugin_run entry raised", lambda: P.plugin_run("execfail", "x", a),
                  lambda r: "ImportError: fails while loading" in r["msg"], keep=(a,))
        self.case("plugin_run tiny entry", lambda: P.plugin_run("tiny", "x", a),
                  err("load plugin failed: invalid plugin entry"), keep=(a,))
        self.case("plugin_run not found", lambda: P.plugin_run("missing", "x", a),
                  err("plugin not found"), keep=(a,))
        self.case("plugin_run php", lambda: P.plugin_run("phpok", "x", a), {"php": "phpok"},
                  keep=(a,))
        self.case("plugin_run php raised", lambda: P.plugin_run("phpfail", "x", a),
                  err("An error occurred when PHP plugin running."), keep=(a,))
        self.case("plugin_run special symbols", lambda: P.plugin_run("demo;ls", "x", a),
                  err(MSG_SPECIAL), keep=(a,))
        self.case("plugin_run empty name", lambda: P.plugin_run("", "x", a), err(MSG_EMPTY),
                  keep=(a,))
        self.case("plugin_run 1 MB name", lambda: P.plugin_run(big, "x", a),
                  err("plugin not found"), keep=(a, big), slow=True)
        self.case("plugin_run bad arguments", lambda: P.plugin_run("demo", 1, a), err(MSG_ARGS),
                  keep=(a,))

        # module_run
        mod = ModArgs("m", "mod")
        self.case("module_run ok (mod)", lambda: P.module_run("site", "get", mod), "m",
                  keep=(mod,))
        self.case("module_run ok (search)", lambda: P.module_run("tool", "get", a), ["v"],
                  keep=(a, module_class))
        self.case("module_run bound method", lambda: P.module_run("tool", "get", getter),
                  lambda r: r(a) == ["v"], keep=(getter, module_class))
        self.case("module_run method raised", lambda: P.module_run("tool", "boom", a), None,
                  keep=(a, module_class), raises=KeyError)
        self.case("module_run no method", lambda: P.module_run("tool", "nope", a),
                  err("not found method [nope] in module [tool]"), keep=(a, module_class))
        self.case("module_run no class", lambda: P.module_run("empty", "x", a),
                  err("class not found: main"), keep=(a,))
        self.case("module_run not found", lambda: P.module_run("none", "x", a),
                  err("module not found"), keep=(a,))
        self.case("module_run special symbols", lambda: P.module_run("tool", "a|b", a),
                  err(MSG_SPECIAL), keep=(a,))
        self.case("module_run bad arguments", lambda: P.module_run("tool"), err(MSG_ARGS))

        # get_module
        def module_touched():
            st = os.stat(loose)
            os.utime(loose, (st.st_atime, st.st_mtime + 1))  # a new time: executed again
            return P.get_module(loose)

        self.case("get_module cached", lambda: P.get_module(loose),
                  lambda r: r is sys.modules[loose])
        self.case("get_module changed file", module_touched, lambda r: r is sys.modules[loose])
        self.case("get_module syntax error", lambda: P.get_module(self.path("class/loose/syntax.py")),
                  lambda r: r["msg"].startswith("load error: "))
        self.case("get_module body raised", lambda: P.get_module(self.path("class/loose/raises.py")),
                  lambda r: "RuntimeError: module body failed" in r["msg"])
        self.case("get_module missing file", lambda: P.get_module(self.path("class/none.py")),
                  err("module not found"))
        self.case("get_module relative", lambda: P.get_module("/a/../b.py"),
                  err("filename cannot be relative path."))
        self.case("get_module bad argument", lambda: P.get_module(1),
                  err("parameter error: get_module(filename<str>)"))

        # db_encrypt / db_decrypt
        value = "a value for the database"
        stored = P.db_encrypt(value)["msg"]
        two = "first line\nsecond line"
        self.case("db_encrypt ok", lambda: P.db_encrypt(value), ok(stored), keep=(value,))
        self.case("db_encrypt lines", lambda: P.db_encrypt(two),
                  lambda r: r["status"] and len(r["msg"]) == 48, keep=(two,))
        self.case("db_encrypt 1 MB", lambda: P.db_encrypt(big),
                  lambda r: r["status"] and len(r["msg"]) > len(big), keep=(big,), slow=True)
        self.case("db_encrypt bad argument", lambda: P.db_encrypt(1), err("Invalid parameters."))
        self.case("db_decrypt ok", lambda: P.db_decrypt(stored), ok(value), keep=(stored,))
        self.case("db_decrypt damaged", lambda: P.db_decrypt("QUJD" * 4 + "#"),
                  lambda r: r["status"] is True)
        self.case("db_decrypt not utf-8", lambda: P.db_decrypt("//79"), None,
                  raises=UnicodeDecodeError)
        self.case("db_decrypt bad argument", lambda: P.db_decrypt(None),
                  err("invalid parameters."))

        def without_iv_file(mode):
            def call():
                self.public.MODE = mode
                try:
                    return P.db_encrypt(value)
                finally:
                    self.public.MODE = "ok"
            return call

        def fresh_iv_file():
            os.unlink(self.iv_path)  # drawn, handed to the hook and stored again
            return P.db_encrypt(value)

        self.case("db_encrypt hook raised", without_iv_file("raise"),
                  lambda r: r["status"] is True, keep=(value,), setup=self.drop_iv)
        self.case("db_encrypt hook exited", without_iv_file("exit"),
                  lambda r: r["status"] is True, keep=(value,), setup=self.drop_iv)
        self.case("db_encrypt new iv file", fresh_iv_file, lambda r: r["status"] is True,
                  keep=(value,), setup=self.ensure_iv)

        # get_plugin_list / parse_plugin_list
        listing = json.loads(self.catalog_text)
        self.case("get_plugin_list stored", lambda: P.get_plugin_list(0), listing)
        self.case("get_plugin_list no argument", lambda: P.get_plugin_list(), listing)
        self.case("get_plugin_list text argument", lambda: P.get_plugin_list("1"), listing)
        self.case("get_plugin_list download", self.download(P, "ok", self.catalog_text), listing,
                  slow=True)
        self.case("get_plugin_list -1", self.download(P, "raise", None),
                  err("failed to load soft list in file. please try again later. -1"),
                  slow=True)
        self.case("get_plugin_list not utf-8", self.download(P, "404", b'{"list": ["\xff"]}'),
                  err("failed to parse soft list, trying repair, please try again later."),
                  slow=True)
        self.case("get_plugin_list -2", self.download(P, "short", '{"list": ['),
                  err("invalid soft list, is auto repaired. please try again later. -2"),
                  slow=True)
        # Every kind of string the listing builds itself (raw UTF-8 of each
        # width, escapes, long runs), a name cache that fills up, floats; and
        # a text it leaves to json.loads after building nearly all of it.
        items = [{"\u540d": "\u4e2d\u6587" * 30 + "\u00e9\U0001f600", "ascii": "d" * 200,
                  "esc": "\u00e9\n\u4e2d\"", "n%d" % i: i * 1.5} for i in range(300)]
        for name, text in [("raw", json.dumps(items, ensure_ascii=False)),
                           ("escaped", json.dumps(items)),
                           ("left to json.loads", json.dumps(items)[:-1] + ', "\\ud800"]')]:
            self.case("get_plugin_list strings " + name, self.stored(P, text), json.loads(text))
        self.case("parse_plugin_list kept", lambda: P.parse_plugin_list(0), True)
        self.case("parse_plugin_list forced", lambda: P.parse_plugin_list(1), True,
                  setup=self.restore_catalog)
        self.case("parse_plugin_list bad argument", lambda: P.parse_plugin_list("x"),
                  err("parameter error: parse_plugin_list(force<int>)"))

        # py_clear
        obj = object()
        self.case("py_clear", lambda: P.py_clear(obj), 1, keep=(obj,))
        self.case("py_clear no argument", lambda: P.py_clear(), 1)
        self.case("py_clear two arguments", lambda: P.py_clear(obj, obj), 1, keep=(obj,))

    def download(self, P, mode, stored):
        """A listing that downloads: the catalog file holds `stored` (None:
        no file) before each call, and the service answers by mode."""
        path = self.catalog_path
        data = stored.encode() if isinstance(stored, str) else stored

        def call():
            if data is None:
                if path.exists():
                    path.unlink()
            else:
                path.write_bytes(data)
            self.http.MODE = mode
            try:
                return P.get_plugin_list(1 if mode == "ok" else 0)
            finally:
                self.http.MODE = "ok"
        return call

    def stored(self, P, text):
        """A listing of text, stored before each call."""
        data = text.encode()

        def call():
            self.catalog_path.write_bytes(data)
            return P.get_plugin_list(0)
        return call

    def drop_iv(self):
        if self.iv_path.exists():
            self.iv_path.unlink()

    def ensure_iv(self):
        self.P.db_encrypt("x")

    def restore_catalog(self):
        self.catalog_path.write_text(self.catalog_text)

    # ---- running ----

    def run(self, iterations, slow_iterations, check_rss, only=()):
        results = []
        devnull = os.open(os.devnull, os.O_WRONLY)
        saved_err = os.dup(2)
        for c in self.cases:
            if only and c["name"] not in only:
                continue
            if c.get("setup"):
                c["setup"]()
            n = slow_iterations if c["slow"] else iterations
            results.append(self.run_case(c, n, check_rss, devnull, saved_err))
            line = results[-1]
            print(f"{'ok  ' if line['ok'] else 'FAIL'} {line['name']:32} {line['calls']:7d} calls "
                  f"{line['rss_growth']:+9d} B  {line['seconds']:7.2f} s"
                  + ("" if line["ok"] else "  " + "; ".join(line["problems"])), flush=True)
        os.close(devnull)
        os.close(saved_err)
        return results

    def one_call(self, c):
        if c["raises"] is None:
            return c["call"]()
        try:
            c["call"]()
        except c["raises"]:
            return None
        raise AssertionError(f"{c['raises'].__name__} was not raised")

    def counts(self, c):
        objs = [k.get() if isinstance(k, Lazy) else k for k in c["keep"]]
        objs += [True, False, None]  # immortal in 3.12: stable by construction
        return [sys.getrefcount(o) for o in objs]

    def run_case(self, c, n, check_rss, devnull, saved_err):
        problems = []
        os.dup2(devnull, 2)  # failure paths print tracebacks on every call
        try:
            first = self.one_call(c)
            expect = c["expect"]
            good = expect(first) if callable(expect) else first == expect
            if c["raises"] is None and not good:
                problems.append(f"first answer {first!r:.200} is not the expected one")
            del first
            for _ in range(max(10, n // 10)):  # warm-up: caches, interned names, pools
                self.one_call(c)
            gc.collect()
            before_counts = self.counts(c)
            before_rss = rss_bytes()
            start = time.perf_counter()
            for _ in range(n):
                self.one_call(c)
            seconds = time.perf_counter() - start
            gc.collect()
            growth = rss_bytes() - before_rss
            after_counts = self.counts(c)
        except Exception as exc:  # an unexpected exception fails the case
            os.dup2(saved_err, 2)
            return {"name": c["name"], "ok": False, "calls": 0, "rss_growth": 0, "seconds": 0.0,
                    "problems": [f"raised {type(exc).__name__}: {exc}"[:300]]}
        finally:
            os.dup2(saved_err, 2)
        if before_counts != after_counts:
            problems.append(f"reference counts {before_counts} -> {after_counts}")
        if check_rss and growth >= RSS_LIMIT:
            problems.append(f"resident memory grew by {growth} bytes")
        return {"name": c["name"], "ok": not problems, "calls": n, "rss_growth": growth,
                "seconds": round(seconds, 3), "problems": problems}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build_dir")
    parser.add_argument("--iterations", type=int, default=100_000)
    parser.add_argument("--slow-iterations", type=int)
    parser.add_argument("--no-rss", action="store_true",
                        help="do not judge resident memory (sanitizer builds hold freed memory)")
    parser.add_argument("--only", nargs="*", default=())
    args = parser.parse_args(argv)
    soak = Soak(args.build_dir)
    soak.prepare()
    soak.define()
    start_rss = rss_bytes()
    results = soak.run(args.iterations, args.slow_iterations or args.iterations,
                       not args.no_rss, args.only)
    summary = {
        "cases": len(results),
        "failed": [r["name"] for r in results if not r["ok"]],
        "calls": sum(r["calls"] for r in results),
        "max_rss_growth": max((r["rss_growth"] for r in results), default=0),
        "total_rss_growth": rss_bytes() - start_rss,
        "results": results,
    }
    print(json.dumps(summary))
    return 1 if summary["failed"] or not results else 0


if __name__ == "__main__":
    sys.exit(main())
