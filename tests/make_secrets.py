"""Writes a secrets file for a test, demo or benchmark build.

    python make_secrets.py PATH

Three lines of 32 random printable ASCII characters, in the order the build
reads them (DB_FIELD_SECRET, IV_FILE_SECRET, DB_FALLBACK_IV_SECRET).  The
first one always holds the characters that are easiest to lose on the way
into a build (a quote, a backslash, a semicolon, a dollar sign) and ends in a
blank, so every test run checks that the secrets arrive byte for byte.  The
file is readable by its owner only.
"""
import os
import secrets
import string
import sys

PRINTABLE = "".join(chr(c) for c in range(0x20, 0x7F))
TRICKY = "\"\\;$"


def make_secrets():
    first = list(TRICKY + "".join(secrets.choice(PRINTABLE) for _ in range(27)))
    secrets.SystemRandom().shuffle(first)
    lines = ["".join(first) + " "]
    alphabet = string.ascii_letters + string.digits + string.punctuation
    lines += ["".join(secrets.choice(alphabet) for _ in range(32)) for _ in range(2)]
    return lines


def read_secrets(path):
    """The three secrets of a secrets file, exact bytes."""
    with open(path, "rb") as f:
        lines = f.read().decode("ascii").split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    assert len(lines) == 3 and all(len(s) == 32 for s in lines), f"bad secrets file {path}"
    return dict(zip(("db_field_secret", "iv_file_secret", "db_fallback_iv_secret"), lines))


def write_secrets(path):
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "w") as f:
        f.write("\n".join(make_secrets()) + "\n")


if __name__ == "__main__":
    write_secrets(sys.argv[1])
