"""The loader inside the servers panels run on: greenlets of a patched
process, threads beside imports, signals while a call waits, forks."""
import json
import os
import textwrap

import pytest

from conftest import need_greenlets
from test_threaded_panel import FDISK, PROBE_GROUP_LEFT, RECORDER

# The top level counts its runs in a file, takes a while (the sleep a
# patched process turns into a switch) and then defines the class, or fails.
SLOW = ("import time\nopen({marks!r}, 'a').write('x')\ntime.sleep({pause})\n{body}\n")
CLASS = "class {cls}:\n    def ver(self, a):\n        return {tag!r}\n"


def slow(marks, cls, tag="slow", pause=0.5, fail=None):
    body = f"raise {fail}" if fail else CLASS.format(cls=cls, tag=tag)
    return SLOW.format(marks=str(marks), pause=pause, body=body)


def test_greenlets_wait_for_one_load_and_share_its_outcome(run, panel, tmp_path):
    need_greenlets()
    marks = [tmp_path / k for k in "pmbc"]
    panel.write("plugin/slow/slow_main.py", slow(marks[0], "slow_main"))
    panel.write("class/abcModel/slowModel.py", slow(marks[1], "main"))
    broken = panel.write("class/broken.py", slow(marks[2], "main", fail="KeyError('late')"))
    # Rewritten in place to the same size within the same second.
    edited = panel.write("class/edited.py", slow(marks[3], "main", tag="v1", pause=0))
    r = run(f"""
        from gevent import monkey
        monkey.patch_all()
        import gevent, os, time
        P = PluginLoader
        calls = [lambda: P.plugin_run("slow", "ver", 0), lambda: P.module_run("slow", "ver", 0),
                 lambda: P.get_module({str(broken)!r})["msg"].splitlines()[-1]]
        started = time.monotonic()
        burst = [gevent.spawn(calls[n % 3]) for n in range(12)]
        gevent.joinall(burst)
        took = time.monotonic() - started
        first = P.get_module({str(edited)!r}).main().ver(0)
        st = os.stat({str(edited)!r})
        with open({str(edited)!r}, "r+") as f:
            text = f.read().replace("'v1'", "'v2'")
            f.seek(0)
            f.write(text)
        os.utime({str(edited)!r}, ns=(st.st_atime_ns, st.st_mtime_ns + 1000))
        emit([[g.value for g in burst], took, first, P.get_module({str(edited)!r}).main().ver(0)])
    """, timeout=60)
    answers, took, first, second = r.value
    assert answers == ["slow", "slow", "KeyError: 'late'"] * 4, r.stderr
    # The greenlets waited for each other, not one after another, and every
    # top level ran once: the failed one too, its error shared.
    assert took < 1.4, took
    assert [m.read_text() for m in marks] == ["x", "x", "x", "xx"]
    assert (first, second) == ("v1", "v2")


# The plugin's top level imports a module whose top level runs the plugin:
# a thread importing the module and a thread running the plugin meet in the
# middle, each holding what the other waits for; the plugin run comes last
# and closes the cycle.
CYCLE_PLUGIN = ("import rendezvous\nrendezvous.plugin.set()\nrendezvous.module.wait(20)\n"
                "import cyclemod\n" + CLASS.format(cls="cyc_main", tag="plugin"))
CYCLE_MODULE = ("import PluginLoader, rendezvous, time\nrendezvous.module.set()\n"
                "rendezvous.plugin.wait(20)\ntime.sleep(0.2)\n"
                "seen = PluginLoader.plugin_run('cyc', 'ver', 0)\n")

# A plugin whose compile error is printed through a slow standard error, so
# that the other threads arrive while the first one is still at it.
SLOW_STDERR = """
    import sys, time
    class Slow:
        def write(self, text):
            time.sleep(0.05)
            return sys.__stderr__.write(text)
        def flush(self):
            sys.__stderr__.flush()
    sys.stderr = Slow()
"""


