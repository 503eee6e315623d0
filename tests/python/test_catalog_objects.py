"""The listing against json.loads on generated and mutated catalog texts."""
import json
import random

from test_catalog import MSG_JSON, MSG_UTF8, service  # noqa: F401 (the fixture)

NAMES = ["name", "title", "ps", "versions", "a" * 70, "\u00e9t\u00e9", "k\\u00e9y", "x\\ny"]
NUMBERS = ["0", "-0", "7", "-12", "999999999999999999", "1000000000000000000",
           "-9223372036854775809", "18446744073709551616", "3" * 4000, "0.1", "-0.0", "1.5E+10",
           "2e-5", "123.456e7", "1E400", "-1e400", "1e-400", "0." + "3" * 40,
           # Around the floats made without the interpreter's converter: up to
           # 15 significant digits and a power of ten up to 22.
           "1e22", "1e23", "-9.99999999999999e22", "123456789012345e-22", "1234567890123456e-22",
           "0.000000000000000000001", "999999999999999.0", "9007199254740993.0", "0.1e1",
           "100.0e-2", "-0.0e5", "5e-324", "1.7976931348623157e308", "2.2250738585072014e-308",
           "1.00000000000000011102230246251565404236316680908203125", "0e-23", "1.5E0022"]

# Characters of every UTF-8 length, at the edges of each: one byte, two bytes
# below and above U+0100 (one-byte and two-byte str), three bytes on both
# sides of the surrogates, four bytes up to U+10FFFF.
CHARS = ["a", "\u0080", "\u00e9", "\u00ff", "\u0100", "\u07ff", "\u0800", "\u4e2d", "\ud7ff",
         "\ue000", "\uffff", "\U00010000", "\U0001f600", "\U0010ffff"]
# Byte sequences that are not UTF-8: overlong forms, surrogates, code points
# above U+10FFFF, bytes that never occur, stray and missing continuation
# bytes.
NOT_UTF8 = [b"\xc0\x80", b"\xc1\xbf", b"\xe0\x80\x80", b"\xe0\x9f\xbf", b"\xed\xa0\x80",
            b"\xed\xbf\xbf", b"\xf0\x80\x80\x80", b"\xf0\x8f\xbf\xbf", b"\xf4\x90\x80\x80",
            b"\xf5\x80\x80\x80", b"\xff", b"\x80", b"\xbf", b"\xc3\x28", b"\xe4\x41\xad", b"\xe4\xb8",
            b"\xf0\x9f\x98"]


