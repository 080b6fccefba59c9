"""brindlewick.cookies: Cookie, set-cookie writing and parsing, dates, split_value."""

import ctypes
import email.utils
import gc
import importlib.util
import pickle
import weakref
from datetime import date, datetime, timedelta, timezone, tzinfo

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from brindlewick import cookies
from brindlewick.cookies import (
    Cookie,
    CookieSameSiteMode,
    datetime_to_cookie_format,
    parse_cookie,
    split_value,
    write_cookie_for_response,
)

UTC = timezone.utc
MODES = list(CookieSameSiteMode)


# ---- Cookie -------------------------------------------------------------------


def test_defaults_and_positional_three_argument_call():
    expires = datetime(2030, 1, 1, tzinfo=UTC)
    c = Cookie("sid", "", expires)
    assert (c.name, c.value, c.expires) == ("sid", "", expires)
    assert (c.domain, c.path, c.http_only, c.secure, c.max_age) == (None, None, False, False, -1)
    assert c.same_site is CookieSameSiteMode.UNDEFINED


def test_all_keywords():
    c = Cookie(name="a", value="b", domain="x.org", path="/p", http_only=True, secure=True, max_age=0,
               same_site=CookieSameSiteMode.STRICT)
    assert (c.domain, c.path, c.http_only, c.secure, c.max_age, c.same_site) == (
        "x.org", "/p", True, True, 0, CookieSameSiteMode.STRICT)


def test_same_site_enum():
    assert [m.name for m in CookieSameSiteMode] == ["UNDEFINED", "LAX", "STRICT", "NONE"]
    assert CookieSameSiteMode(2) is CookieSameSiteMode.STRICT
    assert CookieSameSiteMode.__module__ == "brindlewick.cookies"
    assert pickle.loads(pickle.dumps(CookieSameSiteMode.NONE)) is CookieSameSiteMode.NONE


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [
        ({"name": 1}, "Argument 'name' has incorrect type (expected str, got int)"),
        ({"name": None}, "Argument 'name' has incorrect type (expected str, got NoneType)"),
        ({"value": b"v"}, "Argument 'value' has incorrect type (expected str, got bytes)"),
        ({"expires": "tomorrow"}, "Argument 'expires' has incorrect type (expected datetime.datetime, got str)"),
        ({"expires": date(2030, 1, 1)}, "Argument 'expires' has incorrect type (expected datetime.datetime, got datetime.date)"),
        ({"domain": 3}, "Argument 'domain' has incorrect type (expected str, got int)"),
        ({"path": b"/"}, "Argument 'path' has incorrect type (expected str, got bytes)"),
        ({"http_only": 1}, "Argument 'http_only' has incorrect type (expected bool, got int)"),
        ({"secure": "yes"}, "Argument 'secure' has incorrect type (expected bool, got str)"),
        ({"max_age": 1.5}, "Argument 'max_age' has incorrect type (expected int, got float)"),
        ({"max_age": True}, "Argument 'max_age' has incorrect type (expected int, got bool)"),
        ({"same_site": 1}, "Argument 'same_site' has incorrect type (expected CookieSameSiteMode, got int)"),
        ({"same_site": "Lax"}, "Argument 'same_site' has incorrect type (expected CookieSameSiteMode, got str)"),
    ],
)
def test_constructor_type_errors(kwargs, message):
    args = {"name": "n", "value": "v", **kwargs}
    with pytest.raises(TypeError) as info:
        Cookie(**args)
    assert str(info.value) == message


@pytest.mark.parametrize(
    ("attr", "value", "message"),
    [
        ("name", 5, "Expected str, got int"),
        ("value", None, "Expected str, got NoneType"),
        ("expires", 0, "Expected datetime.datetime, got int"),
        ("domain", b"x", "Expected str, got bytes"),
        ("http_only", None, "Expected bool, got NoneType"),
        ("max_age", "1", "Expected int, got str"),
        ("same_site", None, "Expected CookieSameSiteMode, got NoneType"),
    ],
)
def test_setter_type_errors_leave_value(attr, value, message):
    c = Cookie("n", "v")
    before = getattr(c, attr)
    with pytest.raises(TypeError) as info:
        setattr(c, attr, value)
    assert str(info.value) == message
    assert getattr(c, attr) == before


