"""Source entry of the plugin `native`.

It marks the directory as a Python plugin; when native_main.so (built from
native_main.c) lies beside it, the compiled entry is loaded instead.
"""


class native_main:
    def get_info(self, args):
        return {"name": "native", "kind": "source"}
