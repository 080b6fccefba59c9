"""Response: construction, status and reason, reset, raise_for_status,
pickling, the native operation table, the cookie methods, and the suite's
bad-input rows."""

import pickle

from brindlewick.contents import Content, JSONContent
from brindlewick.cookies import Cookie, CookieSameSiteMode
from brindlewick.exceptions import FailedRequestError
from brindlewick.headers import Headers
from brindlewick.messages import Message, Response, _unpickle_Response

from leakcheck.support import cases, drive, drive_raises, raises, test_module

ITERATIONS = 10_000

tr = test_module("test_response")
tc = test_module("test_response_cookies")

HEADERS = [(b"x-a", b"1"), (b"content-type", b"text/plain")]
BODY = Content(b"text/plain", b"body")
LAX = Cookie("sid", "a b", path="/", http_only=True, same_site=CookieSameSiteMode.LAX)


class Mine(Response):
    def __init__(self, body):
        super().__init__(202, None, Content(b"text/plain", body))


class WithDict(Response):
    pass


class Overrides(Response):
    def is_redirect(self):
        return "yes"

    def reset(self):
        super().reset()
        self.state = "after reset"


class BrokenText(Response):
    async def text(self):
        raise LookupError("no body")


class Recording(tc.Recording):
    pass


class Picky(Response):
    def set_cookie(self, c):
        if c.name == "b":
            raise ValueError("refused")
        super().set_cookie(c)


class Headerless(Response):
    def get_headers(self, key):
        return [b"from=override"]


class Name(str):
    pass


def reinit():
    r = Response(200)
    r.state, r._context, r.context = 1, 2, 3
    r.headers
    r.__init__(201, [(b"a", b"b")])
    return r


def failed_reinit():
    r = Response(200, [(b"a", b"1")])
    for call in (lambda: r.__init__(300, [], "not content"), lambda: r.__init__(2**40, [])):
        try:
            call()
        except (TypeError, OverflowError):
            pass
        else:
            raise AssertionError("__init__ accepted bad arguments")


def status_round_trip(status):
    def op():
        r = Response(200)
        r.status = status
        return r.status

    return op


def reason():
    r = Response(200)
    first = r.reason
    r.status = 418
    return first, r.reason


def free_slot(name):
    def op():
        r = Response(200)
        setattr(r, name, [1])
        delattr(r, name)

    return op


def cycle():
    r = Response(200)
    r.state = r


def reset():
    r = Response(404, [(b"a", b"1")], tr.DisposeRecorder())
    r.headers
    r.state, r._context, r.context, r.scope_protocol, r._form_data = 1, 2, 3, 4, 5
    r.reset()


def reset_failing_dispose():
    r = Response(500, [(b"a", b"1")], tr.DisposeRecorder(fail=True))
    r.state = "s"
    r.reset()


def failing_status(status):
    return Response(status, [(b"content-type", b"text/plain; charset=latin-1")], Content(b"text/plain", b"caf\xe9"))


def native_table():
    r = Response(308)
    tr.native_call(r, "is_redirect")
    r.state = 1
    tr.native_call(r, "reset")
    o = Overrides(200)
    return tr.native_call(o, "is_redirect"), tr.native_call(o, "reset")


def round_trip():
    r = Response(404, [(b"a", b"1")], Content(b"text/plain", b"x"))
    r.state, r._context, r.context, r._form_data = {"s": 1}, "ctx", [2], {"f": "v"}
    return pickle.loads(pickle.dumps(r))


def round_trip_dict():
    r = WithDict(201, [(b"k", b"v")])
    r.extra = {"nested": [1, 2]}
    return pickle.loads(pickle.dumps(r))


def setstate():
    r = Response(201)
    try:
        r.__setstate__(("c", None, None, [], None, None, None, "s", 2**40))
    except OverflowError:
        pass
    r.__setstate__(("c", None, Headers([]), [], None, None, None, "s", 7))