@pytest.mark.parametrize(
    ("attr", "value"),
    [("name", "other"), ("value", "x y"), ("expires", datetime(2031, 5, 5)), ("domain", "a.b"), ("path", "/q"),
     ("http_only", True), ("secure", True), ("max_age", 10), ("same_site", CookieSameSiteMode.NONE),
     ("domain", None), ("expires", None)],
)
def test_setters(attr, value):
    c = Cookie("n", "v", domain="d.org")
    setattr(c, attr, value)
    assert getattr(c, attr) == value


def test_attributes_cannot_be_deleted():
    with pytest.raises(AttributeError):
        del Cookie("n", "v").path


@pytest.mark.parametrize("bad", [-2, -100])
def test_max_age_below_minus_one_rejected(bad):
    with pytest.raises(ValueError, match="max_age"):
        Cookie("n", "v", max_age=bad)
    c = Cookie("n", "v")
    with pytest.raises(ValueError):
        c.max_age = bad


def test_max_age_overflow_is_an_error():
    with pytest.raises(OverflowError):
        Cookie("n", "v", max_age=2**70)


def test_empty_name_rejected():
    with pytest.raises(ValueError, match="empty"):
        Cookie("", "v")
    c = Cookie("n", "v")
    with pytest.raises(ValueError):
        c.name = ""


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (("n",), "Cookie() takes at least 2 positional arguments (1 given)"),
        (tuple("abcdefghij"), "Cookie() takes at most 9 positional arguments (10 given)"),
    ],
)
def test_argument_count(args, message):
    with pytest.raises(TypeError) as info:
        Cookie(*args)
    assert str(info.value) == message


def test_unknown_and_duplicate_keywords():
    with pytest.raises(TypeError, match="unexpected keyword argument 'colour'"):
        Cookie("n", "v", colour="red")
    with pytest.raises(TypeError, match="multiple values"):
        Cookie("n", "v", name="m")


class Str(str):
    pass


def test_str_subclasses_are_stored_as_plain_str():
    c = Cookie(Str("n"), Str("v"), path=Str("/"))
    assert type(c.name) is str and type(c.value) is str and type(c.path) is str


@pytest.mark.parametrize(
    "change",
    [
        {"name": "m"}, {"value": "w"}, {"expires": datetime(2030, 1, 1, 0, 0, 1)}, {"domain": "o.org"},
        {"path": "/o"}, {"http_only": False}, {"secure": False}, {"max_age": 2},
        {"same_site": CookieSameSiteMode.STRICT},
    ],
)
def test_equality_compares_every_attribute(change):
    base = dict(name="n", value="v", expires=datetime(2030, 1, 1), domain="d.org", path="/", http_only=True,
                secure=True, max_age=1, same_site=CookieSameSiteMode.LAX)
    assert Cookie(**base) == Cookie(**base)
    other = Cookie(**{**base, **change})
    assert Cookie(**base) != other
    assert not (Cookie(**base) == other)


def test_expires_equality_by_instant():
    naive = Cookie("n", "v", datetime(2030, 1, 1, 12))
    assert naive == Cookie("n", "v", datetime(2030, 1, 1, 12, tzinfo=UTC))
    assert naive == Cookie("n", "v", datetime(2030, 1, 1, 14, tzinfo=timezone(timedelta(hours=2))))
    assert naive != Cookie("n", "v", datetime(2030, 1, 1, 12, 0, 0, 1))
    assert naive != Cookie("n", "v")


def test_equality_with_other_types_and_hash():
    c = Cookie("n", "v")
    assert c != "n=v"
    assert c.__eq__(1) is NotImplemented
    with pytest.raises(TypeError):
        hash(c)


def test_repr():
    r = repr(Cookie("n", "v", path="/", same_site=CookieSameSiteMode.LAX))
    assert r.startswith("Cookie(name='n', value='v', expires=None, domain=None, path='/'")
    assert "same_site=<CookieSameSiteMode.LAX: 1>" in r

    class Mine(Cookie):
        pass

    assert repr(Mine("n", "v")).startswith("test_repr.<locals>.Mine(name='n'")


