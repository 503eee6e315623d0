"""Threads calling the loader while its files are edited; child processes;
panel files that are no regular files."""
import json
import os
import shutil
import stat

import pytest


def msg(text):
    return {"status": False, "msg": text}


def no_caps():
    """Root is held to permission bits only without its capabilities."""
    if os.geteuid() != 0:
        return ()
    if shutil.which("setpriv") is None:
        pytest.skip("needs setpriv to drop root's capabilities")
    return ("setpriv", "--inh-caps=-all", "--bounding-set=-all", "--")


# The top level counts its runs in a file and takes 0.6 s before the class.
SLOW = "import time\nopen({marks!r}, 'a').write('x')\ntime.sleep(0.6)\n{fail}\n" \
       "class {cls}:\n    def ver(self, a):\n        return 'slow'\n"

# Threads started 0.2 s apart, each making its call; emits the answers.
TOGETHER = """
    import threading, time
    P = PluginLoader
    out = {{}}
    ts = [threading.Thread(target=lambda n=n: out.__setitem__(n, ({calls})[n % {count}]()))
          for n in range(2 * {count})]
    for t in ts[:{count}] + [None] + ts[{count}:]:
        t.start() if t else time.sleep(0.2)
    for t in ts:
        t.join()
    emit([out[n] for n in range(2 * {count})])
"""


def test_overlapping_loads_of_a_file_wait_for_the_one_running(run, panel, tmp_path):
    marks = [tmp_path / k for k in "pmb"]
    panel.write("plugin/slow/slow_main.py", SLOW.format(marks=str(marks[0]), fail="",
                                                        cls="slow_main"))
    module = panel.write("class/abcModel/slowModel.py", SLOW.format(marks=str(marks[1]), fail="",
                                                                    cls="main"))
    broken = panel.write("class/broken.py", SLOW.format(marks=str(marks[2]), cls="main",
                                                        fail="raise KeyError('late')"))
    calls = (f'lambda: P.plugin_run("slow", "ver", 0), lambda: P.module_run("slow", "ver", 0), '
             f'lambda: P.get_module({str(module)!r}).main().ver(0), '
             f'lambda: P.get_module({str(broken)!r})')
    out = run(TOGETHER.format(calls=calls, count=4)).value
    assert out[:3] == out[4:7] == ["slow"] * 3
    # The later caller got the error of the load it waited for, and no file
    # ran twice.
    assert out[3] == out[7] and out[3]["msg"].endswith("KeyError: 'late'\n")
    assert [m.read_text() for m in marks] == ["x", "x", "x"]


# x's top level waits for y's to run (on another thread) and asks for y,
# while y's asks for x: one wait would close a cycle.
CROSS = "import PluginLoader, rendezvous\nrendezvous.{mine}.set()\n" \
        "met = rendezvous.{other}.wait(20)\npeer = PluginLoader.get_module({peer!r})\n" \
        "class main: pass\n"
# The top level asks for its own file before and after defining its class.
SELF = "import sys, PluginLoader\nbefore = PluginLoader.plugin_run('me', 'ver', 0)\n" \
       "partial = PluginLoader.get_module(__file__) is sys.modules[__file__]\n" \
       "class me_main:\n    def ver(self, a):\n        return 'done'\n" \
       "after = PluginLoader.plugin_run('me', 'ver', 0)\n"


def test_loads_of_other_files_and_of_the_file_itself_never_deadlock(run, panel):
    x, y = panel.path("class/x.py"), panel.path("class/y.py")
    panel.write("class/x.py", CROSS.format(mine="x", other="y", peer=str(y)))
    panel.write("class/y.py", CROSS.format(mine="y", other="x", peer=str(x)))
    me = panel.write("plugin/me/me_main.py", SELF)
    calls = f"lambda: P.get_module({str(x)!r}), lambda: P.get_module({str(y)!r})"
    code = TOGETHER.format(calls=calls, count=2).replace("emit(", "got = (") + f"""
    mx, my = got[0], got[1]
    s = P.get_module({str(me)!r})
    emit([mx.met, my.met, mx.peer is my, my.peer is mx, s.before, s.partial, s.after])
    """
    stubs = {"rendezvous": "import threading\nx, y = threading.Event(), threading.Event()\n"}
    r = run(code, stubs=stubs, timeout=60)
    # Both top levels ran at once; in the cycle one of them got the other
    # module as far as it had run, like an import of a module being imported.
    assert r.value == [True, True, True, True, msg("class not found: me_main"), True, "done"]


