"""Stand-in for the panel's PHP bridge module `panelPHP`."""


class panelPHP:
    def __init__(self, plugin_name):
        self.plugin_name = plugin_name

    def exec_php_script(self, args):
        return {"status": False, "msg": "PHP is not available"}