class Flavoured(Cookie):
    pass


def test_pickle_and_subclass():
    c = Cookie("n", "v", datetime(2030, 1, 1, tzinfo=UTC), "d.org", "/", True, True, 5, CookieSameSiteMode.NONE)
    assert pickle.loads(pickle.dumps(c)) == c
    f = Flavoured("n", "v", max_age=3)
    f.extra = [1]
    back = pickle.loads(pickle.dumps(f))
    assert type(back) is Flavoured and back == f and back.extra == [1]
    assert write_cookie_for_response(f) == b"n=v; Max-Age=3"


def test_subclass_init_chain():
    class Named(Cookie):
        def __init__(self, value):
            super().__init__("fixed", value, secure=True)

    c = Named("v")
    assert (c.name, c.value, c.secure) == ("fixed", "v", True)


def test_cycle_through_expires_is_collected():
    class Stamp(datetime):
        pass

    stamp = Stamp(2030, 1, 1, tzinfo=UTC)
    c = Cookie("n", "v", stamp)
    stamp.cookie = c  # cookie -> stamp -> its dict -> cookie
    collected = []
    weakref.finalize(stamp, collected.append, True)
    del c, stamp
    gc.collect()
    assert collected == [True]


# ---- writing ------------------------------------------------------------------


@pytest.mark.parametrize(
    ("cookie", "expected"),
    [
        (Cookie("sid", "abc"), b"sid=abc"),
        (Cookie("sid", ""), b"sid="),
        (Cookie("sid", "abc", max_age=0), b"sid=abc; Max-Age=0"),
        (Cookie("a", "b", datetime(1994, 11, 6, 8, 49, 37), "example.com", "/", True, True, 60,
                CookieSameSiteMode.LAX),
         b"a=b; Expires=Sun, 06 Nov 1994 08:49:37 GMT; Max-Age=60; Domain=example.com; Path=/; Secure; HttpOnly;"
         b" SameSite=Lax"),
        (Cookie("a", "b", same_site=CookieSameSiteMode.STRICT), b"a=b; SameSite=Strict"),
        (Cookie("a", "b", same_site=CookieSameSiteMode.NONE, secure=True), b"a=b; Secure; SameSite=None"),
        (Cookie("a", "b", domain="", path=""), b"a=b; Domain=; Path="),
        (Cookie("a", "x/y:z=w!"), b"a=x/y:z=w!"),
    ],
)
def test_write(cookie, expected):
    assert write_cookie_for_response(cookie) == expected


@pytest.mark.parametrize(
    ("name", "value", "expected"),
    [
        ("a b", "c d", b"a%20b=c%20d"),
        ("n", "x;y", b"n=x%3By"),
        ("n", "x,y", b"n=x%2Cy"),
        ("n", "a\r\nSet-Cookie: evil=1", b"n=a%0D%0ASet-Cookie:%20evil=1"),
        ("n", '"q"\\', b"n=%22q%22%5C"),
        ("n", "100%", b"n=100%25"),
        ("n", "é", b"n=%C3%A9"),
        ("n=1", "v", b"n%3D1=v"),
        ("n;x", "v", b"n%3Bx=v"),
        ("a/b", "v", b"a%2Fb=v"),
        ("\t", "\x00\x7f", b"%09=%00%7F"),
    ],
)
def test_name_and_value_are_percent_encoded(name, value, expected):
    written = write_cookie_for_response(Cookie(name, value))
    assert written == expected
    back = parse_cookie(written)
    assert (back.name, back.value) == (name, value)


@pytest.mark.parametrize("attr", ["domain", "path"])
@pytest.mark.parametrize("bad", ["x\r", "x\ny", "a;b", "\x00", "\x7f", "caf\u00e9", " x", "x "])
def test_header_injection_through_domain_or_path_rejected(attr, bad):
    with pytest.raises(ValueError, match=f"cookie {attr}"):
        Cookie("n", "v", **{attr: bad})
    c = Cookie("n", "v")
    with pytest.raises(ValueError):
        setattr(c, attr, bad)
    assert getattr(c, attr) is None


