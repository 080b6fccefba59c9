"""brindlewick.cookies: Cookie, writing, parsing, dates, split_value, and the
suite's bad inputs."""

import pickle
from datetime import datetime, timedelta, timezone, tzinfo

from brindlewick.cookies import (
    Cookie,
    CookieSameSiteMode,
    datetime_to_cookie_format,
    parse_cookie,
    split_value,
    write_cookie_for_response,
)

from leakcheck.support import cases, raises

ITERATIONS = 5_000

EXPIRES = datetime(1994, 11, 6, 8, 49, 37)
FULL = Cookie("a", "b", EXPIRES, "example.com", "/", True, True, 60, CookieSameSiteMode.LAX)


class Broken(tzinfo):
    def utcoffset(self, dt):
        raise RuntimeError("no offset")


class Unknown(tzinfo):
    def utcoffset(self, dt):
        return None


def compare():
    return Cookie("n", "v", EXPIRES) == Cookie("n", "v", EXPIRES.replace(tzinfo=timezone.utc)), FULL != Cookie("a", "b")


def setters():
    c = Cookie("n", "v", domain="d.org")
    c.value = "x y"
    c.expires = datetime(2031, 5, 5)
    c.domain = None
    c.max_age = 10
    c.same_site = CookieSameSiteMode.NONE


def setter_error(attr, value, error):
    def op():
        setattr(Cookie("n", "v"), attr, value)

    return raises(error, op)


