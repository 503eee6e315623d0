"""Sample panel class module, chosen with model_index "docker"."""


class main:
    def get_list(self, args):
        return [{"id": "c1", "image": "nginx"}, {"id": "c2", "image": "redis"}]
