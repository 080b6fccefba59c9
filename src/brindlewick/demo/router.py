"""A tiny router: exact paths in a dictionary, and patterns whose ``{name}``
segments capture one path segment (``{name:path}`` captures the rest).

Every GET route answers HEAD too. A path that some route knows, asked with a
method none of its routes has, is told apart from an unknown path by
``allowed``: the methods to list in the ``Allow`` header of a 405."""

from __future__ import annotations


__all__ = ["Router"]


class Router:
    __slots__ = ("_exact", "_exact_methods", "_patterns")

    def __init__(self):
        self._exact: dict[tuple[str, str], object] = {}
        self._exact_methods: dict[str, set[str]] = {}
        self._patterns: list[tuple[str, tuple[tuple[bool, str], ...], bool, object]] = []

    def add(self, method: str, pattern: str, handler) -> None:
        if not pattern.startswith("/"):
            raise ValueError(f"route patterns begin with '/': {pattern!r}")
        if not method or method != method.upper():
            raise ValueError(f"methods are given in capitals: {method!r}")
        if "{" not in pattern:
            self._exact[(method, pattern)] = handler
            self._exact_methods.setdefault(pattern, set()).add(method)
            return
        segments = pattern.split("/")[1:]
        parts: list[tuple[bool, str]] = []
        rest = False
        for index, segment in enumerate(segments):
            if segment.startswith("{") and segment.endswith("}"):
                name = segment[1:-1]
                if name.endswith(":path"):
                    if index != len(segments) - 1:
                        raise ValueError(f"a {{name:path}} capture must be the last segment: {pattern!r}")
                    name, rest = name[:-5], True
                parts.append((True, name))
            else:
                parts.append((False, segment))
        self._patterns.append((method, tuple(parts), rest, handler))

    def get(self, pattern: str):
        def register(handler):
            self.add("GET", pattern, handler)
            return handler

        return register

    def post(self, pattern: str):
        def register(handler):
            self.add("POST", pattern, handler)
            return handler

        return register

    def match(self, method: str, path: str):
        """(handler, captured values) for the route, or None. HEAD falls back
        to the GET routes."""
        handler = self._exact.get((method, path))
        if handler is not None:  # the common case: one dictionary lookup
            return handler, None
        found = self._match_pattern(method, path)
        if found is None and method == "HEAD":
            found = self._match("GET", path)
        return found

    def allowed(self, path: str) -> tuple[str, ...]:
        """The methods that have a route for ``path``, sorted, HEAD listed
        wherever GET is; empty for a path no route knows."""
        methods = set(self._exact_methods.get(path, ()))
        segments = path.split("/")[1:]
        for route_method, parts, rest, _ in self._patterns:
            if route_method not in methods and _capture(parts, rest, segments) is not None:
                methods.add(route_method)
        if "GET" in methods:
            methods.add("HEAD")
        return tuple(sorted(methods))

    def _match(self, method: str, path: str):
        handler = self._exact.get((method, path))
        if handler is not None:
            return handler, None
        return self._match_pattern(method, path)

    def _match_pattern(self, method: str, path: str):
        segments = path.split("/")[1:]
        for route_method, parts, rest, handler in self._patterns:
            if route_method != method:
                continue
            values = _capture(parts, rest, segments)
            if values is not None:
                return handler, values
        return None


def _capture(parts, rest, segments):
    """The values a pattern captures from the path's segments, or None when
    it does not match."""
    count = len(parts)
    if len(segments) < count or (len(segments) > count and not rest):
        return None
    values = {}
    for index, (capture, text) in enumerate(parts):
        if not capture:
            if segments[index] != text:
                return None
        elif rest and index == count - 1:
            values[text] = "/".join(segments[index:])
        elif segments[index]:
            values[text] = segments[index]
        else:
            return None
    return values