@pytest.mark.parametrize("bad", ["a b.org", "a,b.org"])
def test_domain_rejects_space_and_comma(bad):
    with pytest.raises(ValueError):
        Cookie("n", "v", domain=bad)


def test_path_allows_inner_space_and_comma():
    c = Cookie("n", "v", path="/a b,c")
    assert parse_cookie(write_cookie_for_response(c)).path == "/a b,c"


@pytest.mark.parametrize("bad", [None, "n=v", b"n=v", 3])
def test_write_type_errors(bad):
    with pytest.raises(TypeError, match="Argument 'cookie' has incorrect type \\(expected Cookie"):
        write_cookie_for_response(bad)


def test_write_lone_surrogate_is_an_error():
    with pytest.raises(UnicodeEncodeError):
        write_cookie_for_response(Cookie("n", "\ud800"))


def test_uninitialised_cookie_refuses_to_write():
    with pytest.raises(ValueError, match="empty"):
        write_cookie_for_response(Cookie.__new__(Cookie))


def test_write_keyword_and_count():
    assert write_cookie_for_response(cookie=Cookie("a", "b")) == b"a=b"
    with pytest.raises(TypeError, match=r"takes exactly 1 positional argument \(0 given\)"):
        write_cookie_for_response()


# ---- dates ----------------------------------------------------------------------


@pytest.mark.parametrize(
    ("dt", "expected"),
    [
        (datetime(1994, 11, 6, 8, 49, 37), b"Sun, 06 Nov 1994 08:49:37 GMT"),
        (datetime(1994, 11, 6, 8, 49, 37, 999999), b"Sun, 06 Nov 1994 08:49:37 GMT"),
        (datetime(2000, 1, 1, 1, 30, tzinfo=timezone(timedelta(hours=2))), b"Fri, 31 Dec 1999 23:30:00 GMT"),
        (datetime(2024, 2, 28, 23, 0, tzinfo=timezone(timedelta(hours=-1, minutes=-30))),
         b"Thu, 29 Feb 2024 00:30:00 GMT"),
        (datetime(1970, 1, 1), b"Thu, 01 Jan 1970 00:00:00 GMT"),
        (datetime(1, 1, 1), b"Mon, 01 Jan 0001 00:00:00 GMT"),
        (datetime(9999, 12, 31, 23, 59, 59), b"Fri, 31 Dec 9999 23:59:59 GMT"),
        (datetime(2030, 6, 1, 0, 0, 0, 500, tzinfo=timezone(timedelta(microseconds=1000))),
         b"Fri, 31 May 2030 23:59:59 GMT"),
    ],
)
def test_datetime_to_cookie_format(dt, expected):
    assert datetime_to_cookie_format(dt) == expected


@given(st.datetimes(timezones=st.just(UTC)))
def test_date_format_matches_email_utils(dt):
    assert datetime_to_cookie_format(dt).decode() == email.utils.format_datetime(dt.replace(microsecond=0), usegmt=True)


@pytest.mark.parametrize(
    "dt",
    [datetime(9999, 12, 31, 23, tzinfo=timezone(timedelta(hours=-2))),
     datetime(1, 1, 1, tzinfo=timezone(timedelta(hours=2)))],
)
def test_date_out_of_range_after_conversion(dt):
    with pytest.raises(ValueError, match="out of range"):
        datetime_to_cookie_format(dt)
    with pytest.raises(ValueError):
        write_cookie_for_response(Cookie("n", "v", dt))


@pytest.mark.parametrize("bad", [None, "Sun, 06 Nov 1994", 0, date(2020, 1, 1)])
def test_datetime_to_cookie_format_type_errors(bad):
    with pytest.raises(TypeError, match="Argument 'dt' has incorrect type \\(expected datetime.datetime"):
        datetime_to_cookie_format(bad)


def test_failing_tzinfo_propagates():
    class Broken(tzinfo):
        def utcoffset(self, dt):
            raise RuntimeError("no offset")

    dt = datetime(2030, 1, 1, tzinfo=Broken())
    with pytest.raises(RuntimeError, match="no offset"):
        datetime_to_cookie_format(dt)
    with pytest.raises(RuntimeError):
        Cookie("n", "v", dt) == Cookie("n", "v", dt.replace(tzinfo=UTC))


