"""Operate PluginLoader on a panel from the command line.

For people who run a panel: call a plugin or module method, list the plugin
catalog, encipher or decipher database values, check an installation, and
install or roll back the module, with the module the panel uses.  Every
command says on standard error which module file it uses and its version.

examples:
  plugin-loader -p /www/server/panel/class doctor
  plugin-loader -p /www/server/panel/class run demo get_info who=admin
  plugin-loader module site get_list model_index=mod -p /www/server/panel/class
  plugin-loader catalog --force
  plugin-loader encrypt -  < values.txt            (one value a line, one result a line)
  plugin-loader decrypt 'S8lU...=='
  plugin-loader --build BUILD install /www/server/panel/class
  plugin-loader --force rollback /www/server/panel/class

which module: --module FILE imports that file; --build DIR the module in that
build directory; without either, PluginLoader is looked for as the panel's
interpreter would import it: in the -p directories, then on the module search
path.

exit status: 0 done; 1 the module answered with an error, a value was refused,
doctor found a problem, or install/rollback failed; 2 wrong usage or no module
to use.
"""
import argparse
import os
import sys
from pathlib import Path

from . import calls, checks, deploy, values
from .common import MODULE_NAME, PROG, Failure, UsageError, load, say, tool_version


def add_common(p, top):
    """The options every command takes, before or after the command's name.
    After it they are parsed by the command's own parser: their defaults are
    suppressed there, and -p goes to a list of its own, so that nothing given
    before is lost."""
    default = (lambda value: value) if top else (lambda value: argparse.SUPPRESS)
    p.add_argument("--module", metavar="FILE", default=default(None),
                   help="the module file to use, e.g. a deployed "
                        "/www/server/panel/class/PluginLoader.cpython-312-x86_64-linux-gnu.so")
    p.add_argument("--build", metavar="DIR", default=default(None),
                   help="use the module in this build directory (an error when there is none)")
    p.add_argument("-p", "--path", metavar="DIR", action="append", type=Path,
                   dest="path" if top else "path_after", default=default([]),
                   help="put DIR first on the module search path: the directory of the panel's "
                        "own modules (public, panelPHP, http_requests); repeatable")
    p.add_argument("-v", "--verbose", action="store_true", default=default(False),
                   help="show the whole traceback of an error in the panel's code, not one line")
    p.add_argument("--version", action="store_true", default=default(False),
                   help="print the versions of this tool and of the module, then exit")


# The options some commands take, with their defaults.  They may stand
# before the command too; parse_args then checks that the command takes them.
COMMAND_OPTIONS = {"force": False, "json": False, "allow_fallback_iv": False,
                   "wait": deploy.LOCK_WAIT}


def add_command_options(p):
    """The commands' own options, as the top parser takes them before the
    command: whether a command takes one is checked once it is known."""
    for flag, extra in (("--force", {"action": "store_true"}), ("--json", {"action": "store_true"}),
                        ("--allow-fallback-iv", {"action": "store_true"}),
                        ("--wait", {"metavar": "SECONDS", "type": float})):
        p.add_argument(flag, default=argparse.SUPPRESS, **extra,
                       help=f"the option {flag} of the commands that take it, given before the "
                            "command (plugin-loader COMMAND --help tells what it does there)")


