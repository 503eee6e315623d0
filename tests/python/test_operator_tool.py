"""The operator's command (scripts/plugin-loader) and what the module tells it:
doctor, info, encrypt/decrypt, catalog, which module, install and rollback,
on a healthy sample panel and on broken ones."""
import base64
import hashlib
import json
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

import pytest

from harness import MODULE_FILE_NAME, REPO, RUNNER_SUFFIX, STANDINS, USUAL_SUFFIX
from test_build_and_types import pyproject_version
from test_db_cipher import Keys, cbc_encrypt
from test_threaded_panel import no_caps

CLI = REPO / "scripts" / "plugin-loader"
VERSION = pyproject_version()
sys.path.insert(0, str(REPO / "scripts"))
from plugin_loader import checks, cli, deploy  # noqa: E402


def tool(*args, stdin=None, prefix=()):
    env = dict(os.environ, PL_PYTHON=sys.executable)
    return subprocess.run([*prefix, str(CLI), *map(str, args)], input=stdin,
                          capture_output=True, text=True, env=env, timeout=120)


def sha256(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


@pytest.fixture
def healthy(build_dir, build_info, panel):
    """A sample panel on which every check of doctor passes."""
    made = tool("--build", build_dir, "-p", STANDINS, "encrypt", "x")
    assert made.returncode == 0, made.stderr
    panel.write("data/plugin_bin.pl", json.dumps({"list": [{"name": "a", "title": "A"}]}))
    panel.write("data/node_url.pl", json.dumps(
        {"api-node": {"url": f"api-node1.{build_info['service_domain']}", "ip": "127.0.0.1"}}))
    panel.write("data/userInfo.json", json.dumps(
        {"uid": 1001, "server_id": "S1", "token": "tok-do-not-show"}))
    panel.write("plugin/demo/demo_main.py", "class demo_main:\n    def f(self, a):\n"
                "        return 'ok'\n")
    return panel


def doctor(build_dir, *extra, prefix=()):
    r = tool("--build", build_dir, "doctor", *extra, prefix=prefix)
    lines = {ln.split(":", 1)[0][6:]: ln for ln in r.stdout.splitlines()}
    return r, lines


def test_doctor_on_a_healthy_panel(build_dir, build_info, healthy):
    r, lines = doctor(build_dir, "-p", STANDINS)
    assert r.returncode == 0, r.stdout + r.stderr
    assert len(lines) == 13 and all(ln.startswith("ok    ") for ln in lines.values()), r.stdout
    assert "uid 1001" in r.stdout and "tok-do-not-show" not in r.stdout + r.stderr
    assert "1 plugins" in lines["catalog data/plugin_bin.pl"]
    assert "connects to http://127.0.0.1/api/panel" in lines["routing file data/node_url.pl"]
    assert f"module {build_dir.resolve()}" in r.stderr and f"version {VERSION}" in r.stderr
    assert f"(secrets fingerprint {build_info['secrets_fingerprint']})" in lines["secrets"]


@pytest.mark.parametrize("damage, check, why", [
    (lambda p, k: p.write("data/div.pl", k.iv_file_text(b"abcdefghij")), "IV file data/div.pl",
     "deciphers to 10 characters, not 16: db_encrypt refuses to encipher"),
    (lambda p, k: p.write("data/div.pl", k.iv_file_text(b"abcdefgh-abcdefg")),
     "IV file data/div.pl", "16 characters, not all letters and digits"),
    (lambda p, k: p.write("data/div.pl", ""), "IV file data/div.pl", "empty"),
    (lambda p, k: p.write("data/plugin_bin.pl", b'{"list": ["\xff"]}'),
     "catalog data/plugin_bin.pl", "not valid UTF-8 (byte 12)"),
    (lambda p, k: p.write("data/plugin_bin.pl", '{"list": {}}'), "catalog data/plugin_bin.pl",
     'has no "list" array'),
    (lambda p, k: p.write("data/node_url.pl",
                          '{"api-node": {"url": "api-node1.elsewhere.example"}}'),
     "routing file data/node_url.pl", "is outside the service's domain"),
    (lambda p, k: p.write("data/node_url.pl", "{broken"), "routing file data/node_url.pl",
     "falls back to the default route https://"),
    (lambda p, k: p.write("data/userInfo.json", '{"uid": 5, "token": "t"}'),
     "account file data/userInfo.json", "it lacks a server_id string"),
    (lambda p, k: p.write("data/userInfo.json", "[1]"), "account file data/userInfo.json",
     "no catalog request is sent"),
    (lambda p, k: p.write("data/userInfo.json", '{"uid": "5"}'),
     "account file data/userInfo.json",
     "it lacks an integer uid or id, a server_id string and a token string"),
    (lambda p, k: p.write("data/userInfo.json", '{"uid": 5,'), "account file data/userInfo.json",
     "it lacks valid JSON of less than 128 KiB"),
    (lambda p, k: p.write("plugin/demo/demo_main" + USUAL_SUFFIX, b"\x7fELF"),
     "compiled plugins", f"plugin/demo/demo_main{USUAL_SUFFIX} ignored"),
    (lambda p, k: None, "panel module public", "not on the module search path"),
    (lambda p, k: shutil.rmtree(p.path("data")), "data/", "missing"),
    (lambda p, k: p.path("data/div.pl").chmod(0o644), "IV file access", "chmod 600"),
    (lambda p, k: p.path("data/div.pl").chmod(0o640), "IV file access", "mode 0640: group"),
    (lambda p, k: p.path("data/plugin_bin.pl").chmod(0o777), "write access in data/",
     "plugin_bin.pl (mode 0777) writable by group or others"),
    (lambda p, k: os.truncate(p.path("data/plugin_bin.pl"), 512 << 20),
     "catalog data/plugin_bin.pl", "larger than 33554432 bytes: the listing never reads it"),
    (lambda p, k: os.link(p.path("data/plugin_bin.pl"), p.path("catalog-elsewhere")),
     "links in data/", "plugin_bin.pl has 2 names"),
    (lambda p, k: os.symlink("/etc/passwd", p.path("data/plugin_bin.pl.tmp.aaaabbbbcccc0000")),
     ("links in data/", "temporary files in data/"), "aaaabbbbcccc0000 left behind"),
    (lambda p, k: [p.path("data/plugin_bin.pl").rename(p.path("catalog.json")),
                   os.symlink(p.path("catalog.json"), p.path("data/plugin_bin.pl"))],
     ("links in data/", "catalog data/plugin_bin.pl"), "a symbolic link: the listing never"),
    # The module's own reading of its files in data/ follows no link either.
    *[(lambda p, k, name=name: [p.path(f"data/{name}").rename(p.path(name)),
                                os.symlink(p.path(name), p.path(f"data/{name}"))],
       ("links in data/", check), why) for name, check, why in [
        ("node_url.pl", "routing file data/node_url.pl", "a symbolic link, which is never followed"),
        ("userInfo.json", "account file data/userInfo.json", "it is a symbolic link")]],
    (lambda p, k: os.symlink("/etc/passwd", p.path("data/plugin_bin.pl.err")), "links in data/",
     "plugin_bin.pl.err -> /etc/passwd"),
    (lambda p, k: [os.utime(p.write(f"data/div.pl.tmp.{n}", "x"), (t, t))
                   for n, t in (("123.4", 1), ("aaaabbbbcccc0000", time.time()))],
     "temporary files in data/", "div.pl.tmp.123.4 left behind by"),
])
def test_doctor_names_each_damage(build_dir, build_info, healthy, damage, check, why):
    damage(healthy, Keys(build_info))
    checks = (check,) if isinstance(check, str) else check
    extra = () if check == "panel module public" else ("-p", STANDINS)
    r, lines = doctor(build_dir, *extra)
    assert r.returncode == 1
    failed = [name for name, ln in lines.items() if ln.startswith("FAIL")]
    assert failed == list(checks), r.stdout
    assert why in lines[checks[-1]]


def test_doctor_on_an_unwritable_data_directory(build_dir, healthy, need_setpriv):
    healthy.path("data").chmod(0o555)
    r, lines = doctor(build_dir, "-p", STANDINS, prefix=need_setpriv)
    assert r.returncode == 1
    assert lines["data/"].startswith("FAIL") and "not writable (Permission denied)" in lines["data/"]
    assert lines["IV file data/div.pl"].startswith("ok")


@pytest.mark.parametrize("kind", ["fifo", "directory", "unreadable file", "link loop"])
def test_iv_file_that_cannot_be_read_is_flagged_and_refused(build_dir, healthy, kind):
    path = healthy.path("data/div.pl")
    if kind == "unreadable file":
        path.chmod(0)
    else:
        path.unlink()
        {"fifo": os.mkfifo, "directory": os.mkdir,
         "link loop": lambda p: os.symlink(p.name, p)}[kind](path)
    r, lines = doctor(build_dir, "-p", STANDINS, prefix=no_caps())
    assert r.returncode == 1 and lines["IV file data/div.pl"].startswith("FAIL"), r.stdout
    enc = tool("--build", build_dir, "-p", STANDINS, "encrypt", "v", prefix=no_caps())
    assert (enc.returncode, enc.stdout) == (1, ""), enc.stderr
    state = {"fifo": "not a regular file", "directory": "not a regular file",
             "link loop": "a symbolic link"}.get(kind, "unreadable")
    assert f"refused: the IV file {path} is {state}" in enc.stderr


@pytest.fixture
def need_setpriv():
    if os.geteuid() != 0 or shutil.which("setpriv") is None:
        pytest.skip("needs root, to run without root's capabilities (setpriv)")
    return ["setpriv", "--inh-caps=-all", "--bounding-set=-all", "--"]


def test_secrets_check_and_info(build_dir, build_info):
    healthy, detail = checks.check_secrets(
        {"builtin_secrets": {"db_field_secret": False, "iv_file_secret": True,
                             "db_fallback_iv_secret": True}})
    assert not healthy and "IV_FILE_SECRET, DB_FALLBACK_IV_SECRET" in detail
    r = tool("info", "--json", "--build", build_dir)
    assert r.returncode == 0, r.stderr
    info = json.loads(r.stdout)
    module = build_dir / MODULE_FILE_NAME
    assert info["sha256"] == sha256(module) and info["file"] == str(module.resolve())
    for key in ("version", "panel_root", "service_url", "service_domain", "builtin_secrets",
                "secrets_fingerprint"):
        assert info[key] == build_info[key]
    assert info["tls_verify"] is bool(build_info["tls_verify"])
    assert not {build_info[k] for k in ("db_field_secret", "iv_file_secret")} & set(r.stdout)


def test_compiled_plugin_names_are_those_the_runner_loads(run, panel):
    # With one of the names the module reports, the runner takes the entry
    # for a compiled one (which the interpreter's import then loads, or fails
    # to); with the usual suffix it runs the source, kept under its full path.
    panel.write("plugin/cx/cx_main.py", "class cx_main:\n    def f(self, a):\n        return 1\n")
    r = run("""
        USUAL = %r
        import os, sys
        suffixes = PluginLoader._build_info()["compiled_plugin_suffixes"]
        d = os.path.join(PluginLoader._build_info()["panel_root"], "plugin", "cx")
        seen = {}
        for suffix in suffixes + [USUAL]:
            name = "cx" + suffix if suffix.startswith("_main") else "cx_main" + suffix
            open(os.path.join(d, name), "wb").close()
            PluginLoader.plugin_run("cx", "f", None)
            source = [k for k in sys.modules if k.endswith("/cx_main.py")]
            seen[name] = not source
            for k in source + ["cx_main"]:
                sys.modules.pop(k, None)
            os.unlink(os.path.join(d, name))
        emit(seen)
    """ % USUAL_SUFFIX)
    assert r.value == {"cx_main" + RUNNER_SUFFIX: True, "cx_main.so": True,
                       "cx_main" + USUAL_SUFFIX: False}


def test_module_verdicts_on_panel_files(run, panel):
    panel.path("data/div.pl").mkdir()
    panel.write("data/userInfo.json", '{"id": -1, "server_id": "S", "token": "secret-token"}')
    r = run("emit([PluginLoader._iv_file_check(), PluginLoader._account_check()])")
    iv, account = r.value
    assert (iv["state"], iv["length"]) == ("not a regular file", -1)
    # The account number as the request carries it; the token never.
    assert account == {"path": str(panel.path("data/userInfo.json")), "state": "parsed",
                       "uid": "4294967295", "token": True,
                       "detail": "uid 4294967295, server_id present, token present (not shown)"}


def test_encrypt_and_decrypt_one_value_a_line_from_standard_input(build_dir, panel):
    enc = tool("encrypt", "-", "--build", build_dir, "-p", STANDINS,
               stdin="first value\n\nsecond, with é\n")
    assert enc.returncode == 0, enc.stderr
    stored = enc.stdout.splitlines()
    assert len(stored) == 3 and stored[1] == "" and all(s.endswith("=") for s in stored[::2])
    dec = tool("-p", STANDINS, "--build", build_dir, "decrypt", "-", stdin=enc.stdout)
    assert (dec.returncode, dec.stdout) == (0, "first value\n\nsecond, with é\n")
    # Lines given on the command line are worked on one by one too.
    both = tool("--build", build_dir, "-p", STANDINS, "encrypt", "first value\nsecond, with é")
    assert both.stdout.splitlines() == [stored[0], stored[2]]


def test_decrypt_refuses_what_does_not_decipher(build_dir, build_info, panel):
    keys = Keys(build_info)
    iv = b"Kq3Zp8Vn1Xr5Tw7Y"
    panel.write("data/div.pl", keys.iv_file_text(iv))
    stored = keys.stored("v", iv)
    raw = cbc_encrypt(keys.field, iv, b"\xffnot UTF-8")
    # One block whose last byte claims 5 bytes of padding that are not there.
    wrong_pad = keys.stored("x" * 15 + "\x05", iv)[:22] + "=="
    no_stored = ": a stored value is Base64 of whole 16-byte blocks"
    not_text = ": it was stored under other secrets or another IV file"
    for text, why in [("aGVsbG8=", "line 2 is no stored value" + no_stored),
                      (stored + stored, "line 2 is no stored value" + no_stored),
                      (base64.b64encode(raw).decode(), "line 2 does not decipher to text" + not_text),
                      (wrong_pad, "line 2 does not decipher to text" + not_text)]:
        r = tool("--build", build_dir, "-p", STANDINS, "decrypt", "-", stdin=f"{stored}\n{text}\n")
        assert (r.returncode, r.stdout) == (1, ""), r.stderr
        assert r.stderr.splitlines()[1:] == ["plugin-loader: " + why]
    ok = tool("--build", build_dir, "-p", STANDINS, "decrypt", stored)
    assert (ok.returncode, ok.stdout) == (0, "v\n")


def test_missing_public_and_the_fallback_iv(build_dir, panel):
    refused = tool("--build", build_dir, "encrypt", "v")
    assert (refused.returncode, refused.stdout) == (1, "")
    assert not panel.path("data/div.pl").exists()
    assert "ModuleNotFoundError: No module named 'public' (raised in the panel's code; give " \
        "the directory of the panel's own modules with -p)" in refused.stderr
    assert "refused: no IV file" in refused.stderr

    allowed = tool("--build", build_dir, "encrypt", "v", "--allow-fallback-iv")
    assert allowed.returncode == 0 and allowed.stdout.strip().endswith("==")
    # Deciphering never makes an IV file behind the operator's back.
    r = tool("--build", build_dir, "-p", STANDINS, "decrypt", allowed.stdout.strip())
    assert r.returncode == 1 and "refused: no IV file" in r.stderr
    r = tool("--build", build_dir, "-p", STANDINS, "decrypt", allowed.stdout.strip(),
             "--allow-fallback-iv")
    assert (r.returncode, r.stdout) == (0, "v\n"), r.stderr
    assert not panel.path("data/div.pl").exists()

    panel.write("data/div.pl", "garbage")
    damaged = tool("--build", build_dir, "-p", STANDINS, "encrypt", "v")
    assert damaged.returncode == 1 and "the IV file" in damaged.stderr and damaged.stdout == ""


UNREACHABLE = """
def _connect():
    raise OSError("connection refused")

def post(*args, **kwargs):
    try:
        _connect()
    except OSError as err:
        raise ConnectionError("service unreachable") from err
"""


def test_catalog_errors_are_explained_in_few_lines(build_dir, panel, tmp_path):
    (tmp_path / "http_requests.py").write_text(UNREACHABLE)
    r = tool("--build", build_dir, "-p", tmp_path, "-p", STANDINS, "catalog")
    assert r.returncode == 1
    assert "Traceback" not in r.stderr and len(r.stderr.splitlines()) <= 6, r.stderr
    assert "ConnectionError: service unreachable (raised in the panel's code" in r.stderr
    assert "downloading it from the service failed" in r.stderr
    verbose = tool("--build", build_dir, "-p", tmp_path, "-p", STANDINS, "catalog", "-v")
    assert "Traceback (most recent call last):" in verbose.stderr and "_connect()" in verbose.stderr

    panel.write("data/plugin_bin.pl", "{not json" + " " * 9000)
    r = tool("--build", build_dir, "-p", tmp_path, "-p", STANDINS, "catalog")
    assert r.returncode == 1 and "not valid JSON; a new download was started" in r.stderr


def test_closed_pipe_ends_quietly(build_dir, panel):
    panel.write("data/plugin_bin.pl", json.dumps(
        {"list": [{"name": f"p{i}", "title": "x" * 60} for i in range(20000)]}))
    env = dict(os.environ, PL_PYTHON=sys.executable)
    proc = subprocess.Popen([str(CLI), "--build", str(build_dir), "catalog"], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    first = proc.stdout.readline()
    proc.stdout.close()
    err = proc.stderr.read().decode()
    assert proc.wait(timeout=60) == 141
    assert first == b"20000 plugins in the catalog\n"
    assert "Traceback" not in err and "BrokenPipe" not in err


def test_which_module(build_dir, module_file, panel, tmp_path):
    empty = tool("--build", tmp_path, "info")
    assert empty.returncode == 2
    assert empty.stderr.splitlines() == [
        f"plugin-loader: --build {tmp_path}: no {MODULE_FILE_NAME} "
        "in that directory"]
    # Not even a PluginLoader on the search path is taken instead.
    shadow = tool("-p", build_dir, "--build", tmp_path, "info")
    assert shadow.returncode == 2
    none = tool("info")
    assert none.returncode == 2 and "no PluginLoader on the module search path" in none.stderr

    deployed = tmp_path / "deployed.so"
    shutil.copy(module_file, deployed)
    named = tool("info", "--module", deployed)
    assert named.returncode == 0
    assert f"plugin-loader: module {deployed} (version {VERSION}; --module)" in named.stderr
    found = tool("info", "-p", build_dir)
    assert "found on the module search path" in found.stderr
    both = tool("--version", "--build", build_dir)
    assert both.stdout.splitlines() == [f"plugin-loader {VERSION}",
                                        f"PluginLoader {VERSION} {module_file.resolve()}"]


def test_every_argument_has_help_and_options_go_anywhere():
    p = cli.parser()
    commands = [a for a in p._actions if a.dest == "command"][0].choices
    for name, sub in [("", p), *commands.items()]:
        for action in sub._actions:
            assert action.help, f"{name}: {action.dest} has no help text"
    before = p.parse_args(["-p", "/a", "--verbose", "run", "demo", "f"])
    after = p.parse_args(["run", "demo", "f", "-p", "/b", "--build", "B"])
    assert (before.path, before.verbose, after.path_after, after.build) == (
        [Path("/a")], True, [Path("/b")], "B")
    # A command's own options too; one the command does not take is refused.
    opts = cli.parse(p, ["--force", "--wait", "3", "rollback", "D"])
    assert (opts.force, opts.wait, cli.parse(p, ["install", "D"]).wait) == (True, 3, deploy.LOCK_WAIT)
    with pytest.raises(SystemExit):
        cli.parse(p, ["--force", "doctor"])
    # A run needs no key=value.
    assert p.parse_args(["run", "demo", "f"]).args == []


SERVE = """
import json, sys
sys.path[:0] = [sys.argv[1], sys.argv[2]]
import PluginLoader
for line in sys.stdin:
    what, text = line.rstrip("\\n").split(" ", 1)
    answer = getattr(PluginLoader, what)(text)["msg"]
    print(json.dumps([answer, PluginLoader.plugin_run("demo", "f", None)]), flush=True)
"""

WHICH = ("import hashlib, sys; sys.path.insert(0, sys.argv[1]); import PluginLoader; "
         "print(hashlib.sha256(open(PluginLoader.__file__, 'rb').read()).hexdigest())")


def test_install_and_rollback_under_a_running_process(build_dir, module_file, healthy,
                                                      other_secrets_module, tmp_path):
    deploy = tmp_path / "class"
    deploy.mkdir()
    installed = deploy / module_file.name
    previous = deploy / (module_file.name + ".previous")
    first = tool("--module", module_file, "install", deploy)
    assert first.returncode == 0, first.stderr
    assert f"installed {installed}\n  version {VERSION}\n  sha256  {sha256(module_file)}\n" \
        in first.stdout
    assert not previous.exists()

    # A panel process loads the deployed module and keeps calling it.
    panel_process = subprocess.Popen([sys.executable, "-c", SERVE, str(deploy), str(STANDINS)],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def call(what, text):
        panel_process.stdin.write(f"{what} {text}\n")
        panel_process.stdin.flush()
        answer, ran = json.loads(panel_process.stdout.readline())
        assert ran == "ok"
        return answer

    def fresh_process_loads():
        return subprocess.run([sys.executable, "-c", WHICH, str(deploy)], capture_output=True,
                              text=True, check=True).stdout.strip()

    def still_the_module_it_loaded():
        # Its own secrets: it reads what it stored before and stores the same.
        return call("db_decrypt", stored) == "value" and call("db_encrypt", "value") == stored

    try:
        stored = call("db_encrypt", "value")
        # Another build: its code and secrets differ from the loaded ones.
        newer = other_secrets_module
        up = tool("--module", newer, "install", deploy, "--force")
        assert up.returncode == 0, up.stderr
        assert still_the_module_it_loaded()
        assert f"sha256  {sha256(newer)}" in up.stdout and f"sha256 {sha256(module_file)}" \
            in up.stdout
        assert fresh_process_loads() == sha256(newer)
        assert sha256(previous) == sha256(module_file)

        back = tool("rollback", deploy)
        assert back.returncode == 0, back.stderr
        assert still_the_module_it_loaded()
        assert f"restored  {installed}\n  version {VERSION}\n  sha256  {sha256(module_file)}" \
            in back.stdout
        assert fresh_process_loads() == sha256(module_file)
        assert sha256(previous) == sha256(newer)
        assert sorted(p.name for p in deploy.iterdir()) == [installed.name, previous.name]
    finally:
        panel_process.stdin.close()
        assert panel_process.wait(timeout=60) == 0


@pytest.mark.parametrize("setup, args, code, said, left", [
    (None, ["install", "D"], 2, "install needs the module to install", []),
    (None, ["rollback", "D"], 1, "nothing to roll back to", []),
    ("junk", ["--module", "D/junk.so", "install", "D"], 1, "cannot be imported", ["junk.so"]),
    # Nothing installed: the previous module goes in place and keeps no second name.
    ("previous", ["rollback", "D"], 0, "restored  D/M", ["M"]),
    ("open previous", ["--force", "rollback", "D", "--wait", "5"], 0,
     "warning: D/M.previous is writable by group", ["M"]),
], ids=["install without module", "rollback without previous", "junk module",
        "rollback with nothing installed", "--force before"])
def test_install_and_rollback_refusals(module_file, panel, tmp_path, setup, args, code, said,
                                       left):
    def named(text):
        return text.replace("D", str(tmp_path)).replace("M", module_file.name)

    if setup == "junk":
        (tmp_path / "junk.so").write_bytes(b"not a module")
    elif setup:
        previous = tmp_path / (module_file.name + ".previous")
        shutil.copy(module_file, previous)
        previous.chmod(0o775 if setup == "open previous" else 0o755)
    r = tool(*map(named, args))
    assert r.returncode == code and named(said) in r.stdout + r.stderr, r.stdout + r.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == [named(n) for n in left]


@pytest.fixture(scope="session")
def other_secrets_module(build_dir, build_info, tmp_path_factory):
    """The module built for the same panel root with other secrets (and
    other compiler settings, so that its code differs too)."""
    secrets = tmp_path_factory.mktemp("other") / "secrets.txt"
    subprocess.run([sys.executable, str(REPO / "tests" / "make_secrets.py"), str(secrets)],
                   check=True)
    build = REPO / "build" / f"other-secrets-{build_dir.name}"
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")}
    subprocess.run(["cmake", "-S", str(REPO), "-B", str(build),
                    f"-DPython3_EXECUTABLE={sys.executable}",
                    f"-DPANEL_ROOT={build_info['panel_root']}", f"-DPL_SECRETS_FILE={secrets}",
                    "-DCMAKE_BUILD_TYPE=Release"],
                   check=True, stdout=subprocess.DEVNULL, env=env)
    subprocess.run(["cmake", "--build", str(build), "-j2", "--target", "PluginLoader"],
                   check=True, stdout=subprocess.DEVNULL, env=env)
    return build / MODULE_FILE_NAME


def test_install_refuses_a_module_with_other_secrets(module_file, other_secrets_module, healthy,
                                                     tmp_path):
    deploy = tmp_path / "class"
    deploy.mkdir()
    assert tool("--module", module_file, "install", deploy).returncode == 0
    refused = tool("--module", other_secrets_module, "install", deploy)
    assert refused.returncode == 1
    assert "refused: it cannot read the panel's IV file (built with another IV_FILE_SECRET)" \
        in refused.stderr
    assert sha256(deploy / module_file.name) == sha256(module_file)
    forced = tool("--module", other_secrets_module, "install", deploy, "--force")
    assert forced.returncode == 0 and "warning: it cannot read" in forced.stderr
    assert sha256(deploy / module_file.name) == sha256(other_secrets_module)


@pytest.fixture
def as_root():
    if os.geteuid() != 0:
        pytest.skip("needs root, to give files to another user")


def test_deploys_trust_no_strangers_file(module_file, other_secrets_module, panel, tmp_path,
                                         as_root):
    deploy_dir = tmp_path / "class"
    deploy_dir.mkdir()
    deploy_dir.chmod(0o777)
    installed = deploy_dir / module_file.name
    shared = tmp_path / "shared.so"
    shutil.copy(module_file, shared)
    shared.chmod(0o775)
    r = tool("--module", shared, "install", deploy_dir)
    assert r.returncode == 1 and f"refused: {shared} is writable by group (mode 0775)" in r.stderr
    assert f"warning: {deploy_dir} is writable by group or others (mode 0777)" in r.stderr
    assert list(deploy_dir.iterdir()) == []

    # Another user's world-writable module in place is not imported to compare
    # and not put back without --force; what is installed is the command's own.
    shutil.copy(other_secrets_module, installed)
    os.chown(installed, 12345, -1)
    installed.chmod(0o777)
    r = tool("--module", module_file, "install", deploy_dir)
    assert r.returncode == 0 and "(mode 0777): not imported" in r.stderr, r.stderr
    refused = tool("rollback", deploy_dir)
    assert refused.returncode == 1 and f"refused: {installed}.previous is owned by uid 12345, " \
        "not by root" in refused.stderr
    assert tool("rollback", deploy_dir, "--force").returncode == 0
    st = installed.stat()
    assert (st.st_uid, st.st_mode & 0o7777, sha256(installed)) == \
        (0, 0o755, sha256(other_secrets_module))


def test_two_deploys_at_once_take_turns(build_info, module_file, other_secrets_module, panel,
                                        tmp_path, monkeypatch):
    installed, previous = tmp_path / module_file.name, tmp_path / (module_file.name + ".previous")
    env = dict(os.environ, PL_PYTHON=sys.executable)
    # A lock file removed and made anew between a run's open and its lock is
    # no lock: the run locks the one at the name now.
    lock, flock = tmp_path / deploy.LOCK_NAME, deploy.fcntl.flock
    swap = [lambda: [lock.unlink(), lock.touch()]]
    monkeypatch.setattr(deploy.fcntl, "flock",
                        lambda fd, op: [swap and swap.pop()(), flock(fd, op)][1])
    with deploy.deploy_lock(tmp_path, 0), open(lock) as other:
        with pytest.raises(BlockingIOError):
            flock(other, deploy.fcntl.LOCK_EX | deploy.fcntl.LOCK_NB)
    monkeypatch.undo()
    with deploy.deploy_lock(tmp_path, 0):
        late = tool("--module", module_file, "install", tmp_path, "--wait", "0.3")
        assert (late.returncode, late.stderr.splitlines()[-1]) == (1, (
            f"plugin-loader: another install or rollback in {tmp_path} holds {tmp_path}/"
            f"{deploy.LOCK_NAME}: gave up after 0.3 seconds (--wait SECONDS waits longer)"))
    assert tool("--module", module_file, "install", tmp_path).returncode == 0

    # No IV file tells the two builds apart: their secrets fingerprints do.
    theirs = json.loads((other_secrets_module.parent / "build_info.json").read_text())
    refused = tool("--module", other_secrets_module, "install", tmp_path)
    assert refused.returncode == 1 and not panel.path("data/div.pl").exists()
    assert (f"it was built with other secrets (secrets fingerprint {theirs['secrets_fingerprint']}"
            f", the installed module's {build_info['secrets_fingerprint']})") in refused.stderr
    assert tool("--module", other_secrets_module, "install", tmp_path, "--force").returncode == 0

    # Two rollbacks at once: the second undoes the first, whichever starts first.
    runs = [subprocess.Popen([str(CLI), "rollback", str(tmp_path)], env=env,
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
            for _ in range(2)]
    assert [r.wait(timeout=120) for r in runs] == [0, 0], [r.stderr.read() for r in runs]
    assert sorted(p.name for p in tmp_path.iterdir()) == [installed.name, previous.name]
    assert (sha256(installed), sha256(previous)) == (sha256(other_secrets_module),
                                                     sha256(module_file))
