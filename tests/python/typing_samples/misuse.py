"""Calls mypy must refuse; each refused line ends in a marker comment."""
import PluginLoader

PluginLoader.db_encrypt(b"bytes")  # refused
PluginLoader.get_plugin_list(force=1)  # refused
PluginLoader.db_decrypt("x")["data"]  # refused
PluginLoader.plugin_run("demo", "get_info")  # refused
flag: int = PluginLoader.get_module("/x.py")  # refused