def test_tzinfo_without_offset_counts_as_utc():
    class Unknown(tzinfo):
        def utcoffset(self, dt):
            return None

    assert datetime_to_cookie_format(datetime(2030, 1, 1, tzinfo=Unknown())) == b"Tue, 01 Jan 2030 00:00:00 GMT"


# ---- parsing --------------------------------------------------------------------

EXPECTED_DATE = datetime(1994, 11, 6, 8, 49, 37, tzinfo=UTC)


@pytest.mark.parametrize(
    "text",
    [
        "Sun, 06 Nov 1994 08:49:37 GMT",
        "Sunday, 06-Nov-94 08:49:37 GMT",
        "Sun Nov  6 08:49:37 1994",
        "sun, 6 NOV 1994 8:49:37 gmt",
        "06 Nov 1994 08:49:37",
        "Wed, 06 Nov 1994 08:49:37 GMT",  # the weekday is not checked
    ],
)
def test_parse_date_forms(text):
    c = parse_cookie(f"a=b; Expires={text}".encode())
    assert c.expires == EXPECTED_DATE and c.expires.tzinfo is UTC


@pytest.mark.parametrize(("year", "full"), [("69", 2069), ("70", 1970), ("0050", 50), ("2038", 2038)])
def test_parse_date_years(year, full):
    assert parse_cookie(f"a=b; Expires=01 Jan {year} 00:00:00".encode()).expires.year == full


@pytest.mark.parametrize(
    "text",
    ["", "garbage", "Sun, 06 Nov 1994", "Sun, 32 Jan 1994 00:00:00 GMT", "Sun, 29 Feb 2023 00:00:00 GMT",
     "Sun, 06 Foo 1994 08:49:37 GMT", "Sun, 06 Nov 1994 24:00:00 GMT", "Sun, 06 Nov 1994 08:60:00 GMT",
     "Sun, 06 Nov 1994 123:49:37 GMT", "Sun, 006 Nov 1994 08:49:37 GMT", "Sun, 06 Nov 19945 08:49:37 GMT"],
)
def test_parse_bad_dates(text):
    with pytest.raises(ValueError, match="invalid Expires"):
        parse_cookie(f"a=b; Expires={text}".encode())


@pytest.mark.parametrize(
    ("header", "attrs"),
    [
        (b"a=b; secure; HTTPONLY", {"secure": True, "http_only": True}),
        (b"a=b;Secure;HttpOnly", {"secure": True, "http_only": True}),
        (b"a=b; Secure=yes", {"secure": True}),
        (b"a=b; DOMAIN=Example.COM; pAtH=/x", {"domain": "Example.COM", "path": "/x"}),
        (b"a=b; max-age=120", {"max_age": 120}),
        (b"a=b; Max-Age=-5", {"max_age": 0}),
        (b"a=b; Max-Age=9223372036854775807", {"max_age": 2**63 - 1}),
        (b"a=b; Max-Age=1; Max-Age=2", {"max_age": 2}),
        (b"a=b; samesite=lax", {"same_site": CookieSameSiteMode.LAX}),
        (b"a=b; SameSite=STRICT", {"same_site": CookieSameSiteMode.STRICT}),
        (b"a=b; SameSite = None ", {"same_site": CookieSameSiteMode.NONE}),
        (b"a=b; Partitioned; Priority=High; Comment=x", {"secure": False}),
        (b"a=b;;; ;", {"max_age": -1}),
        (b"a=b; Path=/a%20b", {"path": "/a%20b"}),
    ],
)
def test_parse_attributes(header, attrs):
    c = parse_cookie(header)
    assert (c.name, c.value) == ("a", "b")
    for key, value in attrs.items():
        assert getattr(c, key) == value


