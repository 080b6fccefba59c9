"""Case-insensitive views over raw header lists."""

import re
from typing import Iterator

__all__ = ["Header", "Headers"]

# What a header that is sent may hold: a token name, a value without CR, LF or NUL.
_TOKEN = re.compile(rb"[!#$%&'*+\-.^_`|~0-9A-Za-z]+")
_FORBIDDEN = re.compile(rb"[\r\n\x00]")


def _lower(name):
    return name.lower()


def _check(name, value) -> None:
    if isinstance(name, bytes) and not _TOKEN.fullmatch(name):
        raise ValueError(f"Invalid header name {name!r}: a header name must be an HTTP token")
    if isinstance(value, bytes) and _FORBIDDEN.search(value):
        raise ValueError(f"Invalid value for header {name!r}: CR, LF and NUL are not allowed")


class Header:
    __slots__ = ("name", "value")

    def __init__(self, name: bytes, value: bytes):
        self.name = name
        self.value = value

    def __iter__(self):
        yield self.name
        yield self.value

    def __eq__(self, other):
        if isinstance(other, Header):
            return self.name.lower() == other.name.lower() and self.value == other.value
        if isinstance(other, tuple) and len(other) == 2:
            return self.name.lower() == other[0].lower() and self.value == other[1]
        return NotImplemented

    def __repr__(self):
        return f"<Header {self.name!r}: {self.value!r}>"


class Headers:
    """A view over a list of ``(name, value)`` byte pairs.

    The list is shared, not copied: changes through the view are changes of
    the list, and changes of the list show through the view.
    """

    __slots__ = ("values",)

    def __init__(self, values: list = None):
        if values is None:
            values = []
        elif not isinstance(values, list):
            raise TypeError(f"Expected list, got {type(values).__name__}")
        self.values = values

    def get(self, name: bytes) -> tuple:
        key = name.lower()
        return tuple(value for n, value in self.values if n.lower() == key)

    def get_tuples(self, name: bytes) -> list:
        key = name.lower()
        return [item for item in self.values if item[0].lower() == key]

    def get_first(self, name: bytes):
        key = name.lower()
        for n, value in self.values:
            if n.lower() == key:
                return value
        return None

    def __getitem__(self, name: bytes) -> tuple:
        return self.get(name)

    def __contains__(self, name: bytes) -> bool:
        key = name.lower()
        return any(n.lower() == key for n, _ in self.values)

    def keys(self) -> tuple:
        seen = []
        for n, _ in self.values:
            if n not in seen:
                seen.append(n)
        return tuple(seen)

    def items(self) -> Iterator[tuple]:
        return iter(list(self.values))

    def add(self, name: bytes, value: bytes) -> None:
        _check(name, value)
        self.values.append((name, value))

    def set(self, name: bytes, value: bytes) -> None:
        _check(name, value)
        self.remove(name)
        self.values.append((name, value))

    def remove(self, name: bytes) -> None:
        key = name.lower()
        self.values[:] = [item for item in self.values if item[0].lower() != key]

    def __len__(self) -> int:
        return len(self.values)

    def __iter__(self):
        return iter(list(self.values))

    def __eq__(self, other):
        if isinstance(other, Headers):
            return self.values == other.values
        return NotImplemented

    def __repr__(self):
        return f"<Headers {self.values!r}>"
