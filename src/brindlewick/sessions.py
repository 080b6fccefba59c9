"""User sessions: a dictionary that knows whether it was changed."""

__all__ = ["Session"]


class Session:
    __slots__ = ("_values", "modified")

    def __init__(self, values: dict = None):
        self._values = dict(values) if values else {}
        self.modified = False

    def get(self, name, default=None):
        return self._values.get(name, default)

    def set(self, name, value):
        self[name] = value

    def __getitem__(self, name):
        return self._values[name]

    def __setitem__(self, name, value):
        self._values[name] = value
        self.modified = True

    def __delitem__(self, name):
        del self._values[name]
        self.modified = True

    def __contains__(self, name):
        return name in self._values

    def __len__(self):
        return len(self._values)

    def __iter__(self):
        return iter(self._values)

    def keys(self):
        return self._values.keys()

    def items(self):
        return self._values.items()

    def update(self, values: dict):
        self._values.update(values)
        self.modified = True

    def clear(self):
        self._values.clear()
        self.modified = True

    def to_dict(self) -> dict:
        return dict(self._values)

    def __eq__(self, other):
        if isinstance(other, Session):
            return self._values == other._values
        if isinstance(other, dict):
            return self._values == other
        return NotImplemented

    def __repr__(self):
        return f"<Session {self._values!r}>"
