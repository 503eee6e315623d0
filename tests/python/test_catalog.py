"""Catalog download, store, parse and listing, through a recording http_requests."""
import json
import os
import platform
import socket
import subprocess
import time
from pathlib import Path

import pytest

from harness import NODE_ON_LOOPBACK, cloud_service_module
from test_threaded_panel import no_caps

# A stand-in http_requests that logs every call and answers from a script of
# canned replies: {"status": N, "file": path} or {"raise": text}; when the
# script runs out it raises ConnectionError.
RECORDER = """
import json, os
LOG = os.environ["PL_HTTP_LOG"]
REPLIES = json.loads(os.environ.get("PL_HTTP_REPLIES", "[]"))

class Response:
    def __init__(self, status_code, content):
        self.status_code = status_code
        self.content = content

def post(url, data, timeout, headers, verify):
    with open(LOG, "a") as f:
        f.write(json.dumps({"url": url, "data": data, "timeout": list(timeout),
                            "headers": headers, "verify": verify,
                            "types": [type(data).__name__, type(timeout).__name__,
                                      type(headers).__name__]}) + "\\n")
    n = sum(1 for _ in open(LOG)) - 1
    if n >= len(REPLIES):
        raise ConnectionError("service unreachable")
    reply = REPLIES[n]
    if "raise" in reply:
        raise RuntimeError(reply["raise"])
    with open(reply["file"], "rb") as f:
        return Response(reply["status"], f.read())
"""

MSG_EMPTY = "failed to load soft list in file. please try again later. -1"
MSG_UTF8 = "failed to parse soft list, trying repair, please try again later."
MSG_JSON = "invalid soft list, is auto repaired. please try again later. -2"


def catalog_text(count=40, pad=250):
    """A catalog answer; the defaults make it longer than an error reply."""
    plugins = [{"name": f"p{i}", "title": f"Plugin {i}", "ps": "x" * pad} for i in range(count)]
    return json.dumps({"list": plugins, "type": ["tools"]})


@pytest.fixture
def service(run, tmp_path):
    """Runs scenario code against the recording http_requests."""
    log = tmp_path / "requests.log"

    class Service:
        def __init__(self):
            self.replies = []

        def reply(self, body, status=200):
            path = tmp_path / f"reply{len(self.replies)}"
            path.write_bytes(body.encode() if isinstance(body, str) else body)
            self.replies.append({"status": status, "file": str(path)})

        def fail(self, text="connection refused"):
            self.replies.append({"raise": text})

        def run(self, code, **kw):
            return run(code, stubs={"http_requests": RECORDER},
                       env={"PL_HTTP_LOG": str(log), "PL_HTTP_REPLIES": json.dumps(self.replies)},
                       **kw)

        @property
        def calls(self):
            if not log.exists():
                return []
            return [json.loads(line) for line in log.read_text().splitlines()]

    return Service()


def json_of_size(size, item='"p"'):
    """A catalog answer of exactly size bytes that parses as JSON."""
    head, tail = '{"list":[' + item + '],"pad":"', '"}'
    return head + "x" * (size - len(head) - len(tail)) + tail


def data_files(panel):
    return sorted(p.name for p in panel.path("data").iterdir())