@pytest.mark.parametrize(
    ("header", "name", "value"),
    [
        (b"  sid = abc  ; Path=/", "sid", "abc"),
        (b'sid="quoted value"', "sid", "quoted value"),
        (b'sid="', "sid", '"'),
        (b"sid=a=b=c", "sid", "a=b=c"),
        (b"sid=", "sid", ""),
        (b"sid=%zz%4", "sid", "%zz%4"),
        (b"sid=%e2%82%ac", "sid", "\u20ac"),
        ("caf\u00e9=th\u00e9".encode(), "caf\u00e9", "th\u00e9"),
    ],
)
def test_parse_name_and_value(header, name, value):
    c = parse_cookie(header)
    assert (c.name, c.value) == (name, value)


@pytest.mark.parametrize(
    ("header", "match"),
    [
        (b"", "no '='"),
        (b"novalue", "no '='"),
        (b"novalue; a=b", "no '='"),
        (b"=v", "empty name"),
        (b"  =v", "empty name"),
        (b"a=b; Max-Age=", "invalid Max-Age"),
        (b"a=b; Max-Age=12s", "invalid Max-Age"),
        (b"a=b; Max-Age=99999999999999999999", "invalid Max-Age"),
        (b"a=b; Max-Age=-", "invalid Max-Age"),
        (b"a=b; SameSite=sometimes", "invalid SameSite"),
        (b"a=b; SameSite", "invalid SameSite"),
        (b"a=%ff", "value is not UTF-8"),
        (b"%c3=b", "name is not UTF-8"),
        (b"a=b; Path=/\x00", "cookie path"),
        (b"a=b; Path=/\r\nX: y", "cookie path"),
        (b"a=b; Domain=\xff.org", "cookie domain"),
    ],
)
def test_parse_malformed(header, match):
    with pytest.raises(ValueError, match=match):
        parse_cookie(header)


@pytest.mark.parametrize("bad", ["a=b", None, bytearray(b"a=b"), 1])
def test_parse_type_errors(bad):
    with pytest.raises(TypeError, match="Argument 'value' has incorrect type \\(expected bytes"):
        parse_cookie(bad)


# ---- split_value ----------------------------------------------------------------


@pytest.mark.parametrize(
    ("fragment", "separator", "expected"),
    [
        (b"a=b", b"=", (b"a", b"b")),
        (b" a = b ", b"=", (b"a", b"b")),
        (b"\ta=b\t", b"=", (b"a", b"b")),
        (b"a=b=c", b"=", (b"a", b"b=c")),
        (b"a=", b"=", (b"a", b"")),
        (b"=b", b"=", (b"", b"b")),
        (b"=", b"=", (b"", b"")),
        (b"k: v: w", b": ", (b"k", b"v: w")),
        (b"n%20x=v%3B1", b"=", (b"n%20x", b"v%3B1")),
    ],
)
def test_split_value(fragment, separator, expected):
    assert split_value(fragment, separator) == expected


@pytest.mark.parametrize(("fragment", "separator"), [(b"abc", b"="), (b"", b"="), (b"a:b", b": "), (b"a=b", b"")])
def test_split_value_value_errors(fragment, separator):
    with pytest.raises(ValueError):
        split_value(fragment, separator)


@pytest.mark.parametrize(
    ("fragment", "separator", "arg"),
    [("a=b", b"=", "fragment"), (None, b"=", "fragment"), (b"a=b", "=", "separator"), (b"a=b", None, "separator")],
)
def test_split_value_type_errors(fragment, separator, arg):
    with pytest.raises(TypeError, match=f"Argument '{arg}' has incorrect type \\(expected bytes"):
        split_value(fragment, separator)


# ---- native entry points ----------------------------------------------------------

SIGNATURES = {
    "parse_cookie": "PyObject *(PyObject *)",
    "write_cookie_for_response": "PyObject *(PyObject *)",
    "datetime_to_cookie_format": "PyObject *(PyObject *)",
    "split_value": "PyObject *(PyObject *, PyObject *)",
}

_get_name = ctypes.pythonapi.PyCapsule_GetName
_get_name.restype = ctypes.c_char_p
_get_name.argtypes = [ctypes.py_object]
_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_get_pointer.restype = ctypes.c_void_p
_get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


def native(name):
    capsule = cookies.__pyx_capi__[name]
    signature = _get_name(capsule)
    nargs = signature.count(b"PyObject *") - 1
    proto = ctypes.PYFUNCTYPE(ctypes.py_object, *[ctypes.py_object] * nargs)
    return proto(_get_pointer(capsule, signature))


