"""Walks the module's roads against the sample panel and the local cloud service.

Run by scripts/demo, which builds the module for the scratch panel, starts
the cloud-service stand-in and puts the module and the stand-ins of the
panel's own modules on the path.  Prints every call and what it returned.
"""
import json
import os
import sys
from pathlib import Path

import PluginLoader as PL

PANEL = Path(os.environ["PL_PANEL_ROOT"])
CLOUD_LOG = Path(os.environ["PL_CLOUD_LOG"])
step = 0


class Request:
    """What the panel hands a method: its request object, one attribute per field."""

    def __init__(self, **fields):
        self.__dict__.update(fields)

    def __repr__(self):
        return "Request(" + ", ".join(f"{k}={v!r}" for k, v in vars(self).items()) + ")"


def show(call, result, note=None):
    global step
    step += 1
    text = summarise(result)
    print(f"\n[{step}] {call}")
    if note:
        print(f"    ({note})")
    for line in text.splitlines():
        print(f"    -> {line}" if line is text.splitlines()[0] else f"       {line}")


def summarise(result):
    if isinstance(result, dict) and isinstance(result.get("list"), list) and len(result["list"]) > 5:
        names = ", ".join(p.get("name", "?") for p in result["list"][:4])
        others = {k: v for k, v in result.items() if k != "list"}
        return f"catalog of {len(result['list'])} plugins ({names}, ...), other members {others}"
    if isinstance(result, dict) and set(result) == {"status", "msg"} and "Traceback" in result["msg"]:
        lines = result["msg"].rstrip().splitlines()
        return json.dumps({"status": result["status"], "msg": f"{lines[0]} ... {lines[-1]}"},
                          ensure_ascii=False)
    if isinstance(result, (dict, list, str, int, bool)) or result is None:
        flat = json.dumps(result, ensure_ascii=False)
        return flat if len(flat) <= 100 else json.dumps(result, ensure_ascii=False, indent=2)
    return repr(result)


def cloud_requests():
    if not CLOUD_LOG.exists():
        return []
    return [json.loads(line) for line in CLOUD_LOG.read_text().splitlines()]


print(f"PluginLoader ({PL.__doc__}) on the panel at {PANEL}")
print("functions: " + ", ".join(n for n in vars(PL) if not n.startswith("_")))

print("\n== plugins ==")
show('plugin_run("demo", "get_info", Request(who="admin"))',
     PL.plugin_run("demo", "get_info", Request(who="admin")))
show('plugin_run("demo", "get_info", Request())', PL.plugin_run("demo", "get_info", Request()),
     "the module stays loaded: its call counter goes on")
show('plugin_run("demo", "fail", Request())', PL.plugin_run("demo", "fail", Request()),
     "a raising method comes back as an error result carrying the traceback")
show('plugin_run("native", "get_info", Request())', PL.plugin_run("native", "get_info", Request()),
     "the compiled entry native_main.so wins over native_main.py")
show('plugin_run("phpdemo", "index", Request(page=1))',
     PL.plugin_run("phpdemo", "index", Request(page=1)), "a PHP plugin through panelPHP")
show('plugin_run("../etc", "x", Request())', PL.plugin_run("../etc", "x", Request()))
show('plugin_run("missing", "x", Request())', PL.plugin_run("missing", "x", Request()))

print("\n== panel modules ==")
show('module_run("site", "get_list", Request(limit=2))',
     PL.module_run("site", "get_list", Request(limit=2)), "found by searching class/*Model/")
show('module_run("site", "get_list", Request(model_index="mod"))',
     PL.module_run("site", "get_list", Request(model_index="mod")), "mod/project/siteMod.py")
show('module_run("container", "get_list", Request(model_index="docker"))',
     PL.module_run("container", "get_list", Request(model_index="docker")))
try:
    PL.module_run("site", "broken", Request())
except KeyError as err:
    show('module_run("site", "broken", Request())', f"raised KeyError({err})",
         "a module method's exception reaches the caller")
path = str(PANEL / "class/projectModel/siteModel.py")
show(f'get_module("{path}")', PL.get_module(path))
show('get_module("/www/../etc/passwd")', PL.get_module("/www/../etc/passwd"))

print("\n== plugin catalog ==")
show("get_plugin_list(1)", PL.get_plugin_list(1), "forced: downloaded from the cloud service")
request = cloud_requests()[-1]
env = json.loads(request["form"]["environment_info"])
print(f"    the service saw: uid={request['form']['uid']}, "
      f"Authorization={request['authorization']!r}, install_code={env['install_code']!r}, "
      f"ip={env['ip']!r}, server_name={env['server_name']!r}")
show("get_plugin_list(0)", PL.get_plugin_list(0), "cached: read from data/plugin_bin.pl")
print(f"    requests the service received so far: {len(cloud_requests())}")
show("parse_plugin_list(0)", PL.parse_plugin_list(0))
show('parse_plugin_list("1")', PL.parse_plugin_list("1"))

print("\n== database values ==")
stored = PL.db_encrypt("mysql-root-password\nsecond line")
show('db_encrypt("mysql-root-password\\nsecond line")', stored,
     "each line enciphered, the results joined")
one = PL.db_encrypt("mysql-root-password")["msg"]
show(f'db_decrypt("{one}")', PL.db_decrypt(one))
show("db_decrypt(42)", PL.db_decrypt(42))
print(f"    installation IV file: {PANEL / 'data/div.pl'} "
      f"({'present' if (PANEL / 'data/div.pl').exists() else 'missing'})")

print("\n== housekeeping ==")
show("py_clear(object())", PL.py_clear(object()))
print("\ndemo finished")
sys.exit(0)