class TestRequest:
    def test_default_account_and_request_shape(self, service, panel, build_info):
        service.reply(catalog_text())
        r = service.run("emit(PluginLoader.get_plugin_list(1)['type'])")
        assert r.value == ["tools"], r.stderr
        (call,) = service.calls
        assert call["url"] == build_info["service_url"] + "/api/panel/getSoftListEn"
        assert list(call["data"]) == ["uid", "environment_info"]
        assert call["data"]["uid"] == "0"
        assert call["headers"] == {"Authorization": "zq "}
        assert call["timeout"] == [6, 10]
        # The build's SERVICE_TLS_VERIFY, for the default route when it is HTTPS.
        https = build_info["service_url"].startswith("https://")
        assert call["verify"] is (build_info["tls_verify"] == 1 and https)
        assert call["types"] == ["dict", "tuple", "dict"]
        env = json.loads(call["data"]["environment_info"])
        assert env["install_code"] == "OFF"

    def test_environment_description(self, service, panel):
        panel.write("data/iplist.txt", '\n10.0.0."7\\\n10.0.0.8\n')
        service.reply(catalog_text())
        service.run("PluginLoader.get_plugin_list(1)")
        text = service.calls[0]["data"]["environment_info"]
        assert " " not in text.replace(platform.platform(), "")
        env = json.loads(text)
        assert list(env) == ["ramid", "cpuid", "hdid", "os", "mac", "server_name",
                             "install_code", "is_ipv6", "ip"]
        assert env["is_ipv6"] == 0 and '"is_ipv6":0,' in text
        assert env["ip"] == '10.0.0."7\\'
        meminfo = Path("/proc/meminfo").read_text()
        kib = int(next(l for l in meminfo.splitlines() if l.startswith("MemTotal")).split()[1])
        assert env["ramid"] == str(kib * 1024)
        assert env["server_name"] == socket.gethostname()
        assert env["os"] == platform.platform()
        assert "\n" not in env["cpuid"]
        assert env["mac"] == "" or len(env["mac"]) == 17

    @pytest.mark.parametrize("account, uid, auth, code", [
        ('{"id": 7, "server_id": "S-1", "token": "tok"}', "7", "zq tok", "S-1"),
        ('{"uid": -1, "server_id": "S", "token": "t"}', "4294967295", "zq t", "S"),
        ('{"uid": 5, "server_id": "S"}', "0", "zq ", "OFF"),
    ])
    def test_account_file(self, service, panel, account, uid, auth, code):
        panel.write("data/userInfo.json", account)
        service.reply(catalog_text())
        service.run("PluginLoader.get_plugin_list(1)")
        (call,) = service.calls
        assert call["data"]["uid"] == uid
        assert call["headers"] == {"Authorization": auth}
        assert json.loads(call["data"]["environment_info"])["install_code"] == code

    def test_account_that_is_not_an_object_sends_nothing(self, service, panel):
        panel.write("data/userInfo.json", "[1,2]")
        r = service.run("emit(PluginLoader.get_plugin_list(1))")
        assert r.value == {"status": False, "msg": MSG_EMPTY}
        assert service.calls == []
        assert data_files(panel) == ["userInfo.json"]

    def test_address_list_without_line_feed_is_sent_whole(self, service, panel):
        panel.write("data/iplist.txt", "192.0.2.9  ")
        service.reply(catalog_text())
        service.run("PluginLoader.get_plugin_list(1)")
        env = json.loads(service.calls[0]["data"]["environment_info"])
        assert env["ip"] == "192.0.2.9  "


class TestRequestSafety:
    @pytest.mark.parametrize("token", ["t\r\nX-Injected: 1", "t\nX-Injected: 1", "t\r", "t\udcff"])
    def test_token_with_line_break_sends_nothing(self, service, panel, token):
        account = json.dumps({"uid": 1, "server_id": "S", "token": token}, ensure_ascii=False)
        # The last token is the byte 0xff, which is no UTF-8.
        panel.write("data/userInfo.json", account.encode("utf-8", "surrogateescape"))
        old = catalog_text(2)
        panel.write("data/plugin_bin.pl", old)
        before = {p.name: p.stat().st_mtime_ns for p in panel.path("data").iterdir()}
        r = service.run("emit(len(PluginLoader.get_plugin_list(1)['list']))")
        assert r.value == 2
        assert service.calls == []
        if token.startswith("t\r") or token.startswith("t\n"):
            assert r.stderr.count("\n") == 1 and "line break" in r.stderr, r.stderr
        assert {p.name: p.stat().st_mtime_ns for p in panel.path("data").iterdir()} == before

    def test_host_name_of_64_bytes_is_sent_whole(self, service, panel):
        name = "h" * 63 + "9"
        service.reply(catalog_text())
        r = service.run(f"import socket; socket.sethostname({name!r}); PluginLoader.get_plugin_list(1)",
                        prefix=["unshare", "--uts"])  # a host name of the scenario's own
        if r.returncode != 0 and not service.calls:
            pytest.skip(f"no UTS namespace of our own here: {r.stderr[-200:]}")
        env = json.loads(service.calls[0]["data"]["environment_info"])
        assert env["server_name"] == name


