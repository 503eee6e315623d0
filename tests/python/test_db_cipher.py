"""db_encrypt / db_decrypt: the stored form, the line rules and the IV file.

The expected stored texts are computed independently with OpenSSL (through
the `cryptography` package) from the build's secrets.
"""
import base64
import concurrent.futures
import os
import re
import shutil

import pytest
from cryptography.hazmat.primitives import padding
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

from test_threaded_panel import no_caps
from test_transport_bridge import probe_run  # noqa: F401 (a fixture)

IV_FILE = "data/div.pl"


def cbc_encrypt(key, iv, data):
    padder = padding.PKCS7(128).padder()
    enc = Cipher(algorithms.AES(key), modes.CBC(iv)).encryptor()
    return enc.update(padder.update(data) + padder.finalize()) + enc.finalize()


def cbc_decrypt(key, iv, data):
    dec = Cipher(algorithms.AES(key), modes.CBC(iv)).decryptor()
    unpadder = padding.PKCS7(128).unpadder()
    return unpadder.update(dec.update(data) + dec.finalize()) + unpadder.finalize()


class Keys:
    def __init__(self, info):
        self.field = info["db_field_secret"][0::2].encode()
        self.iv_file_key = info["iv_file_secret"][0::2].encode()
        self.iv_file_chain = info["iv_file_secret"][1::2].encode()
        self.fallback_iv = info["db_fallback_iv_secret"][0::2].encode()

    def stored(self, value, iv):
        return base64.b64encode(cbc_encrypt(self.field, iv, value.encode())).decode()

    def iv_of_file(self, text):
        return cbc_decrypt(self.iv_file_key, self.iv_file_chain, base64.b64decode(text))

    def iv_file_text(self, iv):
        return base64.b64encode(cbc_encrypt(self.iv_file_key, self.iv_file_chain, iv)).decode()


@pytest.fixture
def keys(build_info):
    return Keys(build_info)


def test_stored_form_is_base64_of_padded_cbc(run, panel, keys):
    values = ["a" * 15, "b" * 16, "héllo wörld ✓", "x" * 100, "tab\tand\rcr", "1"]
    r = run(f"""
        values = {values!r}
        enc = [PluginLoader.db_encrypt(v) for v in values]
        again = [PluginLoader.db_encrypt(v)["msg"] for v in values]
        dec = [PluginLoader.db_decrypt(e["msg"]) for e in enc]
        emit({{"enc": enc, "again": again, "dec": dec}})
    """)
    assert r.returncode == 0, r.stderr
    v = r.value
    assert all(e["status"] is True for e in v["enc"] + v["dec"])
    stored = [e["msg"] for e in v["enc"]]
    assert v["again"] == stored
    assert [d["msg"] for d in v["dec"]] == values

    iv = keys.iv_of_file(panel.read(IV_FILE))
    assert re.fullmatch(rb"[A-Za-z0-9]{16}", iv)
    assert stored == [keys.stored(value, iv) for value in values]
    assert len(stored[0]) == 24 and stored[0].endswith("==")
    assert len(stored[1]) == 44 and stored[1].endswith("=") and not stored[1].endswith("==")


def test_line_rules_and_damaged_text(run, keys):
    r = run(r"""
        P = PluginLoader
        e = lambda t: P.db_encrypt(t)["msg"]
        d = lambda t: P.db_decrypt(t)["msg"]
        a, b = e("first"), e("second")
        emit({
            "a": a, "b": b, "a_r": e("first\r"),
            "two": e("first\nsecond"), "blank": e("\n\nfirst\r\n\n"),
            "empties": [P.db_encrypt(""), P.db_encrypt("\n\n\n"), P.db_decrypt("")],
            "joined": d(a + "\n" + b), "run_together": d(a + b),
            "hello": d("aGVsbG8="), "garbage": d("=abc\n#abc"),
            "nul": [P.db_encrypt("a\x00b"), P.db_decrypt("a\x00b")],
        })
    """)
    assert r.returncode == 0, r.stderr
    v = r.value
    assert v["two"] == v["a"] + v["b"]
    assert v["blank"] == v["a_r"]  # a carriage return stays with its line
    ok_empty = {"status": True, "msg": ""}
    assert v["empties"] == [ok_empty, ok_empty, ok_empty]
    assert v["joined"] == "firstsecond"
    assert v["run_together"] == "first"  # decoding stops at the first "="
    assert v["hello"] == "hello"
    assert v["garbage"] == ""
    assert v["nul"] == [{"status": False, "msg": "Invalid parameters."},
                        {"status": False, "msg": "invalid parameters."}]