def parser():
    parts = __doc__.split("\n\n", 2)
    p = argparse.ArgumentParser(prog=PROG, description=parts[1], epilog=parts[2],
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    add_common(p, True)
    add_command_options(p)
    sub = p.add_subparsers(dest="command", metavar="COMMAND",
                           help="what to do (plugin-loader COMMAND --help tells more)")

    def command(name, help_text):
        c = sub.add_parser(name, help=help_text, description=help_text)
        add_common(c, False)
        return c

    run = command("run", "run a plugin method: run PLUGIN METHOD [key=value ...]")
    run.add_argument("plugin", help="the plugin's name: its directory under <panel>/plugin/")
    run.add_argument("method", help="the method of the plugin's class <PLUGIN>_main to call")
    run.add_argument("args", nargs="*", default=[], metavar="key=value",
                     help="attributes of the argument object the method gets (none required)")

    mod = command("module", "run a panel module method: module MODULE METHOD [key=value ...]")
    mod.add_argument("module_name", metavar="module",
                     help="the module's name, e.g. site for class/projectModel/siteModel.py")
    mod.add_argument("method", help="the method of the module's class main to call")
    mod.add_argument("args", nargs="*", default=[], metavar="key=value",
                     help="attributes of the argument object the method gets (none required); "
                          "model_index=... picks the module's directory (mod: mod/project/)")

    cat = command("catalog", "list the plugin catalog")
    cat.add_argument("--force", action="store_true", default=argparse.SUPPRESS,
                     help="download it from the service first")
    cat.add_argument("--json", action="store_true", default=argparse.SUPPRESS,
                     help="print the whole catalog as JSON")

    enc = command("encrypt", "encipher database values: one stored text a line for each line")
    enc.add_argument("values", nargs="+", metavar="VALUE",
                     help="a value to encipher (each of its lines on its own); '-' reads the "
                          "values from standard input, one a line, which keeps them out of the "
                          "shell's history and the process list (a terminal is asked without "
                          "echo)")
    enc.add_argument("--allow-fallback-iv", action="store_true", default=argparse.SUPPRESS,
                     help="print the stored texts even when no IV file could be made and the "
                          "fallback IV was used (the panel cannot read them once one exists)")

    dec = command("decrypt", "decipher stored database values: one value a line for each line")
    dec.add_argument("values", nargs="+", metavar="TEXT",
                     help="a stored text to decipher (each of its lines on its own); '-' reads "
                          "them from standard input, one a line")
    dec.add_argument("--allow-fallback-iv", action="store_true", default=argparse.SUPPRESS,
                     help="with no IV file, decipher under the fallback IV (no IV file is made)")

    info = command("info", "print the module's version, file, SHA-256 and build settings")
    info.add_argument("--json", action="store_true", default=argparse.SUPPRESS,
                      help="print them as one JSON object")

    command("doctor", "check an installation: one line a check, exit status 1 on any FAIL")

    ins = command("install", "install the module given with --build or --module into DIR, "
                             "keeping the module it replaces for rollback")
    ins.add_argument("directory", metavar="DIR",
                     help="the directory the panel imports PluginLoader from")
    ins.add_argument("--force", action="store_true", default=argparse.SUPPRESS,
                     help="install even a module built with the built-in secrets, with another "
                          "panel root or other secrets than the installed one, or in a file "
                          "owned by another user or writable by group or others")

    rb = command("rollback", "put back the module that the last install in DIR replaced")
    rb.add_argument("directory", metavar="DIR",
                    help="the directory the panel imports PluginLoader from")
    rb.add_argument("--force", action="store_true", default=argparse.SUPPRESS,
                    help="put it back even when its file is owned by another user or writable "
                         "by group or others")
    for c in (ins, rb):
        c.add_argument("--wait", metavar="SECONDS", type=float, default=argparse.SUPPRESS,
                       help="how long to wait for another install or rollback in DIR to end "
                            f"(default {deploy.LOCK_WAIT})")
    p.takes = {name: {a.dest for a in c._actions if a.dest in COMMAND_OPTIONS}
               for name, c in sub.choices.items()}
    return p


def parse(p, argv=None):
    """The options, each command option given before the command checked
    against the command, and those not given set to their defaults."""
    opts = p.parse_args(argv)
    takes = p.takes.get(opts.command, set())
    for dest, default in COMMAND_OPTIONS.items():
        if dest in takes:
            if not hasattr(opts, dest):
                setattr(opts, dest, default)
        elif hasattr(opts, dest):
            flag = "--" + dest.replace("_", "-")
            p.error(f"{flag} is not an option of {opts.command or 'the tool without a command'}")
    opts.path = list(opts.path) + list(getattr(opts, "path_after", []))
    return opts


def main(argv=None):
    p = parser()
    opts = parse(p, argv)
    sys.path[:0] = [str(d) for d in opts.path]
    try:
        if opts.version:
            print(f"{PROG} {tool_version()}")
            try:
                module, path = load(opts)
                print(f"{MODULE_NAME} {getattr(module, '__version__', 'unknown')} {path}")
            except UsageError as err:
                if opts.module or opts.build:
                    raise
                say(str(err))
            return 0
        if opts.command is None:
            p.error("a command is needed (or --version)")
        if opts.command == "install":
            return deploy.cmd_install(opts)
        if opts.command == "rollback":
            return deploy.cmd_rollback(opts)
        module, path = load(opts)
        if opts.command == "info":
            return checks.cmd_info(module, opts, path)
        return {"run": calls.cmd_run, "module": calls.cmd_module, "catalog": calls.cmd_catalog,
                "encrypt": values.cmd_encrypt, "decrypt": values.cmd_decrypt,
                "doctor": checks.cmd_doctor}[opts.command](module, opts)
    except UsageError as err:
        say(str(err))
        return 2
    except Failure as err:
        say(str(err))
        return 1
    except BrokenPipeError:
        raise
    except OSError as err:
        say(f"{err.filename or ''}: {err.strerror or err}")
        return 1


def entry():
    try:
        code = main()
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader went away (plugin-loader catalog | head -1): end quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        code = 141
    except KeyboardInterrupt:
        code = 130
    sys.exit(code)