def edge_texts():
    """Texts the listing builds itself (valid JSON in plain forms) and texts
    it must leave to json.loads or refuse, at the edges of its scans: strings
    that end at every offset of a 16- and 32-byte block, runs of three-byte
    characters and of escapes broken at each place, member names of every
    length."""
    strings = [p * "x" + c * n for c in CHARS for p in range(34) for n in (1, p % 5 + 2)]
    strings += [p * "x" + "\u4e2d" * n + s for p in range(4) for n in range(41) for s in ("", "y")]
    strings += ["\u4e2da" * 9, "a\u4e2d" * 9, "\u4e2d\u00e9\U0001f600" * 7, "\u4e2d\n\u4e2d\"\u00e9",
                "\u4e2d" * 3000, "\u00e9" * 5000 + "\u4e2d"]
    # Names of every length from 1 to 64, longer ones first and then shorter
    # ones, which share their first bytes: a cached name taken for a shorter
    # one shows.
    names = [{"n" * k: k for k in range(1, 65)}, {"n" * k: k for k in range(64, 0, -1)},
             {"\u00e9" * k: k for k in range(1, 33)}, {"\u00e9" * k: k for k in range(32, 0, -1)}]
    # A name after the same one as before, of the same length as the name
    # that came then, differing in its last byte.
    names += [{"p": 0, "m" * k + last: 1} for k in range(64) for last in "ab"]
    plain = [json.dumps(strings, ensure_ascii=False), json.dumps(strings),
             json.dumps(strings).replace("\\u4e2d", "\\u4E2D"), json.dumps(names),
             json.dumps(names, ensure_ascii=False)]
    run = "\u4e2d" * 24
    other = [f'["{run[:at]}'.encode() + bad + f'{run[at:]}"]'.encode()
             for bad in NOT_UTF8 for at in (0, 5, 11)]
    # The three-byte forms that are no characters, at each place of the
    # five characters taken at a time.
    other += [f'["{run[:at]}'.encode() + bad + f'{run[at:]}"]'.encode()
              for bad in NOT_UTF8[2:6] for at in (1, 2, 3, 4, 7)]
    other += [b'["\xc3\xa9' + bad + b'", "\xf0\x9f\x98\x80' + bad + b'"]' for bad in NOT_UTF8]
    # Escape runs with a bad digit, a lone or unpaired surrogate, or an
    # escape json.loads does not know, at different places.
    escapes = "\\u4e2d" * 8
    other += [f'["{escapes[:6 * at]}\\u4e{bad}d{escapes[6 * at:]}"]'.encode()
              for at, bad in enumerate("gG:/@`")]
    other += [f'["{escapes[:6 * at]}{s}{escapes[6 * at:]}"]'.encode()
              for at in range(6) for s in ["\\ud800", "\\udc00", "\\ud83d\\u4e2d", "\\ud83d\\ude00"]]
    other += [f'["{escapes}\\{c}"]'.encode() for c in "qxU0a'"]
    # A control byte among the last 15 bytes of the text, where the scan
    # goes byte by byte.
    other += [b'["' + b"p" * 40 + c + b"q" * (at - 3) + b'"]' for c in (b"\x1f", b"\x01")
              for at in range(3, 16)]
    return plain, other


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
    texts that are plain JSON never reach json.loads through the listing, and
    nesting one level deeper than the listing builds itself still comes from
    json.loads."""
    rng = random.Random(22)
    plain = [json_value(rng) for _ in range(150)]
    edges, others = edge_texts()
    plain += edges + ["[" * 400 + "]" * 400, json.dumps({"list": [{"name": "a"}, {"name": "b"}]})]
    texts = [t.encode() for t in plain] + [mutated(rng, rng.choice(plain)) for _ in range(250)]
    texts += others + [b"[" * 100000 + b"]" * 100000, b" \n", b"[1,]", b"01", b"nul"]
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
        # Every name that recurs is one str, as json.loads makes it: objects
        # of 64 names of every length, in two orders.
        path.write_text(json.dumps([{{"n" * k: k for k in order}} for order in
                                    [range(1, 65), range(64, 0, -1), range(1, 65)]]))
        objects = PluginLoader.get_plugin_list(0)
        first = {{name: name for name in objects[0]}}
        emit(all(first[name] is name for item in objects[1:] for name in item))

        # The builder's margin: the deepest nesting it builds itself, found
        # by bisection between a depth it takes and one json.loads refuses.
        def nested(depth):
            path.write_bytes(b"[" * depth + b"]" * depth)
            fallbacks.clear()
            got = PluginLoader.get_plugin_list(0)
            levels = 0
            while type(got) is list and len(got) <= 1:
                levels += 1
                got = got[0] if got else None
            return levels if got is None else repr(got)[:100], len(fallbacks)

        low, high, refused_deep = 400, 100000, 0
        while high - low > 1:
            middle = (low + high) // 2
            levels, used = nested(middle)
            refused_deep += levels != middle
            low, high = (low, middle) if used else (middle, high)
        emit([low, nested(low), nested(high), refused_deep])
    """, timeout=600)
    (wrong, refused, plain_fallbacks), shared_names, margin = r.out
    assert wrong == [], r.stderr[-2000:]
    assert plain_fallbacks == 0
    assert shared_names is True
    # One level past the deepest nesting the builder takes, json.loads still
    # takes the text: the listing answers its lists through the fallback.
    deepest, at_margin, past_margin, refused_deep = margin
    assert deepest >= 400 and at_margin == [deepest, 0] and past_margin == [deepest + 1, 1]
    assert 100 < refused + refused_deep == len(service.calls)
