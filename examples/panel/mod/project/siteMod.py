"""Sample project module, chosen with model_index "mod"."""


class main:
    def get_list(self, args):
        return {"source": "mod/project", "sites": ["a.example", "b.example"]}