class TestAnswers:
    def test_short_answer_is_an_error_reply(self, service, panel):
        body = json_of_size(8192)  # parses, yet is no catalog at this length
        service.reply(body)
        r = service.run("emit(PluginLoader.get_plugin_list(1))")
        assert panel.read("data/plugin_bin.pl.err") == body
        assert not panel.path("data/plugin_bin.pl").exists()
        assert r.value == {"status": False, "msg": MSG_EMPTY}  # and a second attempt
        assert len(service.calls) == 2

    def test_long_answer_that_parses_is_the_catalog(self, service, panel):
        body = catalog_text(1, pad=0)
        body += " " * (8193 - len(body))
        service.reply(body)
        r = service.run("emit(len(PluginLoader.get_plugin_list(1)['list']))")
        assert r.value == 1
        assert panel.read("data/plugin_bin.pl") == body
        assert data_files(panel) == ["plugin_bin.pl"]

    def test_long_non_json_answer_keeps_old_catalog_and_drops_document(self, service, panel):
        old = catalog_text(3)
        panel.write("data/plugin_bin.pl", old)
        service.reply("<html>" + "x" * 9000)
        r = service.run(f"""
            emit(PluginLoader.parse_plugin_list(0))
            emit(len(PluginLoader.get_plugin_list(1)["list"]))
            open({str(panel.path("data/plugin_bin.pl"))!r}, "w").write("[]")
            emit(PluginLoader.parse_plugin_list(0))  # the document was dropped: re-read
        """)
        assert r.out == [True, 3, False]
        assert panel.read("data/plugin_bin.pl.err").startswith("<html>")

    # The answer's object and "list" array are two of the 512 levels allowed.
    @pytest.mark.parametrize("item, taken", [
        ('"\u4e2d\u6587\u63d2\u4ef6"', False),  # sent GBK-encoded
        ("[" * 510 + "]" * 510, True),
        ("[" * 511 + "]" * 511, False),
        ("[" * 50000 + "]" * 50000, False),
    ], ids=["gbk", "deep-at-limit", "deep", "very-deep"])
    def test_only_an_answer_the_listing_can_show_replaces_the_catalog(self, service, panel,
                                                                      item, taken):
        old = catalog_text(3)
        panel.write("data/plugin_bin.pl", old)
        body = json_of_size(20000, item).encode("gbk")
        service.reply(body)
        r = service.run("""
            for force in (1, 0, 0):
                emit(len(PluginLoader.get_plugin_list(force)["list"]))
            emit(PluginLoader.parse_plugin_list(0))
        """)
        assert r.out == [1 if taken else 3] * 3 + [True], r.stderr
        assert len(service.calls) == 1  # no repair download afterwards
        assert panel.read("data/plugin_bin.pl", binary=True) == (body if taken else old.encode())
        assert panel.path("data/plugin_bin.pl.err").exists() is not taken

    def test_stored_files_keep_mode_and_owner_and_no_leftovers(self, service, panel):
        if os.geteuid() != 0:
            pytest.skip("giving files away needs root")
        catalog = panel.write("data/plugin_bin.pl", catalog_text(2), mode=0o640)
        os.chown(catalog, 65534, 65534)
        reply = panel.write("data/plugin_bin.pl.err", "old reply", mode=0o600)
        ended = subprocess.Popen(["true"])
        ended.wait()
        # Left over an hour ago, or maybe still being written (whoever made it).
        leftover = panel.write(f"data/plugin_bin.pl.tmp.{ended.pid}.0", "half a catalog")
        hour_ago = time.time() - 3601
        os.utime(leftover, (hour_ago, hour_ago))
        recent = panel.write(f"data/plugin_bin.pl.tmp.{ended.pid}.1", "half a catalog")
        service.reply(catalog_text(40))
        service.reply("short reply")
        r = service.run("""
            import os
            os.umask(0)
            emit(len(PluginLoader.get_plugin_list(1)["list"]))
            PluginLoader.get_plugin_list(1)
        """)
        assert r.value == 40, r.stderr
        st = catalog.stat()
        assert (oct(st.st_mode & 0o7777), st.st_uid, st.st_gid) == ("0o640", 65534, 65534)
        assert oct(reply.stat().st_mode & 0o7777) == "0o600"
        assert panel.read("data/plugin_bin.pl.err") == "short reply"
        assert not leftover.exists() and recent.exists()

    def test_where_data_refuses_new_files_only_a_lone_regular_file_is_written(self, service,
                                                                                 panel):
        panel.write("data/plugin_bin.pl", catalog_text(2))
        outside = panel.write("outside", "kept")
        os.link(outside, panel.path("data/plugin_bin.pl.err"))
        panel.path("data").chmod(0o555)
        service.reply(catalog_text(40))
        service.reply("short reply")
        r = service.run("""
            emit(len(PluginLoader.get_plugin_list(1)["list"]))
            PluginLoader.get_plugin_list(1)
        """, prefix=no_caps())
        # The catalog is written in place; the reply file has another name
        # outside data/, so it is not written at all.
        assert r.value == 40, r.stderr
        assert outside.read_text() == "kept"
        assert data_files(panel) == ["plugin_bin.pl", "plugin_bin.pl.err"]

    @pytest.mark.parametrize("kind", ["raise", "404", "empty"])
    def test_failed_request_touches_no_file(self, service, panel, kind):
        old = catalog_text(2)
        panel.write("data/plugin_bin.pl", old)
        if kind == "raise":
            service.fail("boom")
        elif kind == "404":
            service.reply(catalog_text(), status=404)
        else:
            service.reply("")
        r = service.run("emit(len(PluginLoader.get_plugin_list(1)['list']))")
        assert r.value == 2
        assert data_files(panel) == ["plugin_bin.pl"]
        assert panel.read("data/plugin_bin.pl") == old
        if kind == "raise":
            assert "boom" in r.stderr


