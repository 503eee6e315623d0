"""Sample panel class module: sites of the project model."""


class main:
    def get_list(self, args):
        limit = int(getattr(args, "limit", 3))
        return [{"id": i, "name": f"site{i}.example"} for i in range(1, limit + 1)]

    def broken(self, args):
        raise KeyError("no such site")
