"""Types of the PluginLoader extension module.

Every function takes its arguments by position only.  Failures come back as a
result dictionary (``Result`` with ``status`` False); the values a plugin or
module method returns are passed through unchanged, so they are ``Any``.
"""

from types import ModuleType
from typing import Any, Literal, TypedDict, type_check_only

__version__: str

@type_check_only
class Result(TypedDict):
    """The result dictionary: exactly these two keys (a plain dict at run time)."""

    status: bool
    msg: str

def plugin_run(mod_name: str, def_name: str, def_args: object, /) -> Any:
    """What the plugin's method returned, the bound method (when ``def_args`` has
    ``plugin_get_object``), or a ``Result`` for every failure, a raising method
    included (its traceback as ``msg``)."""

def module_run(mod_name: str, def_name: str, def_args: object, /) -> Any:
    """What the module's method returned, the bound method (when ``def_args`` has
    ``module_get_object``), or a ``Result``; an exception raised by the method
    itself reaches the caller."""

def get_plugin_list(force: int = 0, /) -> Any:
    """The stored catalog as ``json.loads`` makes it (normally a dict with a
    ``list`` array), or a ``Result`` when none could be had; 1 downloads first."""

def py_clear(obj: object, /) -> Literal[1]: ...
def db_encrypt(text: str, /) -> Result:
    """``msg`` holds the stored texts of the lines of ``text``, joined."""

def db_decrypt(text: str, /) -> Result:
    """``msg`` holds the values of the stored texts (one per line), joined.
    Raises ``UnicodeDecodeError`` when what was deciphered is not UTF-8 (a
    wrong key or IV)."""

def get_module(filename: str, /) -> ModuleType | Result:
    """The module executed from the file at that full path, or a ``Result``."""

def parse_plugin_list(force: int, /) -> bool | Result:
    """True when the catalog holds a ``list`` array; a ``Result`` only for a
    wrong argument."""

# For the operator command (scripts/plugin-loader): the build's settings and
# the module's verdict on the panel files it reads.  Never a secret, a key, an
# IV or the account's token.

@type_check_only
class BuiltinSecrets(TypedDict):
    db_field_secret: bool
    iv_file_secret: bool
    db_fallback_iv_secret: bool

@type_check_only
class BuildInfo(TypedDict):
    version: str
    panel_root: str
    service_domain: str
    service_url: str
    tls_verify: bool
    builtin_secrets: BuiltinSecrets
    secrets_fingerprint: str
    python_version: str
    compiled_plugin_suffixes: list[str]
    catalog_max_size: int

@type_check_only
class IvFileCheck(TypedDict):
    path: str
    state: Literal["absent", "ok", "a symbolic link", "not a regular file", "unreadable",
                   "damaged"]
    length: int
    detail: str

@type_check_only
class RouteCheck(TypedDict):
    path: str
    present: bool
    route: str
    route_py: str
    default: str
    fallback_reason: str | None

@type_check_only
class AccountCheck(TypedDict):
    path: str
    state: Literal["absent", "parsed", "default", "refused"]
    uid: str
    token: bool
    detail: str

def _build_info() -> BuildInfo: ...
def _iv_file_check() -> IvFileCheck: ...
def _route_check() -> RouteCheck: ...
def _account_check() -> AccountCheck: ...