class TestListing:
    def test_missing_file_and_no_answer(self, service, panel):
        r = service.run("import sys; emit(PluginLoader.get_plugin_list(0)); emit(sys.exc_info()[0] is None)")
        assert r.out == [{"status": False, "msg": MSG_EMPTY}, True]
        assert len(service.calls) == 2

    def test_unforced_listing_uses_the_stored_file(self, service, panel):
        panel.write("data/plugin_bin.pl", catalog_text(5))
        r = service.run("emit(len(PluginLoader.get_plugin_list(0)['list'])); emit(len(PluginLoader.get_plugin_list()['list']))")
        assert r.out == [5, 5]
        assert service.calls == []

    def test_invalid_json_starts_one_repair(self, service, panel):
        panel.write("data/plugin_bin.pl", '{"list": [')
        r = service.run("emit(PluginLoader.get_plugin_list(0)); emit(PluginLoader.parse_plugin_list(1))")
        assert r.out == [{"status": False, "msg": MSG_JSON}, False]
        assert len(service.calls) == 1

    def test_repair_download_replaces_the_broken_file(self, service, panel):
        panel.write("data/plugin_bin.pl", '{"list": [')
        service.reply(catalog_text(9, pad=1000))
        r = service.run("emit(PluginLoader.get_plugin_list(0)); emit(len(PluginLoader.get_plugin_list(0)['list']))")
        assert r.out == [{"status": False, "msg": MSG_JSON}, 9]

    def test_a_planted_link_is_never_listed_and_the_repair_replaces_it(self, service, panel,
                                                                       tmp_path):
        secret = tmp_path / "root-only.json"
        secret.write_text('{"uid": 1, "token": "TOPSECRET-1"}')
        panel.path("data/plugin_bin.pl").symlink_to(secret)
        service.reply(catalog_text(40))
        r = service.run("emit(PluginLoader.get_plugin_list(0)); emit(PluginLoader.parse_plugin_list(1))")
        # Read as a file that cannot be read: the repair download puts a
        # regular file in the link's place, and that is what is listed.
        assert r.out == [json.loads(catalog_text(40)), True], r.stderr
        assert "TOPSECRET" not in r.stdout + r.stderr and len(service.calls) == 1
        assert (panel.path("data/plugin_bin.pl").is_symlink(), secret.read_text()) == \
            (False, '{"uid": 1, "token": "TOPSECRET-1"}')

    def test_the_stored_catalog_is_read_up_to_the_bound_and_nothing_is_kept(self, service, panel,
                                                                            tmp_path):
        path = panel.path("data/plugin_bin.pl")
        os.truncate(panel.write("data/plugin_bin.pl", ""), 512 << 20)  # sparse: no disk taken
        (tmp_path / "small").write_text(catalog_text(5))
        (tmp_path / "big").write_text(catalog_text(24 << 10, pad=1000))  # 24 MiB
        r = service.run(f"""
            import ctypes, gc, shutil
            def kib(field):  # after a collection and a trim: held, not kept by the allocator
                gc.collect()
                ctypes.CDLL(None).malloc_trim(0)
                return next(int(ln.split()[1]) for ln in open("/proc/self/status")
                            if ln.startswith(field + ":"))
            open("/proc/self/clear_refs", "w").write("5")  # the peak starts afresh
            peak = kib("VmHWM")
            emit([PluginLoader.get_plugin_list(0), kib("VmHWM") - peak])
            held = []
            for name in ("small", "big", "small"):
                shutil.copyfile({str(tmp_path)!r} + "/" + name, {str(path)!r})
                emit(len(PluginLoader.get_plugin_list(0)["list"]))
                held.append(kib("VmRSS"))
            emit(held[2] - held[0])
        """)
        (refused, peak_kib), *sizes, grown_kib = r.out
        assert refused == {"status": False, "msg": MSG_EMPTY}, r.stderr
        assert len(service.calls) == 1  # the repair download, which got no answer
        assert peak_kib < 8 * 1024, f"the refused catalog added {peak_kib} KiB to the peak"
        assert sizes == [5, 24 << 10, 5]
        if not os.environ.get("PL_TEST_ASAN"):  # the sanitizer holds freed memory back
            assert grown_kib < 8 * 1024, f"{grown_kib} KiB more held after the listings"
    def test_bytes_that_are_not_utf8(self, service, panel):
        panel.write("data/plugin_bin.pl", b'{"list": ["\xff\xfe"]}')
        r = service.run("emit(PluginLoader.get_plugin_list(0))")
        assert r.value == {"status": False, "msg": MSG_UTF8}
        assert len(service.calls) == 1

    def test_duplicate_list_is_judged_by_the_last_as_the_listing_does(self, service, panel):
        path = str(panel.path("data/plugin_bin.pl"))
        r = service.run(f"""
            for text in ('{{"list": [1], "list": "x"}}', '{{"list": "x", "list": [1]}}'):
                open({path!r}, "w").write(text)
                emit([PluginLoader.parse_plugin_list(1), PluginLoader.get_plugin_list(0)])
        """)
        assert r.out == [[False, {"list": "x"}], [True, {"list": [1]}]]

    def test_empty_array_and_extra_members(self, service, panel):
        panel.write("data/plugin_bin.pl", "[]")
        r = service.run("emit(PluginLoader.get_plugin_list(0)); emit(PluginLoader.parse_plugin_list(1))")
        assert r.out == [[], False]
        panel.write("data/plugin_bin.pl", '{"list": [], "pro": 1}')
        r = service.run("emit(PluginLoader.get_plugin_list(0))")
        assert r.value == {"list": [], "pro": 1}

    def test_non_integer_flag_counts_as_zero(self, service, panel):
        panel.write("data/plugin_bin.pl", catalog_text(1))
        r = service.run("emit(len(PluginLoader.get_plugin_list('1')['list'])); emit(len(PluginLoader.get_plugin_list(2)['list']))")
        assert r.out == [1, 1]
        assert service.calls == []


