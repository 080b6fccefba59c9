"""Request cookies (read from every cookie header, set into one header),
session, user and identity."""

from urllib.parse import unquote

import pytest

from brindlewick.cookies import split_value
from brindlewick.messages import Request
from wardkeep import Identity


def with_cookies(*values):
    return Request("GET", b"/", [(b"cookie", v) for v in values])


def reference_cookies(*values):
    """The reading rule written with the standard library's unquote: every
    ';' separates, split_value trims, a fragment without '=' or that is not
    UTF-8 text is skipped."""
    cookies = {}
    for value in values:
        for fragment in value.split(b";"):
            try:
                name, val = split_value(fragment, b"=")
                name, val = name.decode(), val.decode()
            except ValueError:  # UnicodeDecodeError included
                continue
            cookies[unquote(name)] = unquote(val)
    return cookies


@pytest.mark.parametrize("values, expected", [
    ((), {}),
    ((b"a=1; b=2",), {"a": "1", "b": "2"}),
    ((b"a=1", b"a=2"), {"a": "2"}),
    ((b"n%20x=v%3B1",), {"n x": "v;1"}),
    ((b"a=1;b=2",), {"a": "1", "b": "2"}),  # what curl -b 'a=1;b=2' sends
    ((b"a=1 ;\tb = 2 ;c=3;",), {"a": "1", "b": "2", "c": "3"}),
    ((b"a=1; ",), {"a": "1"}),
    ((b"a=1; bad=\xff; b=2",), {"a": "1", "b": "2"}),  # a planted non-UTF-8 cookie is skipped
    ((b"a=1; \xff=x; b=2",), {"a": "1", "b": "2"}),
    ((b"a=%ff; b=2",), {"a": "\ufffd", "b": "2"}),  # as the percent-encoded byte reads
])
def test_cookies(values, expected):
    assert with_cookies(*values).cookies == expected


JUNK = [b"", b";", b"; ; ", b"=", b"a", b"a=", b"=b", b"a==b", b"%zz=%", b"  a = 1 ", b'a="q"', b"a=1; ; b=2",
        b"a=%ff", b"a=%C3%A9%C3", b"\xc3\xa9=\xc3\xa9", b"a=1;;; ", b"a=b; c", b"; a=1", b"x=%E2%82%C3%A9",
        b"a=+1+", b"a\tb=c\x00d", b"a=\t", b"\ta=1", b"a =1", b"a= 1", b"a=1\x0b", b"\x7f=~"]


@pytest.mark.parametrize("value", JUNK)
def test_junk_fragments(value):
    assert with_cookies(value).cookies == reference_cookies(value)


@pytest.mark.parametrize("value", [b"a=\xff", b"\xff=1", b"ok=1; a=\xc3", b"a=\xc3\xa9\xed\xa0\x80; ok=1"])
def test_undecodable_cookie_text_is_skipped(value):
    assert with_cookies(value).cookies == ({"ok": "1"} if b"ok" in value else {})


def test_non_bytes_cookie_header():
    with pytest.raises(TypeError):
        with_cookies("a=1").cookies


def test_get_cookie():
    r = with_cookies(b"a=1; b=%20")
    assert r.get_cookie("a") == "1" and r.get_cookie("b") == " " and r.get_cookie("missing") is None
    assert r.get_cookie(name=None) is None
    with pytest.raises(TypeError, match="^Argument 'name' has incorrect type"):
        r.get_cookie(b"a")


def test_set_cookie_round_trip():
    r = Request("GET", b"/", None)
    r.set_cookie("a", "1")
    assert r.headers.values == [(b"cookie", b"a=1")]
    r.set_cookie("b", "2")
    r.set_cookie("sp ce", "x/y;z")
    assert r.get_headers(b"cookie") == [b"a=1; b=2; sp%20ce=x/y%3Bz"]
    assert r.cookies == {"a": "1", "b": "2", "sp ce": "x/y;z"}


def test_set_cookie_onto_received_and_empty_headers():
    r = with_cookies(b"", b"first=1")
    r.set_cookie("a", "1")
    assert r.get_headers(b"cookie") == [b"", b"first=1", b"a=1"]
    r = with_cookies(b"x=1", b"y=2")
    r.set_cookie("z", "3")
    assert r.get_headers(b"cookie") == [b"x=1; z=3"]
    assert r.cookies == {"x": "1", "z": "3"}


def test_set_cookie_argument_errors():
    r = Request("GET", b"/", None)
    with pytest.raises(TypeError, match="^Argument 'value' has incorrect type"):
        r.set_cookie("a", 1)
    with pytest.raises(TypeError):
        r.set_cookie(None, "x")


def test_session():
    r = Request("GET", b"/", None)
    with pytest.raises(TypeError, match="^A session is not configured for this request"):
        r.session
    session = object()
    r.session = session
    assert r.session is session
    with pytest.raises(NotImplementedError, match="^__del__$"):
        del r.session


def test_user_and_identity():
    r = Request("GET", b"/", None)
    user = r.user
    assert isinstance(user, Identity) and r.user is user and r.identity is user
    other = Identity({"sub": "x"}, "cookie")
    r.identity = other
    assert r._user is other and r.user is other
    r.user = None
    assert isinstance(r.identity, Identity) and r.identity is not other
    for name in ("user", "identity"):
        with pytest.raises(NotImplementedError, match="^__del__$"):
            delattr(r, name)


def test_identity_reads_an_overridden_user():
    class Sub(Request):
        @property
        def user(self):
            return "custom"

    assert Sub("GET", b"/", None).identity == "custom"
