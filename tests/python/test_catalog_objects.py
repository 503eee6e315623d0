"""The listing against json.loads on generated and mutated catalog texts."""
import json
import random

from test_catalog import MSG_JSON, MSG_UTF8, service  # noqa: F401 (the fixture)

NAMES = ["name", "title", "ps", "versions", "a" * 70, "\u00e9t\u00e9", "k\\u00e9y", "x\\ny"]
NUMBERS = ["0", "-0", "7", "-12", "999999999999999999", "1000000000000000000",
           "-9223372036854775809", "18446744073709551616", "3" * 4000, "0.1", "-0.0", "1.5E+10",
           "2e-5", "123.456e7", "1E400", "-1e400", "1e-400", "0." + "3" * 40]


def json_string(rng):
    pieces = ["\u4e2d\u6587", "\U0001f600", "\\\"\\\\\\/\\b\\f\\n\\r\\t", "\\u00e9\\u4E2D",
              "\\ud83d\\ude00", "\\u0000\\u001f", "plain text", "d" * rng.randrange(15, 3000)]
    return '"' + "".join(rng.choice(pieces) for _ in range(rng.randrange(4))) + '"'


def json_value(rng, depth=0):
    space = rng.choice(["", " ", "\n  ", "\t", "\r\n"])
    kind = rng.randrange(6 if depth < 5 else 3)
    if kind == 0:
        return rng.choice(NUMBERS)
    if kind == 1:
        return json_string(rng)
    if kind == 2:
        return rng.choice(["true", "false", "null"])
    items = [json_value(rng, depth + 1) for _ in range(rng.randrange(5))]
    if kind == 3:
        return "[" + space + ("," + space).join(items) + "]"
    # Names from a small set, so that duplicates occur.
    return "{" + ",".join(f'{space}"{rng.choice(NAMES)}"{space}:{v}' for v in items) + "}"


def mutated(rng, text):
    data = bytearray(text.encode())
    at = rng.randrange(len(data) + 1)
    how = rng.randrange(4)
    if how == 0:
        return bytes(data[:at])
    if how == 1:
        data[at:at] = bytes([rng.choice(b'\x01\x1a\x1f\x7f\x80\xff\xc3"\\,]}{:-.e0')])
        return bytes(data)
    token = rng.choice(["NaN", "Infinity", "-Infinity", "-NaN", "Inf", '"\\ud800"', '"\\udc00"',
                        '"\\ud800\\u0041"', '"\\ud83d"', '"\ud800"', "1" * 5000])
    if how == 2:
        return f"[{text}, {token}]".encode("utf-8", "surrogatepass")
    return b"\xef\xbb\xbf" + text.encode() if rng.random() < 0.2 else bytes(data[:at] + data[at + 1:])


def test_listing_equals_json_loads(service, panel, tmp_path):
    """Each text is listed from the catalog file and loaded by json.loads: the
    same objects (types, float signs and NaN included, members in order), or
    both refuse and the listing answers its message after one repair. The
    texts that are plain JSON never reach json.loads through the listing."""
    rng = random.Random(22)
    plain = [json_value(rng) for _ in range(150)]
    plain += ["[" * 400 + "]" * 400, json.dumps({"list": [{"name": "a"}, {"name": "b"}]})]
    texts = [t.encode() for t in plain] + [mutated(rng, rng.choice(plain)) for _ in range(250)]
    texts += [b"[" * 100000 + b"]" * 100000, b" \n", b"[1,]", b"01", b"nul"]
    for i, text in enumerate(t for t in texts if t):  # an empty file is another case
        (tmp_path / f"{i:04d}").write_bytes(text)
    r = service.run(f"""
        import json, math, pathlib
        loads = json.loads
        fallbacks = []
        json.loads = lambda s: fallbacks.append(1) or loads(s)
        path = pathlib.Path({str(panel.path("data/plugin_bin.pl"))!r})

        def same(a, b):
            if type(a) is not type(b):
                return False
            if isinstance(a, float):
                return math.isnan(a) and math.isnan(b) or a == b and math.copysign(1, a) == math.copysign(1, b)
            if isinstance(a, dict):
                return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
            if isinstance(a, list):
                return len(a) == len(b) and all(map(same, a, b))
            return a == b

        wrong, refused, plain_fallbacks = [], 0, 0
        for i, text in enumerate(sorted(pathlib.Path({str(tmp_path)!r}).iterdir())):
            data = text.read_bytes()
            path.write_bytes(data)
            fallbacks.clear()
            got = PluginLoader.get_plugin_list(0)
            if i < {len(plain)}:
                plain_fallbacks += len(fallbacks)
            try:
                want = loads(data.decode())
            except UnicodeDecodeError:
                want, refused = {{"status": False, "msg": {MSG_UTF8!r}}}, refused + 1
            except (ValueError, RecursionError):
                want, refused = {{"status": False, "msg": {MSG_JSON!r}}}, refused + 1
            if not same(got, want):
                wrong.append([text.name, repr(got)[:200], repr(want)[:200]])
        emit([wrong, refused, plain_fallbacks])
        path.write_text({plain[-1]!r})
        names = PluginLoader.get_plugin_list(0)["list"]
        emit(next(iter(names[0])) is next(iter(names[1])))
    """, timeout=600)
    (wrong, refused, plain_fallbacks), shared_names = r.out
    assert wrong == [], r.stderr[-2000:]
    assert 100 < refused == len(service.calls)
    assert plain_fallbacks == 0
    assert shared_names is True
