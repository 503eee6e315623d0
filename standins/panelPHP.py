"""Stand-in for the panel's PHP bridge module `panelPHP`.

`panelPHP(name).exec_php_script(args)` runs the plugin's `index.php` with the
`php` executable, the request as JSON on standard input, and answers with the
script's output (parsed as JSON when it is JSON).  Without a `php` executable
it answers plainly that PHP is not available.  The panel root comes from the
environment variable PL_PANEL_ROOT (default: the panel's own root).
"""
import json
import os
import shutil
import subprocess


def _request_of(args):
    if isinstance(args, dict):
        return args
    if hasattr(args, "__dict__"):
        return dict(vars(args))
    return {"args": str(args)}


class panelPHP:
    def __init__(self, plugin_name):
        self.plugin_name = plugin_name
        self.root = os.environ.get("PL_PANEL_ROOT", "/www/server/panel")

    def exec_php_script(self, args):
        php = shutil.which("php")
        if php is None:
            return {"status": False, "msg": "PHP is not available"}
        entry = os.path.join(self.root, "plugin", self.plugin_name, "index.php")
        # php is not built with the sanitizers a test run may preload into
        # the panel's interpreter, so their runtime stays out of it.
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        proc = subprocess.run([php, "-f", entry], input=json.dumps(_request_of(args), default=str),
                              capture_output=True, text=True, timeout=60, env=env)
        if proc.returncode != 0:
            return {"status": False, "msg": (proc.stderr or proc.stdout).strip()}
        try:
            return json.loads(proc.stdout)
        except ValueError:
            return proc.stdout