def test_threads_share_failures_and_end_cycles_with_imports(run, panel, tmp_path):
    marks = tmp_path / "marks"
    panel.write("plugin/fail/fail_main.py", slow(marks, "fail_main", pause=0.3,
                                                 fail="RuntimeError('top')"))
    panel.write("plugin/syn/syn_main.py", "def broken(:\n    pass\n")
    panel.write("plugin/cyc/cyc_main.py", CYCLE_PLUGIN)
    edited = panel.write("class/edited.py", slow(tmp_path / "e", "main", pause=0.4,
                                                 fail="KeyError('old')"))
    stubs = {"rendezvous": "import threading\nplugin, module = threading.Event(), "
                           "threading.Event()\n",
             "cyclemod": CYCLE_MODULE}
    r = run(textwrap.dedent(SLOW_STDERR) + textwrap.dedent(f"""
        import importlib, os, threading, time
        P = PluginLoader
        def together(calls):
            out = [None] * len(calls)
            def one(n):
                out[n] = calls[n]()
            ts = [threading.Thread(target=one, args=(n,)) for n in range(len(calls))]
            [t.start() for t in ts]
            [t.join(30) for t in ts]
            return out
        failed = together([lambda: P.plugin_run("fail", "ver", 0)] * 6)
        syntax = together([lambda: P.plugin_run("syn", "ver", 0)] * 6)
        cycle = together([lambda: importlib.import_module("cyclemod").seen,
                          lambda: time.sleep(0.1) or P.plugin_run("cyc", "ver", 0)])

        # The file is fixed while a caller waits for its failing load: the
        # waiter loads the new file instead of taking the old failure.
        def fix():
            time.sleep(0.2)
            text = open({str(edited)!r}).read().replace("raise KeyError('old')",
                                                        "class main: v = 'new'")
            with open({str(edited)!r}, "r+") as f:
                f.write(text)
        edit = together([lambda: P.get_module({str(edited)!r}), fix,
                         lambda: time.sleep(0.1) or P.get_module({str(edited)!r})])
        emit([[a["msg"].splitlines()[-1] for a in failed], len({{a["msg"] for a in syntax}}),
              cycle, edit[0]["msg"].splitlines()[-1], edit[2].main.v])
    """), stubs=stubs, timeout=60)
    failed, syntax_texts, cycle, old, new = r.value
    assert failed == ["RuntimeError: top"] * 6
    assert marks.read_text() == "x"
    # One compile for six callers: the error printed once, the same text for all.
    assert syntax_texts == 1 and r.stderr.count("SyntaxError") == 1, r.stderr
    # The call that closed the cycle got the plugin as far as it had run.
    assert cycle == [{"status": False, "msg": "class not found: cyc_main"}, "plugin"], cycle
    assert (old, new) == ("KeyError: 'old'", "new")


def test_a_signal_ends_a_wait_for_a_load(run, panel):
    panel.write("plugin/slow/slow_main.py",
                "import time\ntime.sleep(2)\n" + CLASS.format(cls="slow_main", tag="slow"))
    r = run("""
        import os, signal, threading, time
        class Stop(Exception):
            pass
        def handler(*args):
            raise Stop("from the handler")
        signal.signal(signal.SIGUSR1, handler)
        loader = threading.Thread(target=PluginLoader.plugin_run, args=("slow", "ver", 0))
        loader.start()
        time.sleep(0.3)
        threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGUSR1)).start()
        started = time.monotonic()
        try:
            got = PluginLoader.plugin_run("slow", "ver", 0)
        except Stop as e:
            got = str(e)
        waited = time.monotonic() - started
        loader.join()
        emit([got, waited, PluginLoader.plugin_run("slow", "ver", 0)])
    """)
    got, waited, after = r.value
    # The handler's exception reached the caller that waited, long before the
    # load it waited for ended; the load itself went on.
    assert got == "from the handler" and waited < 1.0, (got, waited)
    assert after == "slow"


def fake_fdisk(tmp_path):
    """The environment that puts the slow disk listing first on the path, and
    the file the catalog requests' environment descriptions go to."""
    (tmp_path / "fdisk").write_text(FDISK)
    (tmp_path / "fdisk").chmod(0o755)
    posted = tmp_path / "posted"
    return {"PATH": f"{tmp_path}:{os.environ['PATH']}", "PL_POSTED": str(posted),
            "PL_FDISK_GROUPS": str(tmp_path / "groups")}, posted