def test_second_initialisation_refused():
    spec = importlib.util.find_spec("brindlewick.cookies")
    again = importlib.util.module_from_spec(spec)
    with pytest.raises(ImportError, match="Module 'cookies' has already been imported"):
        spec.loader.exec_module(again)


@pytest.mark.parametrize(("name", "signature"), SIGNATURES.items())
def test_capsule_signatures(name, signature):
    assert _get_name(cookies.__pyx_capi__[name]).decode() == signature


def test_native_entry_points_behave_like_python_ones():
    c = Cookie("a b", "v", datetime(2030, 1, 1), path="/")
    written = native("write_cookie_for_response")(c)
    assert written == write_cookie_for_response(c)
    assert native("parse_cookie")(written) == c
    assert native("datetime_to_cookie_format")(datetime(1970, 1, 1)) == b"Thu, 01 Jan 1970 00:00:00 GMT"
    assert native("split_value")(b"x = y", b"=") == (b"x", b"y")


@pytest.mark.parametrize(
    ("name", "args", "error"),
    [
        ("write_cookie_for_response", (None,), TypeError),
        ("parse_cookie", (None,), TypeError),
        ("parse_cookie", (b"bad",), ValueError),
        ("datetime_to_cookie_format", (None,), TypeError),
        ("split_value", (b"x", b"="), ValueError),
        ("split_value", (None, b"="), TypeError),
    ],
)
def test_native_entry_points_raise(name, args, error):
    with pytest.raises(error):
        native(name)(*args)


# ---- round trip -------------------------------------------------------------------

tricky = st.sampled_from(list(";=, \t\r\n\"\\%+/:é\u20ac\U0001f36a\x00\x7f"))
text = st.text(st.one_of(tricky, st.characters(exclude_categories=("Cs",))), max_size=30)
domains = st.none() | st.text(st.sampled_from("abcxyz019.-_:[]"), max_size=20)
path_chars = st.characters(min_codepoint=0x20, max_codepoint=0x7E, exclude_characters=";")
paths = st.none() | st.text(path_chars, max_size=30).filter(lambda p: p == p.strip(" "))
zones = st.sampled_from([None, UTC, timezone(timedelta(hours=5, minutes=30)), timezone(timedelta(hours=-11))])
expiries = st.none() | st.builds(
    lambda dt, tz: dt.replace(tzinfo=tz),
    st.datetimes(min_value=datetime(3, 1, 1), max_value=datetime(9998, 12, 31)).map(lambda d: d.replace(microsecond=0)),
    zones,
)


@settings(max_examples=400)
@given(
    name=text.filter(bool),
    value=text,
    expires=expiries,
    domain=domains,
    path=paths,
    http_only=st.booleans(),
    secure=st.booleans(),
    max_age=st.integers(-1, 2**63 - 1),
    same_site=st.sampled_from(MODES),
)
def test_write_then_parse_round_trip(name, value, expires, domain, path, http_only, secure, max_age, same_site):
    c = Cookie(name, value, expires, domain, path, http_only, secure, max_age, same_site)
    written = write_cookie_for_response(c)
    for forbidden in (b"\r", b"\n", b"\x00"):
        assert forbidden not in written
    pair = written.split(b";")[0]
    assert not set(pair) & set(b' \t",\\\x7f')
    # The only ';' are attribute separators.
    assert written.count(b";") == written.count(b"; ")
    back = parse_cookie(written)
    assert back == c
    assert (back.name, back.value, back.domain, back.path) == (name, value, domain, path)
    assert (back.http_only, back.secure, back.max_age, back.same_site) == (http_only, secure, max_age, same_site)
    if expires is None:
        assert back.expires is None
    else:
        assert back.expires == (expires if expires.tzinfo else expires.replace(tzinfo=UTC))


@given(st.binary(max_size=60))
def test_parse_arbitrary_bytes_never_crashes(data):
    try:
        c = parse_cookie(data)
    except ValueError:
        return
    assert isinstance(c, Cookie) and c.name
    # Whatever was read is safe to write again.
    assert b"\r" not in write_cookie_for_response(c)