def version(tag):
    return (f"class demo_main:\n    def ver(self, a):\n        return {tag!r}\n"
            "class main(demo_main): pass\n")


def test_failed_loads_record_nothing_until_the_file_is_fixed(run, panel):
    files = [panel.write("plugin/demo/demo_main.py", version("v1")),
             panel.write("class/abcModel/demoModel.py", version("v1"))]
    r = run(f"""
        import os
        P = PluginLoader
        def edit(text, when, mode):
            for path in {[str(f) for f in files]!r}:
                os.chmod(path, 0o644)
                with open(path, "w") as f:
                    f.write(text)
                os.utime(path, (when, when))
                os.chmod(path, mode)   # the time stays as it was
        def calls():
            return [P.plugin_run("demo", "ver", 0), P.module_run("demo", "ver", 0)]
        out = [calls()]
        edit("def broken(:\\n", 1000, 0o644)
        out += [calls(), calls()]
        edit({version("v2")!r}, 2000, 0)
        out += [calls(), calls()]
        edit({version("v2")!r}, 2000, 0o644)
        emit(out + [calls()])
    """, prefix=no_caps())
    first, broken1, broken2, locked1, locked2, fixed = r.value
    assert first == ["v1", "v1"] and fixed == ["v2", "v2"]
    assert all("invalid syntax" in a["msg"] for a in broken1 + broken2), broken1 + broken2
    assert locked1 == locked2 == [msg(f"load error: cannot read {f}") for f in files]


def test_entry_status_is_taken_after_the_search_path_hook(run, panel):
    # The panel's hook turns a 9-byte entry into a plugin.
    entry = panel.write("plugin/demo/demo_main.py", "x = 1234\n")
    hook = f"""
        import os
        def sys_path_append(path):
            open({str(entry)!r}, "w").write("runs = globals().get('runs', 0) + 1\\n" +
                                            {version("grown")!r})
            os.utime({str(entry)!r}, (5000, 5000))
    """
    r = run(f"""
        P = PluginLoader
        emit([P.plugin_run("demo", "ver", 0), P.plugin_run("demo", "ver", 0),
              __import__("sys").modules[{str(entry)!r}].runs])
    """, stubs={"public": hook})
    assert r.value == ["grown", "grown", 1]


def test_printing_errors_never_ends_the_process_or_keeps_the_request(run, panel):
    panel.write("plugin/p/index.php", "<?php ?>")
    panel.write("plugin/bad/bad_main.py", "def broken(:\n")
    stubs = {"panelPHP": "class panelPHP:\n    def __init__(self, name): pass\n"
                         "    def exec_php_script(self, args): raise OSError('php died')\n",
             "public": "def sys_path_append(path):\n    raise RuntimeError('hook failed')\n"}
    r = run("""
        import gc, sys, weakref
        def hook(*args):
            raise SystemExit(9)
        sys.excepthook = hook
        class Request: pass
        request = Request()
        alive = weakref.ref(request)
        out = [PluginLoader.plugin_run("p", "x", request),
               PluginLoader.plugin_run("bad", "x", 0)["msg"][:12]]
        del request
        gc.collect()
        emit(out + [alive() is None, hasattr(sys, "last_exc")])
    """, stubs=stubs)
    assert r.returncode == 0, r.stderr
    assert r.value == [msg("An error occurred when PHP plugin running."), "load error: ", True,
                       False]
    for printed in ("RuntimeError: hook failed", "OSError: php died", "SyntaxError"):
        assert printed in r.stderr