def operations():
    broken = datetime(2030, 1, 1, tzinfo=Broken())
    ops = [
        ("Cookie(all positional)", lambda: Cookie("a", "b", EXPIRES, "example.com", "/", True, True, 60, CookieSameSiteMode.LAX)),
        ("Cookie(keywords)", lambda: Cookie(name="a", value="b", domain="x.org", path="/p", http_only=True, max_age=0)),
        ("attributes", lambda: (FULL.name, FULL.value, FULL.expires, FULL.domain, FULL.path, FULL.same_site, repr(FULL))),
        ("setters", setters),
        ("equality", compare),
        ("pickle round trip", lambda: pickle.loads(pickle.dumps(FULL))),
        ("write", lambda: write_cookie_for_response(FULL)),
        ("write(cookie=)", lambda: write_cookie_for_response(cookie=Cookie("a b", "x;y\r\n"))),
        ("write then parse", lambda: parse_cookie(write_cookie_for_response(FULL))),
        ("datetime_to_cookie_format", lambda: datetime_to_cookie_format(EXPIRES)),
        ("datetime_to_cookie_format(offset)", lambda: datetime_to_cookie_format(datetime(2000, 1, 1, 1, 30, tzinfo=timezone(timedelta(hours=2))))),
        ("datetime_to_cookie_format(no offset)", lambda: datetime_to_cookie_format(datetime(2030, 1, 1, tzinfo=Unknown()))),
        ("datetime_to_cookie_format(failing tzinfo)", raises(RuntimeError, datetime_to_cookie_format, broken)),
        ("equality with failing tzinfo", raises(RuntimeError, lambda: Cookie("n", "v", broken) == Cookie("n", "v", EXPIRES))),
        ("hash", raises(TypeError, hash, FULL)),
        ("del attribute", raises(AttributeError, lambda: delattr(Cookie("n", "v"), "path"))),
        ("max_age=-2", raises(ValueError, lambda: Cookie("n", "v", max_age=-2))),
        ("max_age = -2", setter_error("max_age", -2, ValueError)),
        ("max_age=2**70", raises(OverflowError, lambda: Cookie("n", "v", max_age=2**70))),
        ("empty name", raises(ValueError, Cookie, "", "v")),
        ("name = ''", setter_error("name", "", ValueError)),
        ("unknown keyword", raises(TypeError, lambda: Cookie("n", "v", colour="red"))),
        ("duplicate keyword", raises(TypeError, lambda: Cookie("n", "v", name="m"))),
        ("write lone surrogate", raises(UnicodeEncodeError, lambda: write_cookie_for_response(Cookie("n", "\ud800")))),
        ("write uninitialised", raises(ValueError, lambda: write_cookie_for_response(Cookie.__new__(Cookie)))),
        ("write()", raises(TypeError, lambda: write_cookie_for_response())),
        ("domain with space", raises(ValueError, lambda: Cookie("n", "v", domain="a b.org"))),
    ]
    for case in cases("test_cookies", "test_constructor_type_errors"):
        kwargs = {"name": "n", "value": "v", **case["kwargs"]}
        ops.append((f"Cookie({next(iter(case['kwargs']))}={next(iter(case['kwargs'].values()))!r})"[:58], raises(TypeError, lambda k=kwargs: Cookie(**k))))
    for case in cases("test_cookies", "test_setter_type_errors_leave_value"):
        ops.append((f"{case['attr']} = {case['value']!r}", setter_error(case["attr"], case["value"], TypeError)))
    for case in cases("test_cookies", "test_argument_count"):
        ops.append((f"Cookie{case['args']!r}"[:58], raises(TypeError, lambda a=case["args"]: Cookie(*a))))
    for case in cases("test_cookies", "test_write"):
        ops.append((f"write {case['expected'][:40]!r}", lambda c=case["cookie"]: write_cookie_for_response(c)))
    for case in cases("test_cookies", "test_name_and_value_are_percent_encoded"):
        ops.append((f"encode {case['expected'][:40]!r}", lambda c=Cookie(case["name"], case["value"]): parse_cookie(write_cookie_for_response(c))))
    for case in cases("test_cookies", "test_header_injection_through_domain_or_path_rejected"):
        attr, bad = case["attr"], case["bad"]
        ops.append((f"Cookie({attr}={bad!r})", raises(ValueError, lambda a=attr, b=bad: Cookie("n", "v", **{a: b}))))
        ops.append((f"{attr} = {bad!r}", setter_error(attr, bad, ValueError)))
    for case in cases("test_cookies", "test_write_type_errors"):
        ops.append((f"write({case['bad']!r})", raises(TypeError, write_cookie_for_response, case["bad"])))
    for case in cases("test_cookies", "test_datetime_to_cookie_format"):
        ops.append((f"date {case['expected']!r}", lambda d=case["dt"]: datetime_to_cookie_format(d)))
    for case in cases("test_cookies", "test_date_out_of_range_after_conversion"):
        ops.append((f"date out of range {case['dt'].year}", raises(ValueError, datetime_to_cookie_format, case["dt"])))
        ops.append((f"write, date out of range {case['dt'].year}", raises(ValueError, lambda d=case["dt"]: write_cookie_for_response(Cookie("n", "v", d)))))
    for case in cases("test_cookies", "test_datetime_to_cookie_format_type_errors"):
        ops.append((f"date({case['bad']!r})", raises(TypeError, datetime_to_cookie_format, case["bad"])))
    for case in cases("test_cookies", "test_parse_date_forms"):
        ops.append((f"parse Expires={case['text']}"[:58], lambda t=f"a=b; Expires={case['text']}".encode(): parse_cookie(t)))
    for case in cases("test_cookies", "test_parse_bad_dates"):
        ops.append((f"parse bad Expires={case['text']}"[:58], raises(ValueError, parse_cookie, f"a=b; Expires={case['text']}".encode())))
    for case in cases("test_cookies", "test_parse_attributes"):
        ops.append((f"parse {case['header']!r}"[:58], lambda h=case["header"]: parse_cookie(h)))
    for case in cases("test_cookies", "test_parse_name_and_value"):
        ops.append((f"parse {case['header']!r}"[:58], lambda h=case["header"]: parse_cookie(h)))
    for case in cases("test_cookies", "test_parse_malformed"):
        ops.append((f"parse malformed {case['header']!r}"[:58], raises(ValueError, parse_cookie, case["header"])))
    for case in cases("test_cookies", "test_parse_type_errors"):
        ops.append((f"parse({case['bad']!r})", raises(TypeError, parse_cookie, case["bad"])))
    for case in cases("test_cookies", "test_split_value"):
        ops.append((f"split_value({case['fragment']!r}, {case['separator']!r})", lambda f=case["fragment"], s=case["separator"]: split_value(f, s)))
    for case in cases("test_cookies", "test_split_value_value_errors"):
        ops.append((f"split_value({case['fragment']!r}, {case['separator']!r}) error", raises(ValueError, split_value, case["fragment"], case["separator"])))
    for case in cases("test_cookies", "test_split_value_type_errors"):
        ops.append((f"split_value({case['fragment']!r}, {case['separator']!r}) type", raises(TypeError, split_value, case["fragment"], case["separator"])))
    return ops
