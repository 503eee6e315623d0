"""db_encrypt / db_decrypt of one 32-byte value per call against the same work
in Python with OpenSSL (the `cryptography` package): read the IV file,
decipher the IV, then encipher or decipher the value.

Usage: python3.12 bench/db_bench.py BUILD_DIR
"""
import base64
import json
import os
import sys
import timeit
from pathlib import Path

from cryptography.hazmat.primitives import padding
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

build = Path(sys.argv[1]).resolve()
repo = Path(__file__).resolve().parents[1]
sys.path[:0] = [str(build), str(repo / "standins")]
import PluginLoader  # noqa: E402

info = json.loads((build / "build_info.json").read_text())
iv_path = Path(info["panel_root"]) / "data" / "div.pl"
iv_path.parent.mkdir(parents=True, exist_ok=True)
SECRETS = (info["db_field_secret"], info["iv_file_secret"])


def _cbc(key, iv):
    return Cipher(algorithms.AES(key), modes.CBC(iv))


def _unpad(data):
    u = padding.PKCS7(128).unpadder()
    return u.update(data) + u.finalize()


def _db_iv():
    with open(iv_path) as f:
        text = f.read()
    iv_secret = SECRETS[1]
    d = _cbc(iv_secret[0::2].encode(), iv_secret[1::2].encode()).decryptor()
    return _unpad(d.update(base64.b64decode(text)) + d.finalize())


def py_encrypt(value):
    key = SECRETS[0][0::2].encode()
    p = padding.PKCS7(128).padder()
    e = _cbc(key, _db_iv()).encryptor()
    data = e.update(p.update(value.encode()) + p.finalize()) + e.finalize()
    return {"status": True, "msg": base64.b64encode(data).decode()}


def py_decrypt(text):
    key = SECRETS[0][0::2].encode()
    d = _cbc(key, _db_iv()).decryptor()
    data = _unpad(d.update(base64.b64decode(text)) + d.finalize())
    return {"status": True, "msg": data.decode()}


def per_call(fn, arg, number=20000):
    return min(timeit.repeat(lambda: fn(arg), number=number, repeat=5)) / number


if iv_path.exists():
    iv_path.unlink()
value = "v" * 32
stored = PluginLoader.db_encrypt(value)["msg"]  # creates the IV file
assert py_encrypt(value)["msg"] == stored
assert py_decrypt(stored)["msg"] == value == PluginLoader.db_decrypt(stored)["msg"]

print(f"one 32-byte value per call, IV file read each time; best of 5 x 20000 calls")
for name, ours, theirs, arg in (("db_encrypt", PluginLoader.db_encrypt, py_encrypt, value),
                                ("db_decrypt", PluginLoader.db_decrypt, py_decrypt, stored)):
    a, b = per_call(ours, arg), per_call(theirs, arg)
    print(f"{name}: ours {a * 1e6:6.2f} us  python+openssl {b * 1e6:6.2f} us  "
          f"ours/python {a / b:.3f}")
