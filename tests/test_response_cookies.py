from datetime import timedelta

import pytest

from brindlewick.cookies import Cookie, CookieSameSiteMode, parse_cookie, write_cookie_for_response
from brindlewick.messages import Response
from brindlewick.utils.time import utcnow


def cookie(name, value="v", **kw):
    return Cookie(name, value, **kw)


def set_cookie_values(r):
    return [value for name, value in r.headers.values if name.lower() == b"set-cookie"]


def test_set_cookie_appends_a_written_header():
    c = cookie("sid", "a b", path="/", http_only=True, same_site=CookieSameSiteMode.LAX)
    r = Response(200, [(b"x", b"1")])
    assert r.set_cookie(c) is None
    assert r.headers.values == [(b"x", b"1"), (b"set-cookie", write_cookie_for_response(c))]
    got = r.get_cookie("sid")
    assert got == c and got is not c


def test_first_wins_for_get_cookie_last_for_cookies():
    r = Response(200)
    r.set_cookie(cookie("a", "1"))
    r.set_cookie(cookie("b", "2"))
    r.set_cookie(cookie("a", "3"))
    assert r.get_cookie("a").value == "1"
    assert {k: v.value for k, v in r.cookies.items()} == {"a": "3", "b": "2"}
    assert r.get_cookies() == r.cookies
    assert r.get_cookie("missing") is None


def test_set_cookies_in_order():
    r = Response(200)
    r.set_cookies([cookie("a"), cookie("b")])
    assert [parse_cookie(v).name for v in set_cookie_values(r)] == ["a", "b"]


def test_remove_cookie_removes_every_entry_of_the_name_and_keeps_the_order():
    r = Response(200, [(b"h1", b"1")])
    r.set_cookie(cookie("a", "1"))
    r.add_header(b"h2", b"2")
    r.add_header(b"Set-Cookie", b"a=2")  # names match case-insensitively
    r.set_cookie(cookie("b", "3"))
    r.remove_cookie("a")
    assert r.headers.values == [(b"h1", b"1"), (b"h2", b"2"), (b"set-cookie", b"b=3")]
    r.remove_cookie("nothing")
    assert len(r.headers.values) == 3


def test_header_added_by_hand_is_found():
    r = Response(200)
    r.add_header(b"Set-Cookie", b"sid=xyz; Path=/")
    assert r.get_cookie("sid").path == "/"


def test_unset_cookie_appends_an_expired_empty_cookie():
    r = Response(200)
    r.set_cookie(cookie("sid", "live"))
    r.unset_cookie("sid")
    assert len(r.headers.values) == 2
    assert r.get_cookie("sid").value == "live"  # the earlier entry stays
    gone = r.cookies["sid"]
    assert gone.value == ""
    assert gone.expires < utcnow() - timedelta(days=364)


def test_remove_cookie_on_empty_response():
    r = Response(200)
    r.remove_cookie("x")
    assert r.headers.values == []


# ---- bad input ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda r: r.set_cookie("sid=1"), TypeError, "Argument 'cookie' has incorrect type (expected Cookie, got str)"),
        (lambda r: r.set_cookies(None), TypeError, "'NoneType' object is not iterable"),
        (lambda r: r.set_cookies((cookie("a"),)), TypeError,
         "Argument 'cookies' has incorrect type (expected list, got tuple)"),
        (lambda r: r.unset_cookie(b"sid"), TypeError, "Argument 'name' has incorrect type (expected str, got bytes)"),
        (lambda r: r.get_cookie(1), TypeError, "Argument 'name' has incorrect type (expected str, got int)"),
        (lambda r: r.remove_cookie(1), TypeError, "Argument 'name' has incorrect type (expected str, got int)"),
        (lambda r: r.set_cookie(None), TypeError, "Argument 'cookie' has incorrect type (expected Cookie, got NoneType)"),
    ],
)
def test_argument_errors(call, error, message):
    r = Response(200)
    with pytest.raises(error) as info:
        call(r)
    assert str(info.value) == message
    assert r.headers.values == []


