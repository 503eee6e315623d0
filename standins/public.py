"""Stand-in for the panel's own `public` module.

Holds only what PluginLoader calls: `sys_path_append` (used before a plugin
is loaded) and `get_div` (the hook that stores a new database IV).
"""
import sys


def sys_path_append(path):
    """Put a plugin directory on the module search path (once)."""
    if path not in sys.path:
        sys.path.append(path)


def get_div(text):
    """Hook for a new, already enciphered database IV: store it unchanged."""
    return text
