"""Panel code as it calls PluginLoader; mypy --strict must accept it."""
from types import ModuleType
from typing import Any

import PluginLoader


class Request:
    def __init__(self, **values: str) -> None:
        self.__dict__.update(values)


def stored_text(value: str) -> str:
    result = PluginLoader.db_encrypt(value)
    if not result["status"]:
        raise ValueError(result["msg"])
    return result["msg"]


def value_of(stored: str) -> str:
    return PluginLoader.db_decrypt(stored)["msg"]


def plugin_names(force: bool) -> list[str]:
    listing: Any = PluginLoader.get_plugin_list(1 if force else 0)
    return [str(p["name"]) for p in listing.get("list", [])]


def load(path: str) -> ModuleType | None:
    loaded = PluginLoader.get_module(path)
    return loaded if isinstance(loaded, ModuleType) else None


def catalog_ready() -> bool:
    return PluginLoader.parse_plugin_list(0) is True


def run_both(name: str) -> tuple[Any, Any]:
    return (PluginLoader.plugin_run(name, "get_info", Request(who="admin")),
            PluginLoader.module_run(name, "get_list", Request(model_index="mod")))


def release(obj: object) -> int:
    return PluginLoader.py_clear(obj)


VERSION: str = PluginLoader.__version__