class TestParse:
    def test_force_flags_and_kept_document(self, service, panel):
        path = str(panel.path("data/plugin_bin.pl"))
        panel.write("data/plugin_bin.pl", '{"nolist": 1}')
        r = service.run(f"""
            P = PluginLoader
            emit(P.parse_plugin_list(1))   # object without "list"
            emit(P.parse_plugin_list(0))   # ... but the document stays loaded
            open({path!r}, "w").write({catalog_text(2)!r})
            emit(P.parse_plugin_list(2))   # 2 counts as 0: still the old document
            emit(P.parse_plugin_list(1))   # forced: picks the change up
            open({path!r}, "w").write("not json")
            emit(P.parse_plugin_list(0))   # unforced: no re-read
            emit(P.parse_plugin_list(1))   # forced: parse error
            emit(P.parse_plugin_list("x"))
        """)
        assert r.out == [False, True, True, True, True, False,
                         {"status": False, "msg": "parameter error: parse_plugin_list(force<int>)"}]
        assert service.calls == []

    def test_missing_file_downloads_once_per_attempt(self, service, panel):
        service.reply(catalog_text(4, pad=3000))
        r = service.run("emit(PluginLoader.parse_plugin_list(0)); emit(PluginLoader.parse_plugin_list(0))")
        assert r.out == [True, True]
        assert len(service.calls) == 1