# A disk listing of 1.5 s; with PL_FDISK=hang it never ends, and neither does
# a child of its own holding its output; with PL_FDISK=quick it answers at
# once.  Its process group goes to PL_FDISK_GROUPS.
FDISK = """#!/bin/sh
cut -d' ' -f5 /proc/$$/stat >> "$PL_FDISK_GROUPS"
if [ "$PL_FDISK" = hang ]; then sleep 60 & sleep 60; fi
[ "$PL_FDISK" = quick ] || sleep 1.5; echo "Disk identifier: 0xdeadbeef"
"""
# The processes of the disk probe's group still running a second after the
# listing returned; the group is then ended, so that none of them holds the
# scenario's output open.
PROBE_GROUP_LEFT = """
    def probe_group_left():
        import os, signal, time
        groups = {int(g) for g in open(os.environ["PL_FDISK_GROUPS"]).read().split()}
        deadline = time.monotonic() + 1
        while True:
            left = []
            for pid in filter(str.isdigit, os.listdir("/proc")):
                try:
                    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
                except OSError:
                    continue
                if int(fields[2]) in groups and fields[0] not in "ZX":
                    left.append(pid)
            if not left or time.monotonic() > deadline:
                break
            time.sleep(0.05)
        for group in groups:
            try:
                os.killpg(group, signal.SIGKILL)
            except ProcessLookupError:
                pass
        return left
"""
# Records the environment description posted; answers with a catalog.
RECORDER = """
    import json, os
    class R:
        status_code, content = 200, json.dumps({"list": [{"ps": "x" * 99}] * 99}).encode()
    def post(url, data, *rest):
        open(os.environ["PL_POSTED"], "a").write(data["environment_info"] + "\\n")
        return R()
"""
# Lists the catalog on one thread while this one ticks: emits how long the
# listing took, the longest pause between ticks and what is left of the probe.
TICKING = PROBE_GROUP_LEFT + """
    import threading, time
    t = threading.Thread(target=PluginLoader.get_plugin_list, args=(1,))
    started = last = time.monotonic()
    longest = 0
    t.start()
    while t.is_alive():
        time.sleep(0.01)
        longest, last = max(longest, time.monotonic() - last), time.monotonic()
    emit([time.monotonic() - started, longest, probe_group_left()])
"""


def test_disk_probe_runs_without_the_lock_and_under_a_time_limit(run, tmp_path):
    (tmp_path / "fdisk").write_text(FDISK)
    (tmp_path / "fdisk").chmod(0o755)
    posted = tmp_path / "posted"
    env = {"PATH": f"{tmp_path}:{os.environ['PATH']}", "PL_POSTED": str(posted),
           "PL_FDISK_GROUPS": str(tmp_path / "groups")}
    stubs = {"http_requests": RECORDER}
    took, longest, left = run(TICKING, stubs=stubs, env=env).value
    # The other thread was never held up for the listing's length.
    assert took >= 1.5 and longest < 1.0 and left == [], (took, longest, left)
    took, _, left = run(TICKING, stubs=stubs, env={**env, "PL_FDISK": "hang"}).value
    # Ended at the limit: the whole group, not only the shell.
    assert 5 <= took < 30 and left == [], (took, left)
    sent = [json.loads(line)["hdid"] for line in posted.read_text().splitlines()]
    assert sent == ["0xdeadbeef", ""]


def test_panel_files_that_are_no_regular_files_read_as_unreadable(run, panel):
    names = ["data/" + n for n in ("plugin_bin.pl", "userInfo.json", "iplist.txt", "node_url.pl",
                                   "div.pl")] + ["plugin/f/f_main.py", "class/abcModel/fModel.py"]
    for name in names:
        panel.path(name).parent.mkdir(exist_ok=True)
        os.mkfifo(panel.path(name))
    entry, module = panel.path(names[-2]), panel.path(names[-1])
    r = run(f"""
        P = PluginLoader
        emit([P.get_plugin_list(0), P.parse_plugin_list(1), P.plugin_run("f", "f", 0),
              P.module_run("f", "f", 0), P.get_module({str(module)!r}), P.get_module("/dev/zero"),
              P.db_encrypt("v")])
    """, stubs={"http_requests": "def post(*a):\n    return None\n"}, timeout=60)
    assert r.value == [msg("failed to load soft list in file. please try again later. -1"), False,
                       msg(f"load error: cannot read {entry}"),
                       msg(f"load error: cannot read {module}"),
                       msg(f"load error: cannot read {module}"),
                       msg("load error: cannot read /dev/zero"),
                       msg(f"unusable IV file {panel.path('data/div.pl')}: not a regular file")]
    assert all(stat.S_ISFIFO(os.stat(panel.path(n)).st_mode) for n in names)