def test_disk_probe_lets_other_greenlets_run(run, tmp_path):
    need_greenlets()
    env, posted = fake_fdisk(tmp_path)
    ticking = textwrap.dedent(PROBE_GROUP_LEFT) + textwrap.dedent("""
        from gevent import monkey
        monkey.patch_all()
        import gevent, time
        lister = gevent.spawn(PluginLoader.get_plugin_list, 1)
        started = last = time.monotonic()
        longest = 0
        while not lister.ready():
            gevent.sleep(0.01)
            longest, last = max(longest, time.monotonic() - last), time.monotonic()
        emit([time.monotonic() - started, longest, probe_group_left()])
    """)
    took, longest, left = run(ticking, stubs={"http_requests": RECORDER}, env=env).value
    assert took >= 1.5 and longest < 0.5 and left == [], (took, longest, left)
    took, _, left = run(ticking, stubs={"http_requests": RECORDER},
                        env={**env, "PL_FDISK": "hang"}).value
    assert 5 <= took < 30 and left == [], (took, left)  # the whole group ended
    sent = [json.loads(line)["hdid"] for line in posted.read_text().splitlines()]
    assert sent == ["0xdeadbeef", ""]


def test_an_exception_on_the_load_locks_way_never_leaves_it_held(run, panel):
    # A signal handler can raise inside the import system's lock code; here a
    # trace function raises once where it would: as the lock is released
    # (the release is done again, the load's answer stands) and as it has
    # just been taken (the caller gets the exception, the lock goes back).
    # Either way another thread can load the edited file afterwards.
    entry = panel.write("plugin/p/p_main.py", "")
    r = run(f"""
        import importlib._bootstrap as bootstrap, os, sys, threading
        PATH = {str(entry)!r}
        held = bootstrap._get_module_lock(PATH)  # kept alive, as by a waiting caller

        class Stop(Exception):
            pass

        def raise_once(event, name):
            def tracer(frame, what, arg):
                if (what == event and frame.f_code.co_name == name
                        and getattr(frame.f_locals.get("self"), "name", None) == PATH):
                    sys.settrace(None)
                    raise Stop(name)
                return tracer
            return tracer

        def edit(tag):
            with open(PATH, "w") as f:
                f.write({CLASS!r}.format(cls="p_main", tag=tag) + "#" * len(tag))

        def load_elsewhere():
            out = []
            t = threading.Thread(target=lambda: out.append(PluginLoader.plugin_run("p", "ver", 0)),
                                 daemon=True)
            t.start()
            t.join(10)
            return out or ["blocked"]

        got = []
        for event, name in (("call", "release"), ("return", "acquire")):
            edit(name)
            sys.settrace(raise_once(event, name))
            try:
                mine = PluginLoader.plugin_run("p", "ver", 0)
            except Stop as e:
                mine = "raised at " + str(e)
            sys.settrace(None)
            edit("after " + name)
            got.append([mine] + load_elsewhere())
        emit(got)
    """, timeout=60)
    assert r.value == [["release", "after release"],
                       ["raised at acquire", "after acquire"]], r.stderr


# How each host runs callers side by side, and interrupts one in 0.25 s: a
# greenlet's Timeout, or Ctrl-C (SIGALRM's handler raising KeyboardInterrupt).
HOSTS = {
    "greenlets": """
        from gevent import monkey
        monkey.patch_all()
        import gevent
        spawn, join, interrupt = gevent.spawn, gevent.joinall, gevent.Timeout
    """,
    "threads": """
        import contextlib, signal, threading
        signal.signal(signal.SIGALRM, signal.default_int_handler)
        def spawn(f, *args):
            t = threading.Thread(target=f, args=args)
            t.start()
            return t
        def join(ts):
            [t.join(30) for t in ts]
        def interrupt(seconds):
            return contextlib.nullcontext(signal.setitimer(signal.ITIMER_REAL, seconds))
    """,
}
INTERRUPTED = {"greenlets": "Timeout", "threads": "KeyboardInterrupt"}


def in_host(host, code, **values):
    if host == "greenlets":
        need_greenlets()
    return textwrap.dedent(HOSTS[host]) + textwrap.dedent(code).format(**values)