def test_undecodable_result_raises_the_decoding_error(run):
    r = run("""
        try:
            PluginLoader.db_decrypt("//79")  # the bytes ff fe fd, not UTF-8
            emit("no error")
        except UnicodeDecodeError as e:
            emit("UnicodeDecodeError")
    """)
    assert r.value == "UnicodeDecodeError"


HOOK_COUNTING = """
    import os
    def get_div(text):
        with open(os.environ["PL_HOOK_LOG"], "a") as f:
            f.write(text + "\\n")
        return text
"""

HOOK_FORBIDDEN = """
    def get_div(text):
        raise AssertionError("the hook must not run while the IV file exists")
"""


def test_iv_file_made_by_the_hook_and_reused(run, panel, keys, tmp_path):
    log = tmp_path / "hook.log"
    code = 'emit(PluginLoader.db_encrypt("value\\nother")["msg"])'
    first = run(code, stubs={"public": HOOK_COUNTING}, env={"PL_HOOK_LOG": str(log)})
    assert first.returncode == 0, first.stderr
    calls = log.read_text().splitlines()
    assert len(calls) == 1  # later pieces found the file
    content = panel.read(IV_FILE)
    assert content == calls[0]  # the hook's text, unchanged, no line break
    iv = keys.iv_of_file(content)
    assert first.value == keys.stored("value", iv) + keys.stored("other", iv)

    second = run(code, stubs={"public": HOOK_FORBIDDEN})
    assert second.returncode == 0, second.stderr
    assert second.value == first.value
    assert "AssertionError" not in second.stderr


def test_without_public_module_the_fallback_iv_is_used(run, panel, keys):
    r = run("""
        enc = PluginLoader.db_encrypt("one\\ntwo")["msg"]
        emit([enc, PluginLoader.db_decrypt(enc[:24] + "\\n" + enc[24:])["msg"]])
    """, omit=("public",))
    assert r.returncode == 0, r.stderr
    enc, dec = r.value
    assert enc == keys.stored("one", keys.fallback_iv) + keys.stored("two", keys.fallback_iv)
    assert dec == "onetwo"
    # One printed import error per piece, each way.
    assert r.stderr.count("ModuleNotFoundError") == 4
    assert not panel.path(IV_FILE).exists()


@pytest.mark.parametrize("hook, error", [
    ("def get_div(text):\n    raise ValueError('hook broke')\n", "ValueError: hook broke"),
    ("def get_div(text):\n    return 42\n", "TypeError"),
    ("def get_div(text):\n    return text.encode()\n", "TypeError"),
    ("def get_div(text):\n    return '\\udcff'\n", "UnicodeEncodeError"),
    ("get_dev = None\n", "AttributeError"),
])
def test_failing_hook_writes_nothing(run, panel, keys, hook, error):
    r = run('emit(PluginLoader.db_encrypt("v")["msg"])', stubs={"public": hook})
    assert r.returncode == 0, r.stderr
    assert r.value == keys.stored("v", keys.fallback_iv)
    assert error in r.stderr
    assert not panel.path(IV_FILE).exists()


@pytest.mark.parametrize("suffix, stored", [
    ("text + '\\x00\\nignored'", "text"),  # the rest would join the text after a line
    ("'\\x00' + text", "nothing"),
])
def test_hook_result_is_stored_up_to_its_first_nul(run, panel, keys, suffix, stored):
    hook = f"def get_div(text):\n    return {suffix}\n"
    code = 'emit(PluginLoader.db_encrypt("v"))'
    first = run(code, stubs={"public": hook})
    assert first.returncode == 0, first.stderr
    content = panel.read(IV_FILE, binary=True)
    if stored == "text":
        assert re.fullmatch(rb"[A-Za-z0-9+/]+=*", content), content
        iv = keys.iv_of_file(content.decode())
        assert first.value == {"status": True, "msg": keys.stored("v", iv)}
    else:
        # An empty IV file gives no IV: nothing is enciphered under zero bytes.
        assert content == b""
        assert first.value == {"status": False,
                               "msg": f"unusable IV file {panel.path(IV_FILE)}: empty"}
    assert run(code, stubs={"public": HOOK_FORBIDDEN}).value == first.value


LINK = "a symbolic link, which is never enciphered under"