def set_and_get_cookie():
    r = Response(200, [(b"x", b"1")])
    r.set_cookie(LAX)
    return r.get_cookie("sid"), r.get_cookie("missing")


def cookie_order():
    r = Response(200)
    r.set_cookie(Cookie("a", "1"))
    r.set_cookie(Cookie("b", "2"))
    r.set_cookie(Cookie("a", "3"))
    return r.get_cookie("a"), r.cookies, r.get_cookies()


def set_cookies():
    r = Response(200)
    r.set_cookies([Cookie("a", "v"), Cookie("b", "v")])
    return r.headers.values


def remove_cookie():
    r = Response(200, [(b"h1", b"1")])
    r.set_cookie(Cookie("a", "1"))
    r.add_header(b"h2", b"2")
    r.add_header(b"Set-Cookie", b"a=2")
    r.set_cookie(Cookie("b", "3"))
    r.remove_cookie("a")
    r.remove_cookie("nothing")
    Response(200).remove_cookie("x")


def unset_cookie():
    r = Response(200)
    r.set_cookie(Cookie("sid", "live"))
    r.unset_cookie("sid")
    return r.cookies


def by_hand():
    r = Response(200)
    r.add_header(b"Set-Cookie", b"sid=xyz; Path=/")
    return r.get_cookie("sid")


def str_subclass():
    r = Response(200)
    r.set_cookie(Cookie("n", "v"))
    try:
        r.unset_cookie(Name("n"))
    except TypeError:
        pass
    return r.get_cookie(Name("n"))


def set_cookies_bad_item():
    r = Response(200)
    r.set_cookies([Cookie("a", "v"), Cookie("b", "v"), 5, Cookie("c", "v")])


def unparsable(bad):
    def op():
        r = Response(200)
        r.set_cookie(Cookie("a", "v"))
        r.add_header(b"set-cookie", bad)
        for call in (r.get_cookies, lambda: r.cookies, lambda: r.remove_cookie("a")):
            try:
                call()
            except ValueError:
                pass
            else:
                raise AssertionError(f"{bad!r} was parsed")
        return r.get_cookie("a")

    return op


def non_bytes_values():
    r = Response(200, [(b"set-cookie", "a=1")])
    for call in (lambda: r.get_cookie("a"), r.get_cookies, lambda: r.remove_cookie("a")):
        try:
            call()
        except TypeError:
            pass
        else:
            raise AssertionError("a str value was read")


def overrides():
    r = Recording(200)
    r.set_cookies([Cookie("a", "v"), Cookie("b", "v")])
    r.unset_cookie("a")
    return r.cookies, Headerless(200).get_cookie("from"), Headerless(200).cookies


class Shrinking(Response):
    """Drops the last references to the other items of the list being set."""

    def set_cookie(self, c):
        self.items.clear()
        super().set_cookie(c)


def shrinking():
    r = Shrinking(200)
    r.items = [Cookie("a", "v"), Cookie("b", "v"), Cookie("c", "v")]
    r.set_cookies(r.items)
    del r.items


