"""Runs the operator command: python scripts/plugin_loader ARGS."""
import os
import sys

# Run as a directory, the interpreter puts the package's own folder first on
# the module search path; its parent (scripts/) takes that place, as for a
# script, so that the package imports as itself and the working directory
# never counts.
_here = os.path.dirname(os.path.abspath(__file__))
if sys.path and os.path.abspath(sys.path[0]) == _here:
    sys.path[0] = os.path.dirname(_here)

from plugin_loader.cli import entry  # noqa: E402

entry()
