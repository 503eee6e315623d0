"""encrypt and decrypt: database values through the module's field cipher."""
import base64
import binascii
import getpass
import sys

from .common import Failure, ModuleOutput, UsageError, is_error_result, needs, say


# ---- encrypt, decrypt ----

def gather(values, prompt):
    """The lines to work on: each value split at its line feeds; '-' reads
    standard input (a value per line; a terminal is asked without echo)."""
    if values.count("-") > 1:
        raise UsageError("'-' (standard input) can be given only once")
    lines = []
    for value in values:
        if value != "-":
            lines += value.split("\n")
        elif prompt and sys.stdin.isatty():
            lines.append(getpass.getpass(prompt))
        else:
            data = sys.stdin.buffer.read()
            try:
                text = data.decode("utf-8")
            except UnicodeDecodeError as err:
                raise Failure(f"standard input is not UTF-8 text (byte {err.start + 1})") from None
            if text.endswith("\n"):
                text = text[:-1]
            lines += text.split("\n") if data else []
    for n, line in enumerate(lines, 1):
        if "\0" in line:
            raise Failure(f"line {n} holds a NUL character, which the module cannot take")
    return lines


FALLBACK_REFUSED = (
    "refused: no IV file {path} exists after enciphering, so the fallback IV was used, and the "
    "panel cannot read these values once an IV file exists (the panel's module public, which "
    "makes it, is missing or failed: give its directory with -p). Nothing was printed; "
    "--allow-fallback-iv prints them all the same")


def cmd_encrypt(PL, opts):
    lines = gather(opts.values, "value to encipher: ")
    check = needs(PL, "_iv_file_check")
    out = []
    fallback = False
    for line in lines:
        if line == "":
            out.append("")  # the module makes no stored text of an empty value
            continue
        # The module refuses an IV file that gives no IV of its own: then the
        # refusal below tells what doctor would.
        with ModuleOutput(opts.verbose):
            result = PL.db_encrypt(line)
        iv = check()
        if is_error_result(result) and iv["state"] in ("ok", "absent"):
            raise Failure(f"encrypt failed: {result['msg']}")
        if iv["state"] == "absent":
            if not opts.allow_fallback_iv:
                raise Failure(FALLBACK_REFUSED.format(path=iv["path"]))
            fallback = True
        elif iv["state"] != "ok":
            raise Failure(f"refused: the IV file {iv['path']} is {iv['state']} ({iv['detail']}). "
                          "Nothing was printed; see plugin-loader doctor")
        out.append(result["msg"])
    if fallback:
        say("warning: enciphered under the fallback IV: the panel cannot read these values once "
            "an IV file exists")
    for text in out:
        print(text)
    return 0


def is_stored_text(text):
    """Base64 of one or more whole 16-byte blocks, as the module stores values."""
    try:
        data = base64.b64decode(text, validate=True)
    except (binascii.Error, ValueError):
        return False
    return len(data) > 0 and len(data) % 16 == 0


def is_text(value):
    return all(c in "\t\r" or not (ord(c) < 0x20 or 0x7f <= ord(c) < 0xa0) for c in value)


NOT_TEXT = ("line {n} does not decipher to text: it was stored under other secrets or another "
            "IV file")


def cmd_decrypt(PL, opts):
    lines = gather(opts.values, None)
    iv = needs(PL, "_iv_file_check")()
    hide_public = False
    if iv["state"] == "absent":
        if not opts.allow_fallback_iv:
            raise Failure(f"refused: no IV file {iv['path']}: deciphering would make a new one, "
                          "under which no value stored so far can be read. Restore it from a "
                          "backup (--allow-fallback-iv deciphers under the fallback IV and makes "
                          "no IV file)")
        hide_public = True
        say("warning: no IV file: deciphering under the fallback IV")
    elif iv["state"] != "ok":
        say(f"warning: the IV file {iv['path']} is {iv['state']}: only values stored under this "
            "same file decipher")
    out = []
    saved = sys.modules.get("public")
    try:
        if hide_public:
            sys.modules["public"] = None  # the module then makes no IV file
        for n, line in enumerate(lines, 1):
            if line == "":
                out.append("")
                continue
            if not is_stored_text(line):
                raise Failure(f"line {n} is no stored value: a stored value is Base64 of whole "
                              "16-byte blocks")
            try:
                with ModuleOutput(opts.verbose, keep=not hide_public):
                    result = PL.db_decrypt(line)
            except UnicodeDecodeError:
                raise Failure(NOT_TEXT.format(n=n)) from None
            if is_error_result(result):
                raise Failure(f"decrypt failed: {result['msg']}")
            if result["msg"] == "" or not is_text(result["msg"]):
                raise Failure(NOT_TEXT.format(n=n))
            out.append(result["msg"])
    finally:
        if hide_public:
            if saved is None:
                sys.modules.pop("public", None)
            else:
                sys.modules["public"] = saved
    for text in out:
        print(text)
    return 0