def operations():
    ops = [
        ("Response(204)", lambda: Response(204)),
        ("Response(200, headers)", lambda: Response(200, HEADERS)),
        ("Response(200, [])", lambda: Response(200, [])),
        ("Response(keywords, content)", lambda: Response(status=201, content=BODY, headers=None)),
        ("Response(JSONContent)", lambda: Response(200, None, JSONContent({"a": [1, 2]}))),
        ("Response.__new__", lambda: Response.__new__(Response)),
        ("__init__ again keeps the free slots", reinit),
        ("failed __init__ changes nothing", failed_reinit),
        ("subclass __init__ through super", lambda: Mine(b"x")),
        ("status errors", raises(OverflowError, lambda: setattr(Response(200), "status", 2**31))),
        ("del status", raises(NotImplementedError, lambda: delattr(Response(200), "status"))),
        ("reason", reason),
        ("reason of 999", raises(ValueError, lambda: Response(999).reason)),
        ("repr", lambda: (repr(Response(500)), repr(Response(-7)))),
        ("cycle through state", cycle),
        ("reset", reset),
        ("reset, failing dispose", raises(RuntimeError, reset_failing_dispose)),
        ("raise_for_status, override raises", drive_raises(LookupError, lambda: BrokenText(500).raise_for_status())),
        ("native is_redirect and reset", native_table),
        ("pickle round trip", round_trip),
        ("pickle round trip, subclass with __dict__", round_trip_dict),
        ("__reduce__", lambda: (Response(200).__reduce__(), Response.__new__(Response).__reduce__())),
        ("checksum mismatch", raises(pickle.PickleError, _unpickle_Response, Response, 0xA1874AD, None)),
        ("__setstate__ checks before assigning", setstate),
        ("_unpickle_Response(Message)", raises(TypeError, _unpickle_Response, Message, 0xFE1AF2E, None)),
        ("set_cookie, get_cookie", set_and_get_cookie),
        ("first wins for get_cookie, last for cookies", cookie_order),
        ("set_cookies", set_cookies),
        ("remove_cookie", remove_cookie),
        ("unset_cookie", unset_cookie),
        ("Set-Cookie added by hand", by_hand),
        ("str subclass name", str_subclass),
        ("set_cookies, bad item", raises(TypeError, set_cookies_bad_item)),
        ("set_cookies, failing override", raises(ValueError, lambda: Picky(200).set_cookies([Cookie("a", "v"), Cookie("b", "v")]))),
        ("non-bytes Set-Cookie values", non_bytes_values),
        ("set_cookie, uninitialised headers", raises(AttributeError, lambda: Response.__new__(Response).set_cookie(LAX))),
        ("overrides reached by the native callers", overrides),
        ("override shrinking the list", shrinking),
    ]
    for i, case in enumerate(cases("test_response", "test_construction_errors")):
        ops.append((f"construction error {i}: {case['message'][:32]}",
                    raises(case["error"], lambda a=case["args"], k=case["kwargs"]: Response(*a, **k))))
    for case in cases("test_response", "test_status_round_trip"):
        ops.append((f"status = {case['status']!r}", status_round_trip(case["status"])))
    for case in cases("test_response", "test_free_slots"):
        ops.append((f"free slot {case['name']}", free_slot(case["name"])))
    for name in ("test_redirects", "test_not_redirects"):
        for case in cases("test_response", name):
            ops.append((f"is_redirect({case['status']})", lambda s=case["status"]: Response(s).is_redirect()))
    for case in cases("test_response", "test_raise_for_status_success"):
        ops.append((f"raise_for_status({case['status']})", lambda s=case["status"]: drive(Response(s).raise_for_status())))
    for case in cases("test_response", "test_raise_for_status_failure"):
        ops.append((f"raise_for_status({case['status']}) fails",
                    drive_raises(FailedRequestError, lambda s=case["status"]: failing_status(s).raise_for_status())))
    for case in cases("test_response", "test_unpickle_accepts_known_checksums"):
        ops.append((f"_unpickle_Response({case['checksum']:#x})", lambda c=case["checksum"]: _unpickle_Response(
            Response, c, (None, None, None, [(b"a", b"b")], None, None, None, "st", 302))))
    for i, case in enumerate(cases("test_response", "test_unpickle_bad_state")):
        ops.append((f"unpickle bad state {i}: {case['message'][:30]}",
                    raises(case["error"], _unpickle_Response, Response, 0xFE1AF2E, case["state"])))
    for i, case in enumerate(cases("test_response_cookies", "test_argument_errors")):
        ops.append((f"cookie argument error {i}: {case['message'][:26]}",
                    raises(case["error"], lambda c=case["call"]: c(Response(200)))))
    for case in cases("test_response_cookies", "test_unparsable_values_raise_and_remove_nothing"):
        ops.append((f"unparsable Set-Cookie {case['bad']!r}", unparsable(case["bad"])))
    return ops