# Eight threads call the runners and get_module on two files for about ten
# seconds while a writer replaces them with new versions (valid, slow, failing
# to compile or to run), each with its own time, and flips their permissions.
STRESS = """
    import os, random, threading, time, traceback
    P = PluginLoader
    files, written, stop = {files!r}, set(), threading.Event()
    done = threading.Barrier(9)
    body = ("class stress_main:\\n    def ver(self, a):\\n        return 'v%d'\\n"
            "class main(stress_main): pass\\n")
    texts = {{"valid": body, "slow": "import time\\ntime.sleep(0.3)\\n" + body,
             "syntax": "def broken(:\\n", "raise": "raise RuntimeError('broken')\\n"}}

    def replace(k, kind):
        if kind in ("valid", "slow"):
            written.add("v%d" % k)   # before any reader can meet it
        for path in files:
            with open(path + ".new", "w") as f:
                f.write(texts[kind].replace("%d", str(k)))
            os.utime(path + ".new", (10000 + k, 10000 + k))
            os.replace(path + ".new", path)

    def writer():
        rnd, k, end = random.Random(7), 1, time.monotonic() + 10
        while time.monotonic() < end:
            k += 1
            replace(k, rnd.choice(["valid", "slow", "syntax", "raise", "valid", "slow"]))
            if rnd.random() < 0.25:
                for mode in (0, 0o644):
                    [os.chmod(path, mode) for path in files]
                    time.sleep(rnd.uniform(0.02, 0.1))
            time.sleep(rnd.uniform(0.02, 0.12))
        replace(k + 1, "valid")
        return "v%d" % (k + 1)

    def ver(m):
        return m if isinstance(m, dict) else m.main().ver(0)

    calls = [lambda: P.plugin_run("stress", "ver", 0), lambda: P.module_run("stress", "ver", 0),
             lambda: ver(P.get_module(files[0])), lambda: ver(P.get_module(files[1]))]

    def answer(i):
        try:
            r = calls[i]()
        except Exception:
            return "bad: " + traceback.format_exc()
        if isinstance(r, str) and r in written:
            return "version"
        m = r.get("msg", "") if isinstance(r, dict) else ""
        if m.startswith("load error: ") or m.endswith("\\nRuntimeError: broken\\n"):
            return "error"
        return "bad: %r" % (r,)

    seen, finals = {{}}, [None] * 8

    def reader(n):
        rnd = random.Random(n)
        while not stop.is_set():
            a = answer(rnd.randrange(4))
            seen[a] = seen.get(a, 0) + 1
            time.sleep(0.001)   # leaves the writer its share of the interpreter
        done.wait()
        finals[n] = [calls[i]() for i in range(4)]

    replace(1, "valid")
    threads = [threading.Thread(target=reader, args=(n,)) for n in range(8)]
    [t.start() for t in threads]
    last = writer()
    stop.set()
    done.wait()
    [t.join() for t in threads]
    emit({{"last": last, "finals": finals, "seen": seen, "versions": len(written)}})
"""


def test_threads_calling_while_files_are_edited(run, panel):
    files = [str(panel.write(p, "x = 1\n")) for p in ("plugin/stress/stress_main.py",
                                                      "class/abcModel/stressModel.py")]
    r = run(STRESS.format(files=files), prefix=no_caps(), timeout=300)
    assert r.returncode == 0, r.stderr[-3000:]
    v = r.value
    assert [a for a in v["seen"] if a.startswith("bad")] == []
    # Every thread sees the last version once the edits are over.
    assert v["finals"] == [[v["last"]] * 4] * 8
    assert v["seen"].get("version", 0) > 100 and v["seen"].get("error", 0) > 0, v["seen"]
    assert v["versions"] > 10
