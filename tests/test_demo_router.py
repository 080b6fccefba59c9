"""The demo's router: exact paths, captures, the rest-of-path capture, HEAD."""

import pytest

from brindlewick.demo.router import Router


def build():
    router = Router()
    for method, pattern in [("GET", "/"), ("GET", "/a"), ("POST", "/a"), ("GET", "/u/{id}"),
                            ("GET", "/u/{id}/posts/{post}"), ("GET", "/files/{name:path}")]:
        router.add(method, pattern, f"{method} {pattern}")
    return router


@pytest.mark.parametrize(
    ("method", "path", "expected"),
    [("GET", "/", ("GET /", None)), ("POST", "/a", ("POST /a", None)), ("HEAD", "/a", ("GET /a", None)),
     ("GET", "/u/7", ("GET /u/{id}", {"id": "7"})),
     ("GET", "/u/7/posts/x", ("GET /u/{id}/posts/{post}", {"id": "7", "post": "x"})),
     ("GET", "/files/a/b.txt", ("GET /files/{name:path}", {"name": "a/b.txt"})),
     ("GET", "/files/../x", ("GET /files/{name:path}", {"name": "../x"})),
     ("GET", "/u/", None), ("GET", "/u/7/extra", None), ("GET", "/u", None), ("DELETE", "/a", None),
     ("GET", "/a/", None), ("GET", "", None), ("POST", "/u/7", None)],
)
def test_match(method, path, expected):
    assert build().match(method, path) == expected


@pytest.mark.parametrize("pattern", ["nope", "/x/{rest:path}/y"])
def test_bad_patterns(pattern):
    with pytest.raises(ValueError):
        Router().add("GET", pattern, None)


@pytest.mark.parametrize(
    ("path", "allowed"),
    [("/", ("GET", "HEAD")), ("/a", ("GET", "HEAD", "POST")), ("/u/7", ("GET", "HEAD")),
     ("/files/x/y", ("GET", "HEAD")), ("/nowhere", ()), ("/u/", ()), ("/a/", ())],
)
def test_allowed_methods_of_a_path(path, allowed):
    router = build()
    router.add("POST", "/u/{id}/posts/{post}", None)
    assert router.allowed(path) == allowed
    assert router.allowed("/u/7/posts/x") == ("GET", "HEAD", "POST")


def test_methods_are_capitals():
    with pytest.raises(ValueError):
        Router().add("get", "/", None)
