"""Sample source plugin `demo`: the entry class is demo_main."""
import time

CALLS = 0  # module state: kept while the file is unchanged


class demo_main:
    def get_info(self, args):
        global CALLS
        CALLS += 1
        return {"name": "demo", "version": "1.0", "calls_in_process": CALLS,
                "who": getattr(args, "who", "panel")}

    def echo(self, args):
        return {k: v for k, v in vars(args).items() if not k.startswith("_")}

    def get_time(self, args):
        return time.strftime("%Y-%m-%d %H:%M:%S")

    def fail(self, args):
        raise ValueError("demo plugin failed on purpose")