def test_str_subclass_is_refused_by_unset_cookie_only():
    class Name(str):
        pass

    r = Response(200)
    r.set_cookie(cookie("n"))
    with pytest.raises(TypeError):
        r.unset_cookie(Name("n"))
    assert r.get_cookie(Name("n")).name == "n"


def test_set_cookies_keeps_what_was_set_before_a_bad_item():
    r = Response(200)
    with pytest.raises(TypeError) as info:
        r.set_cookies([cookie("a"), cookie("b"), 5, cookie("c")])
    assert str(info.value) == "Cannot convert int to Cookie"
    assert [parse_cookie(v).name for v in set_cookie_values(r)] == ["a", "b"]


def test_set_cookies_keeps_what_was_set_before_a_failing_set_cookie():
    class Picky(Response):
        def set_cookie(self, c):
            if c.name == "b":
                raise ValueError("refused")
            super().set_cookie(c)

    r = Picky(200)
    with pytest.raises(ValueError, match="refused"):
        r.set_cookies([cookie("a"), cookie("b"), cookie("c")])
    assert [parse_cookie(v).name for v in set_cookie_values(r)] == ["a"]


@pytest.mark.parametrize("bad", [b"novalue", b"=x", b"a=b; Expires=garbage"])
def test_unparsable_values_raise_and_remove_nothing(bad):
    r = Response(200)
    r.set_cookie(cookie("a"))
    r.add_header(b"set-cookie", bad)
    before = list(r.headers.values)
    for call in (lambda: r.get_cookies(), lambda: r.cookies, lambda: r.remove_cookie("a")):
        with pytest.raises(ValueError, match="malformed cookie"):
            call()
    assert r.headers.values == before
    assert r.get_cookie("a").name == "a"  # found before the bad entry


def test_non_bytes_values_are_refused():
    r = Response(200, [(b"set-cookie", "a=1")])
    for call in (lambda: r.get_cookie("a"), lambda: r.get_cookies(), lambda: r.remove_cookie("a")):
        with pytest.raises(TypeError, match="^Expected bytes, got str$"):
            call()


def test_uninitialised_header_list():
    r = Response.__new__(Response)
    with pytest.raises(AttributeError, match="^'NoneType' object has no attribute 'append'$"):
        r.set_cookie(cookie("a"))


# ---- overrides reached by the native callers ----------------------------------------------


class Recording(Response):
    def __init__(self, *args):
        super().__init__(*args)
        self.calls = []

    def set_cookie(self, c):
        self.calls.append(("set_cookie", c.name if c else None))
        super().set_cookie(c)

    def get_cookies(self):
        self.calls.append(("get_cookies",))
        return {"overridden": True}


def test_set_cookies_and_unset_cookie_call_the_override():
    r = Recording(200)
    r.set_cookies([cookie("a"), cookie("b")])
    r.unset_cookie("a")
    assert r.calls == [("set_cookie", "a"), ("set_cookie", "b"), ("set_cookie", "a")]
    assert len(set_cookie_values(r)) == 3


def test_cookies_property_calls_the_override():
    r = Recording(200)
    assert r.cookies == {"overridden": True}
    assert r.calls == [("get_cookies",)]


def test_get_cookie_reads_through_a_get_headers_override():
    class Headerless(Response):
        def get_headers(self, key):
            assert key == b"set-cookie"
            return [b"from=override"]

    r = Headerless(200)
    assert r.get_cookie("from").value == "override"
    assert list(r.cookies) == ["from"]


def test_override_that_changes_the_list_being_iterated():
    items = [cookie("a"), cookie("b"), cookie("c")]

    class Shrinking(Response):
        def set_cookie(self, c):
            items.clear()  # drops the last references to the other items
            super().set_cookie(c)

    r = Shrinking(200)
    r.set_cookies(items)
    assert [parse_cookie(v).name for v in set_cookie_values(r)] == ["a"]


def test_monkeypatched_class_is_seen():
    class Late(Response):
        pass

    r = Late(200)
    r.set_cookies([cookie("a")])
    seen = []
    Late.set_cookie = lambda self, c: seen.append(c.name)
    r.set_cookies([cookie("b")])
    assert seen == ["b"] and len(set_cookie_values(r)) == 1