@pytest.mark.parametrize("plant, reason", [
    (lambda path, sound, keys: os.mkfifo(path), "not a regular file"),
    (lambda path, sound, keys: path.symlink_to("/dev/zero"), LINK),  # an endless device
    # Deciphering reads through a link as it always did: values stored
    # through one stay readable.
    (lambda path, sound, keys: [path.symlink_to(sound), b"Ab3Cd4Ef5Gh6Ij7K"][1], LINK),
    (lambda path, sound, keys: [path.symlink_to(sound.parent / "nothing"), keys.fallback_iv][1],
     LINK),
    (lambda path, sound, keys: path.mkdir(), "not a regular file"),
    (lambda path, sound, keys: [sound.rename(path), path.chmod(0)],
     "unreadable (Permission denied)"),
    (lambda path, sound, keys: [path.write_text(keys.iv_file_text(b"Ab3Cd4Ef5G")), b"Ab3Cd4Ef5G"][1],
     "deciphers to 10 characters, not 16"),
], ids=["fifo", "link to a device", "link to a sound IV file", "dangling link", "directory",
        "unreadable file", "short IV"])
def test_iv_file_that_gives_no_iv_is_refused_and_said_aloud(run, panel, keys, tmp_path, plant,
                                                            reason):
    path, sound = panel.path(IV_FILE), tmp_path / "div.pl"
    sound.write_text(keys.iv_file_text(b"Ab3Cd4Ef5Gh6Ij7K"))
    given = plant(path, sound, keys)
    # What such a file has always given: zero bytes where it gives nothing.
    weak = (given if isinstance(given, bytes) else b"").ljust(16, b"\0")
    before, message = os.lstat(path), f"unusable IV file {path}: {reason}"
    r = run(f"""
        emit(PluginLoader.db_encrypt("v\\nw"))
        emit(PluginLoader.db_decrypt({keys.stored("v", weak) + chr(10) + keys.stored("w", weak)!r}))
    """, stubs={"public": HOOK_FORBIDDEN}, timeout=30, prefix=no_caps())
    # Nothing enciphered, neither blocking nor read as absent (no new IV),
    # and the file left as it is; values stored under what it gave read on.
    assert r.out == [{"status": False, "msg": message}, {"status": True, "msg": "vw"}], r.stderr
    assert r.stderr.splitlines() == [f"PluginLoader: {message}"] * 2
    after = os.lstat(path)
    assert (after.st_ino, after.st_mode, after.st_mtime_ns) == \
        (before.st_ino, before.st_mode, before.st_mtime_ns)
    assert os.listdir(panel.path("data")) == ["div.pl"]


def test_iv_file_longer_than_one_read_is_read_whole(run, panel, keys):
    iv = b"Ab3Cd4Ef5Gh6Ij7K"
    # Any whole number of these blocks ends in wrong padding: only the whole
    # text deciphers to a value, whose first 16 bytes are the IV.
    filler = (b"\x10" * 15 + b"\x02") * 200
    panel.write(IV_FILE, keys.iv_file_text(iv + filler))
    r = run('emit(PluginLoader.db_encrypt("v")["msg"])', stubs={"public": HOOK_FORBIDDEN})
    assert r.value == keys.stored("v", iv)


def test_loader_methods_beside_the_functions(probe_run, panel, keys):  # noqa: F811
    """The loader object's key, cipher, OEM and module-loading methods that
    the module's functions do not call, reached through the test probe."""
    panel.write("data/o.pl", "  oem-name \n")
    entry = panel.write("plugin/p/p_main.py", "class p_main:\n    v = 'p'\n")
    r = probe_run(f"""
        stored = PluginLoader.db_encrypt("value")["msg"]
        made = [x.decode() for x in probe.loader_keys()]
        field, iv = made[0], made[3]
        def c(*args):
            return probe.loader_cipher(*args).decode()
        plugin, module = probe.loader_modules({str(entry)!r})
        emit([made, stored, [c("db_aes_encrypt", "value"), c("_aes_encrypt", "value", field, iv)],
              [c("db_aes_decrypt", stored), c("_aes_decrypt", stored, field, iv)],
              c("_aes_encrypt_module", "text"), c("_aes_decrypt_module", {keys.iv_file_text(b"t")!r}),
              plugin is module, plugin.p_main.v])
    """)
    made, stored, encrypted, decrypted, module_text, module_plain, same, v = r.value
    iv = keys.iv_of_file(panel.read(IV_FILE))
    assert made == [k.decode() for k in (keys.field, keys.iv_file_key, keys.iv_file_chain, iv)] + \
        ["oem-name"]
    assert encrypted == [stored, stored] and stored == keys.stored("value", iv)
    assert decrypted == ["value", "value"]
    assert (module_text, module_plain) == (keys.iv_file_text(b"text"), "t")
    assert (same, v) == (True, "p")