# The repository's http_requests on loopback that, once an answer is in,
# starts the process's peak memory afresh (VmHWM), so that what the module
# adds to it afterwards can be seen.
WATCHED_HTTP = """
_received = post

def kib(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field + ":"))

def post(*args, **kwargs):
    global AT_ANSWER
    response = _received(*args, **kwargs)
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    AT_ANSWER = kib("VmRSS")
    return response
"""


def test_answer_past_the_bound_is_refused_without_a_copy(run, panel, build_info):
    CloudService = cloud_service_module().CloudService
    domain = build_info["service_domain"]
    old = catalog_text(3)
    panel.write("data/plugin_bin.pl", old)
    with CloudService(plugins=1) as cloud:
        cloud.body = b'{"list":[' + b"0," * (20 << 20) + b"0]}"  # 40 MiB of JSON
        node = f"api-node1.{domain}:{cloud.port}"
        panel.write("data/node_url.pl", json.dumps({"api-node": {"url": node}}))
        r = run("""
            import http_requests
            listed = len(PluginLoader.get_plugin_list(1)["list"])
            emit([listed, http_requests.kib("VmHWM") - http_requests.AT_ANSWER])
        """, stubs={"http_requests": NODE_ON_LOOPBACK.format(domain=domain) + WATCHED_HTTP})
    listed, added_kib = r.value
    assert listed == 3, r.stderr
    assert (f"the answer from http://{node}/api/panel/getSoftListEn is larger than "
            "33554432 bytes; refused") in r.stderr
    assert data_files(panel) == ["node_url.pl", "plugin_bin.pl"]
    assert panel.read("data/plugin_bin.pl") == old
    assert added_kib < 8 * 1024, f"the module added {added_kib} KiB to the peak"


def test_end_to_end_over_http(run, panel, build_info):
    """The repository's http_requests against the local cloud service stand-in."""
    CloudService = cloud_service_module().CloudService
    domain = build_info["service_domain"]
    panel.write("data/userInfo.json", '{"uid": 42, "server_id": "srv", "token": "secret"}')
    with CloudService(plugins=300) as cloud:
        node = f"api-node1.{domain}:{cloud.port}"
        panel.write("data/node_url.pl", json.dumps({"api-node": {"url": node}}))
        r = run("""
            listing = PluginLoader.get_plugin_list(1)
            emit([len(listing["list"]), listing["list"][0]["name"]])
            emit(PluginLoader.parse_plugin_list(0))
        """, stubs={"http_requests": NODE_ON_LOOPBACK.format(domain=domain)})
        assert r.out == [[300, "plugin000"], True], r.stderr
        (req,) = cloud.requests
    assert req["path"] == "/api/panel/getSoftListEn"
    assert req["host"] == node
    assert req["form"]["uid"] == "42"
    assert req["authorization"] == "zq secret"
    assert json.loads(req["form"]["environment_info"])["install_code"] == "srv"
    assert len(panel.read("data/plugin_bin.pl")) > 8192
