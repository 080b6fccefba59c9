"""The native classes of contents, url, cookies and _multipart cannot be
changed once created; Python subclasses are how behaviour is overridden, and
native callers reach the override."""

import ctypes

import pytest

from brindlewick import contents
from brindlewick._multipart import Parser
from brindlewick.cookies import Cookie
from brindlewick.url import URL

PUBLIC = [
    contents.Content,
    contents.StreamedContent,
    contents.TextContent,
    contents.HTMLContent,
    contents.JSONContent,
    contents.FormContent,
    contents.MultiPartFormData,
    contents.ASGIContent,
    contents.RSGIContent,
    contents.FormPart,
    contents.FileBuffer,
    contents.ServerSentEvent,
    contents.TextServerSentEvent,
    contents.StreamedFormPart,
    URL,
    Cookie,
    Parser,
]

_body = contents.Content(b"a/b", b"x")
HELPERS = [type(_body.read()), type(_body.stream()), type(contents.StreamedFormPart().stream())]


@pytest.mark.parametrize("cls", PUBLIC + HELPERS, ids=lambda c: c.__qualname__)
def test_native_classes_are_immutable(cls):
    with pytest.raises(TypeError, match="immutable"):
        cls.extra = lambda self: None
    with pytest.raises(TypeError):
        cls.__repr__ = lambda self: "patched"
    assert not hasattr(cls, "extra")


@pytest.mark.parametrize(
    "cls", [c for c in PUBLIC if c.__flags__ & (1 << 10)], ids=lambda c: c.__qualname__
)
def test_python_subclasses_stay_mutable(cls):
    sub = type("Sub", (cls,), {})
    sub.extra = 1
    assert sub.extra == 1


# Other native modules call the first entry of a content's or event's method
# table directly; the tests reach it the same way.
_HEAD = ctypes.sizeof(ctypes.c_ssize_t) + ctypes.sizeof(ctypes.c_void_p)


def native_entry(obj, restype):
    vtab = ctypes.c_void_p.from_address(id(obj) + _HEAD).value
    pointer = ctypes.c_void_p.from_address(vtab).value
    return ctypes.PYFUNCTYPE(restype, ctypes.py_object, ctypes.c_int)(pointer)


@pytest.mark.parametrize("base", [contents.Content, contents.TextContent, contents.JSONContent])
def test_dispose_override_reaches_native_callers(base):
    calls = []

    class Mine(base):
        def dispose(self):
            calls.append(type(self).__name__)
            return super().dispose()

    obj = Mine.__new__(Mine)
    assert native_entry(obj, ctypes.c_int)(obj, 0) == 0
    assert calls == ["Mine"]
    # A class made later with another override is seen too (the override
    # cache is keyed by type).
    Other = type("Other", (base,), {"dispose": lambda self: calls.append("other")})
    obj = Other.__new__(Other)
    assert native_entry(obj, ctypes.c_int)(obj, 0) == 0
    assert calls == ["Mine", "other"]


@pytest.mark.parametrize("base", [contents.ServerSentEvent, contents.TextServerSentEvent])
def test_write_data_override_reaches_native_callers(base):
    class Mine(base):
        def write_data(self):
            return "mine:" + super().write_data()

    event = Mine("x")
    assert native_entry(event, ctypes.py_object)(event, 0) == 'mine:' + base("x").write_data()
    assert native_entry(event, ctypes.py_object)(event, 1) == base("x").write_data()