STRACE = shutil.which("strace")
# The allocator's calls depend on the interpreter's heap, not on the piece.
MEMORY_CALLS = {"brk", "mmap", "munmap", "mremap", "madvise"}


def traced_calls(log):
    """The system calls between each pair of begin/end marks in an strace
    log, by mark name, as (name, first argument); an openat or a status call
    as (name, path, result)."""
    sections, current = {}, None
    for line in log.read_text().splitlines():
        m = re.match(r'(\w+)\(("[^"]*"|[^,)]*)(?:, ("[^"]*"))?.*= (-?\d+)', line)
        if not m:
            continue
        name, first, second, result = m.groups()
        mark = re.fullmatch(r'"/pl-trace-(begin|end)-(\w+)"', first)
        if name == "access" and mark:
            current = mark.group(2) if mark.group(1) == "begin" else None
            sections.setdefault(mark.group(2), [])
        elif current and name in ("openat", "newfstatat"):
            sections[current].append((name, second, result))
        elif current and name not in MEMORY_CALLS:
            sections[current].append((name, first))
    return sections


@pytest.mark.skipif(STRACE is None, reason="strace is not installed")
def test_the_iv_is_read_once_and_checked_with_one_system_call_a_piece(run, panel, keys, tmp_path):
    log, other = tmp_path / "trace", tmp_path / "other"
    other.write_text(keys.iv_file_text(b"Zz9Yy8Xx7Ww6Vv5U"))
    r = run(f"""
        import os
        P = PluginLoader
        stored = P.db_encrypt("v" * 32)["msg"]  # makes the IV file
        P.db_decrypt(stored)

        def traced(mark, fn, arg):
            os.access("/pl-trace-begin-" + mark, os.F_OK)
            result = fn(arg)["msg"]
            os.access("/pl-trace-end-" + mark, os.F_OK)
            return result

        traced("encrypt", P.db_encrypt, "v" * 32)
        traced("decrypt", P.db_decrypt, stored)
        traced("two", P.db_encrypt, "v\\nw")
        traced("none", P.db_encrypt, "\\n")
        os.replace({str(other)!r}, {str(panel.path(IV_FILE))!r})
        emit([traced("replaced", P.db_encrypt, "v"), traced("again", P.db_encrypt, "v")])
    """, prefix=(STRACE, "-qq", "-o", str(log)))
    assert r.returncode == 0, r.stderr
    assert r.value == [keys.stored("v", b"Zz9Yy8Xx7Ww6Vv5U")] * 2
    path = f'"{panel.path(IV_FILE)}"'
    calls = traced_calls(log)
    piece = [("newfstatat", path, "0")]
    assert calls["encrypt"] == piece, calls["encrypt"]
    assert calls["decrypt"] == piece, calls["decrypt"]
    assert calls["two"] == piece * 2, calls["two"]  # the file is checked for every piece
    assert calls["none"] == []
    # Another file at the path is read afresh, once.
    fd = calls["replaced"][1][-1]
    assert calls["replaced"] == piece + [("openat", path, fd), ("newfstatat", '""', "0"),
                                         ("read", fd), ("close", fd)], calls["replaced"]
    assert calls["again"] == piece


# Each process's hook stores an IV of its own (not the one the module drew,
# which may be equal across processes seeded in the same second) and takes
# its time, so all of them meet the missing file together.
HOOK_RACING = """
    import base64, os, secrets, string, time
    from cryptography.hazmat.primitives import padding
    from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

    def get_div(text):
        secret = os.environ["PL_IV_SECRET"]
        iv = "".join(secrets.choice(string.ascii_letters + string.digits)
                     for _ in range(16)).encode()
        padder = padding.PKCS7(128).padder()
        enc = Cipher(algorithms.AES(secret[0::2].encode()),
                     modes.CBC(secret[1::2].encode())).encryptor()
        data = enc.update(padder.update(iv) + padder.finalize()) + enc.finalize()
        time.sleep(0.5)
        return base64.b64encode(data).decode()
"""

RACER = """
    import os, pathlib, time
    gate = pathlib.Path(os.environ["PL_GATE"])
    (gate / str(os.getpid())).touch()
    deadline = time.time() + 60
    while len(list(gate.iterdir())) < 8 and time.time() < deadline:
        time.sleep(0.01)
    emit(PluginLoader.db_encrypt("shared value")["msg"])
"""