@pytest.mark.parametrize("host", HOSTS)
def test_an_interrupt_ends_only_the_interrupted_callers_load(run, panel, tmp_path, host):
    marks = tmp_path / "marks"
    entry = panel.write("plugin/slow/slow_main.py", slow(marks, "slow_main", pause=0.5))
    r = run(in_host(host, """
        import os, sys, time
        P, PATH, out = PluginLoader, {path!r}, {{}}
        P.plugin_run("slow", "ver", 0)  # served: its stamp is recorded
        del sys.modules[PATH]           # taken out: the next caller runs it again
        def waiter(n):
            time.sleep(0.1)  # the interrupted caller's load is under way by then
            out[n] = P.plugin_run("slow", "ver", 0)
        waiters = [spawn(waiter, n) for n in range(3)]
        try:
            with interrupt(0.25):
                out["me"] = P.plugin_run("slow", "ver", 0)
        except BaseException as e:
            out["me"] = type(e).__name__
        join(waiters)
        # Replaced by rename with a file of the same size and time.
        st = os.stat(PATH)
        with open(PATH + ".new", "w") as f:
            f.write(open(PATH).read().replace("'slow'", "'next'"))
        os.utime(PATH + ".new", ns=(st.st_atime_ns, st.st_mtime_ns))
        os.replace(PATH + ".new", PATH)
        emit([out, P.plugin_run("slow", "ver", 0)])
    """, path=str(entry)), timeout=60)
    # The interrupted caller got its own exception, untouched; the waiters
    # got neither it nor the half-run module: one of them ran the file again.
    assert r.value == [{"me": INTERRUPTED[host], "0": "slow", "1": "slow", "2": "slow"},
                       "next"], r.stderr
    assert marks.read_text() == "xxxx" and "Traceback" not in r.stderr, r.stderr


@pytest.mark.parametrize("host", HOSTS)
def test_a_probe_ended_by_the_host_sends_nothing_and_leaves_no_process(run, build_dir, tmp_path,
                                                                       host):
    env, posted = fake_fdisk(tmp_path)
    r = run(textwrap.dedent(PROBE_GROUP_LEFT) + in_host(host, """
        import http_requests, os, signal, sys, time
        sys.path.insert(0, {modules!r})
        import pl_bridge_probe
        def ended(call):
            started = time.monotonic()
            try:
                call()
            except BaseException as e:
                return [type(e).__name__, time.monotonic() - started < 0.5]
        def interrupted():
            with interrupt(0.3):
                PluginLoader.get_plugin_list(1)
        out = [ended(interrupted)]
        if "gevent" in sys.modules:
            lister = spawn(PluginLoader.get_plugin_list, 1)
            time.sleep(0.3)
            def killed():
                lister.kill()
                raise lister.value  # what it ended with: GreenletExit, no catalog
            out.append(ended(killed))
        # A pause whose time merely passed is no broken-off wait.
        outcome, text = pl_bridge_probe.shell("echo x; exec >&-; sleep 0.2", 5000)
        # Ctrl-C in the panel's own request module ends the listing too.
        os.environ["PL_FDISK"] = "quick"
        http_requests.post = lambda *args: signal.default_int_handler(0, None)
        emit(out + [ended(lambda: PluginLoader.get_plugin_list(1)), outcome, text.decode(),
                    probe_group_left()])
    """, modules=str(build_dir / "test_modules")), stubs={"http_requests": RECORDER}, env=env,
            timeout=60)
    *ends, outcome, text, left = r.value
    assert ends == [[INTERRUPTED[host], True]] + [["GreenletExit", True]] * (host == "greenlets") \
        + [["KeyboardInterrupt", True]], r.stderr
    assert (outcome, text) == ("finished", "x\n")
    # The whole group was ended before the exception went on; no request
    # went out, nothing was stored and nothing was printed.
    assert left == [] and not posted.exists() and "Traceback" not in r.stderr, (left, r.stderr)


def test_a_child_forked_during_another_threads_load_loads_the_file_afresh(run, panel, tmp_path):
    marks = tmp_path / "marks"
    panel.write("plugin/slow/slow_main.py", slow(marks, "slow_main", pause=1))
    panel.write("plugin/other/other_main.py", CLASS.format(cls="other_main", tag="other"))
    r = run("""
        import json, os, signal, threading, time
        P = PluginLoader
        threading.Thread(target=P.plugin_run, args=("slow", "ver", 0)).start()
        time.sleep(0.3)
        read, write = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.write(write, json.dumps([P.plugin_run(name, "ver", 0)
                                        for name in ("slow", "other")]).encode())
            os._exit(0)
        os.close(write)
        deadline = time.monotonic() + 10
        while os.waitpid(pid, os.WNOHANG) == (0, 0):
            if time.monotonic() > deadline:
                os.kill(pid, signal.SIGKILL)
            time.sleep(0.05)
        emit([json.loads(os.read(read, 1000) or b'"hung"'), P.plugin_run("slow", "ver", 0)])
    """, timeout=60)
    assert r.value == [["slow", "other"], "slow"], r.stderr
    assert marks.read_text() == "xx"  # once in each process