def test_processes_meeting_a_missing_iv_file_agree(run, panel, keys, build_info, tmp_path):
    gate = tmp_path / "gate"
    gate.mkdir()
    env = {"PL_GATE": str(gate), "PL_IV_SECRET": build_info["iv_file_secret"]}
    with concurrent.futures.ThreadPoolExecutor(max_workers=8) as pool:
        futures = [pool.submit(run, RACER, stubs={"public": HOOK_RACING}, env=env)
                   for _ in range(8)]
        results = [f.result() for f in futures]
    for r in results:
        assert r.returncode == 0, r.stderr
    stored = {r.value for r in results}
    iv = keys.iv_of_file(panel.read(IV_FILE))
    assert stored == {keys.stored("shared value", iv)}
    assert not [p for p in panel.path("data").iterdir() if p.name != "div.pl"]  # no temp files

    later = run('emit(PluginLoader.db_decrypt(%r)["msg"])' % stored.pop(),
                stubs={"public": HOOK_FORBIDDEN})
    assert later.value == "shared value"


def test_no_secret_or_derived_key_in_the_module(module_file, build_info):
    data = module_file.read_bytes()
    secrets = [build_info[k] for k in ("db_field_secret", "iv_file_secret",
                                       "db_fallback_iv_secret")]
    derived = [secrets[0][0::2], secrets[1][0::2], secrets[1][1::2], secrets[2][0::2]]
    for text in secrets + derived:
        assert text.encode() not in data, text
        assert text[:8].encode() not in data, text


def test_no_reference_or_memory_leaks(run, panel):
    r = run("""
        import os, sys, tracemalloc
        import public
        P = PluginLoader
        path = os.environ["PL_IV_PATH"]
        value = "a value of 32 bytes, the common"
        stored = P.db_encrypt(value)["msg"]

        def cycle():
            if os.path.exists(path):
                os.unlink(path)  # the hook runs again each time
            P.db_encrypt(value)
            P.db_decrypt(stored)
            P.db_encrypt(1)

        for _ in range(200):
            cycle()
        counts = (sys.getrefcount(value), sys.getrefcount(stored),
                  sys.getrefcount(public), sys.getrefcount(public.get_div))
        tracemalloc.start()
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(3000):
            cycle()
        grown = tracemalloc.get_traced_memory()[0] - before
        emit({"same_counts": counts == (sys.getrefcount(value), sys.getrefcount(stored),
                                        sys.getrefcount(public), sys.getrefcount(public.get_div)),
              "grown": grown})
    """, env={"PL_IV_PATH": str(panel.path(IV_FILE))})
    assert r.returncode == 0, r.stderr
    assert r.value["same_counts"]
    assert r.value["grown"] < 64 * 1024, r.value


HOOK_SAME = "def get_div(text):\n    return text\n"


def test_new_ivs_are_unguessable_private_and_leave_rand_alone(run, panel, keys):
    path = str(panel.path(IV_FILE))
    r = run(f"""
        import ctypes, os
        libc = ctypes.CDLL(None)
        os.umask(0)
        libc.srand(7)
        expected = [libc.rand() for _ in range(5)]
        libc.srand(7)
        texts, modes = [], []
        for _ in range(3):  # well within one second
            PluginLoader.db_encrypt("v")
            texts.append(open({path!r}).read())
            modes.append(os.stat({path!r}).st_mode & 0o777)
            os.remove({path!r})
        emit([texts, modes, [libc.rand() for _ in range(5)] == expected])
    """, stubs={"public": HOOK_SAME})
    texts, modes, rand_untouched = r.value
    ivs = {keys.iv_of_file(t) for t in texts}
    assert len(ivs) == 3 and all(re.fullmatch(rb"[A-Za-z0-9]{16}", iv) for iv in ivs)
    assert modes == [0o600] * 3
    assert rand_untouched, "making an IV reseeded the process's rand()"


def test_iv_file_that_cannot_be_made_is_said_aloud(run, panel, keys, tmp_path):
    code = 'emit(PluginLoader.db_encrypt("v")["msg"])'
    planted = tmp_path / "planted"
    panel.path(IV_FILE).symlink_to(planted)
    r = run(code, stubs={"public": HOOK_SAME})
    # A link in the way is no missing IV file: nothing is enciphered.
    assert r.value == f"unusable IV file {panel.path(IV_FILE)}: {LINK}"
    assert not planted.exists() and panel.path(IV_FILE).is_symlink()

    shutil.rmtree(panel.path("data"))
    r = run(code, stubs={"public": HOOK_SAME})
    assert r.value == keys.stored("v", keys.fallback_iv)
    assert f"IV file {panel.path(IV_FILE)}: No such file or directory" in r.stderr
