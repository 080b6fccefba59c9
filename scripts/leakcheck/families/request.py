"""Request: construction, typed fields, url/path/query/host/scheme/client
properties, cookies, session and identity, reset and dispose, the scratch
arena, is_disconnected, the CORS and absolute-URL functions with their native
entry points, and the suite's bad-input rows."""

import ctypes
import io

from brindlewick.contents import ASGIContent, Content, FormPart
from brindlewick.exceptions import BadRequest
from brindlewick.messages import (
    Request,
    get_absolute_url_to_path,
    get_request_absolute_url,
    is_cors_preflight_request,
    is_cors_request,
    method_without_body,
)
from brindlewick.url import URL, InvalidURL
from wardkeep import Identity

from leakcheck.support import Receive, cases, raises, run, run_raises, test_module

ITERATIONS = 10_000

tr = test_module("test_request")
tu = test_module("test_request_url")
tc = test_module("test_request_cors")
RSGIScope = tu.RSGIScope

HEADERS = [(b"Host", b"example.org:8080"), (b"Cookie", b"a=1; b=%20x"), (b"Origin", b"https://o"),
           (b"Expect", b"100-continue"), (b"ETag", b'"e"'), (b"If-None-Match", b'"n"'), "raw", (b"k",)]


# ---- the native operation table and entry points, called as native code does --------
#
# The table is read the way tests/test_request.py reads it; the ctypes
# function objects are made once per table entry instead of on every call.

_INT_ENTRY = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.c_int)
_ALLOC_ENTRY = ctypes.PYFUNCTYPE(ctypes.c_void_p, ctypes.py_object, ctypes.c_size_t, ctypes.c_size_t)
_entries = {}


def _table_entry(obj, index, prototype):
    vtab = ctypes.c_void_p.from_address(id(obj) + object.__basicsize__).value
    address = ctypes.c_void_p.from_address(vtab + ctypes.sizeof(ctypes.c_void_p) * index).value
    fn = _entries.get(address)
    if fn is None:
        fn = _entries[address] = prototype(address)
    return fn


def native_expect_100_continue(r):
    return _table_entry(r, tr.MESSAGE_SLOTS, _INT_ENTRY)(r, 0)


def native_reset(r):
    return _table_entry(r, tr.MESSAGE_SLOTS + 1, _INT_ENTRY)(r, 0)


def native_alloc(r, size, alignment=64):
    return _table_entry(r, tr.MESSAGE_SLOTS + 2, _ALLOC_ENTRY)(r, size, alignment)


def populated_request():
    r = Request("POST", b"/a?b=1", [(b"host", b"h"), (b"cookie", b"a=1")])
    for field in tr.ANY_FIELDS:
        setattr(r, field, object())
    r._is_disconnected = True
    r._base_path = r._original_client_ip = r._host = r._scheme = "x"
    r.context = {"c": 1}
    r.scope_protocol = object()
    r._form_data = {"f": []}
    r.content = Content(b"text/plain", b"body")
    native_alloc(r, 1000)
    return r


def request(url=b"/p?q=1", headers=None, scope=None, method="GET"):
    r = Request(method, url, headers)
    r.scope = scope
    return r


class Sub(Request):
    def __init__(self, method, url, headers):
        super().__init__(method, url, headers)
        self.built = True


class Proxied(Request):
    @property
    def client_ip(self):
        return "10.0.0.1"


class Behind(Request):
    @property
    def scheme(self):
        return "https"

    @property
    def host(self):
        return b"proxy.example"


class BadScheme(Request):
    @property
    def scheme(self):
        return 5


class Failing(Content):
    def dispose(self):
        raise RuntimeError("cannot dispose")


def typed_field(field, good, bad):
    def op():
        r = Request("GET", None, None)
        setattr(r, field, good)
        try:
            setattr(r, field, bad)
        except TypeError:
            pass
        else:
            raise AssertionError(f"{field} took {bad!r}")
        delattr(r, field)

    return op


def any_field(field):
    def op():
        r = Request("GET", None, None)
        setattr(r, field, object())
        getattr(r, field)
        delattr(r, field)

    return op


def built_url(raw_query):
    def op():
        r = Request("GET", None, None)
        r._path = b"/a"
        r._raw_query = raw_query
        return r.url

    return op


def url_assignment(value):
    def op():
        r = request(b"/old", [(b"host", b"old-host")])
        r.host
        r.url = value
        return r.host if r._path else None

    return op


def set_url(value):
    return lambda: setattr(request(b"/old"), "url", value)


def query(raw):
    def op():
        r = Request("GET", None, None)
        r._raw_query = raw
        return r.query

    return op


def query_assignment(value):
    def op():
        r = request(b"/p?old=1", [(b"host", b"h")])
        r.host
        r.query = value
        return r.url

    return op


def reset_populated():
    r = populated_request()
    r.headers
    r.reset()
    return r.user


def reset_failing_dispose():
    r = Request("GET", b"/", None)
    r.content = Failing(b"a", b"b")
    native_alloc(r, 64)
    r.reset()


def reset_disposes_asgi_content():
    r = Request("POST", b"/", None)
    r.content = ASGIContent(Receive([b"x"]))
    r.reset()


def dispose_form():
    r = Request("POST", b"/", None)
    r._form_data = {
        "file": [FormPart(b"file", io.BytesIO(b"data"), file_name=b"a.txt")],
        "many": (FormPart(b"many", b"inline"), FormPart(b"many", io.BytesIO(b"d"), file_name=b"b.txt")),
        "text": "a plain field",
    }
    r.content = ASGIContent(Receive([b"x"]))
    r.dispose()
    r.dispose()


class Closing(io.BytesIO):
    """Adds an entry to its request's form while the request disposes it."""

    def __init__(self, request):
        super().__init__()
        self.request = request

    def close(self):
        self.request._form_data["new"] = []
        super().close()


def dispose_changing_dict():
    r = Request("POST", b"/", None)
    r._form_data = {"f": [FormPart(b"f", Closing(r), file_name=b"f")]}
    try:
        r.dispose()
    finally:
        r._form_data = None  # the dict refers back to r through Closing


def arena():
    r = Request("GET", b"/", None)
    native_alloc(r, 100)
    native_alloc(r, 10, 16)
    r.reset()
    native_alloc(r, 100)
    native_alloc(r, 1 << 40)
    native_alloc(r, 8, 3)
    return r.scratchpad_arena_stats()


def arena_cycle():
    r = Request("GET", b"/", None)
    native_alloc(r, 128)
    r.state = r
    r.route_values = {"self": r}


def native_entries():
    r = Request("POST", b"/", [(b"expect", b"100-continue")])
    native_expect_100_continue(r)
    native_reset(r)


class ResetOverride(Request):
    def reset(self):
        super().reset()


class BrokenReset(Request):
    def reset(self):
        raise KeyError("nope")


def disconnected(receive):
    async def probe():
        r = Request("POST", b"/", [(b"content-type", b"application/json")])
        r.content = ASGIContent(receive())
        first = await r.is_disconnected()
        second = await r.is_disconnected()
        return first, second

    return lambda: run(probe())


def disconnected_after_body():
    async def probe():
        r = Request("POST", b"/", [(b"content-type", b"application/json")])
        r.content = ASGIContent(Receive([b'{"a": 1}'], disconnect_after=1))
        body = await r.json()
        return body, await r.is_disconnected(), await r.read()

    return run(probe())


async def failing_receive():
    raise ConnectionResetError("gone wrong")


def probe_error():
    async def probe():
        r = Request("POST", b"/", None)
        r.content = ASGIContent(failing_receive)
        return await r.is_disconnected()

    return probe()


def cookies_ops():
    def set_round_trip():
        r = Request("GET", b"/", None)
        r.set_cookie("a", "1")
        r.set_cookie("b", "2")
        r.set_cookie("sp ce", "x/y;z")
        return r.cookies

    def set_onto_received():
        r = tr_cookies.with_cookies(b"", b"first=1")
        r.set_cookie("a", "1")
        r = tr_cookies.with_cookies(b"x=1", b"y=2")
        r.set_cookie("z", "3")
        return r.cookies

    def session():
        r = Request("GET", b"/", None)
        try:
            r.session
        except TypeError:
            pass
        r.session = object()
        return r.session

    def user_identity():
        r = Request("GET", b"/", None)
        user = r.user
        r.identity = Identity({"sub": "x"}, "cookie")
        r.user = None
        return user, r.identity

    tr_cookies = test_module("test_request_cookies")
    ops = [
        ("get_cookie", lambda: tr_cookies.with_cookies(b"a=1; b=%20").get_cookie("b")),
        ("get_cookie(missing, None)", lambda: (tr_cookies.with_cookies(b"a=1").get_cookie("x"),
                                               Request("GET", b"/", None).get_cookie(name=None))),
        ("get_cookie(bytes)", raises(TypeError, lambda: tr_cookies.with_cookies(b"a=1").get_cookie(b"a"))),
        ("set_cookie round trip", set_round_trip),
        ("set_cookie onto received headers", set_onto_received),
        ("set_cookie(value int)", raises(TypeError, lambda: Request("GET", b"/", None).set_cookie("a", 1))),
        ("set_cookie(name None)", raises(TypeError, lambda: Request("GET", b"/", None).set_cookie(None, "x"))),
        ("cookies of a str header", raises(TypeError, lambda: tr_cookies.with_cookies("a=1").cookies)),
        ("session", session),
        ("del session", raises(NotImplementedError, lambda: delattr(Request("GET", b"/", None), "session"))),
        ("user and identity", user_identity),
        ("del user", raises(NotImplementedError, lambda: delattr(Request("GET", b"/", None), "user"))),
    ]
    for i, case in enumerate(cases("test_request_cookies", "test_cookies")):
        ops.append((f"cookies {i}: {case['values']!r}"[:58], lambda v=case["values"]: tr_cookies.with_cookies(*v).cookies))
    for case in cases("test_request_cookies", "test_junk_fragments"):
        ops.append((f"junk cookie {case['value']!r}"[:58], lambda v=case["value"]: tr_cookies.with_cookies(v).cookies))
    for case in cases("test_request_cookies", "test_undecodable_cookie_text_is_skipped"):
        ops.append((f"undecodable cookie {case['value']!r}"[:58], lambda v=case["value"]: tr_cookies.with_cookies(v).cookies))
    return ops


def cors_ops():
    absolute = request(b"/x", [(b"host", b"h")], {"scheme": "https", "root_path": "/app"})
    preflight = request(b"/x", [(b"origin", b"o"), (b"access-control-request-method", b"PUT"), (b"host", b"h")],
                        {"scheme": "http"}, "OPTIONS")

    def absolute_of_absolute():
        r = request(None)
        r.url = "https://h.example/p?q=1"
        return get_request_absolute_url(r)

    ensure = tc.entry("ensure_bytes", ctypes.py_object, ctypes.py_object)
    without_body = tc.entry("method_without_body", ctypes.c_int, ctypes.py_object)
    is_preflight = tc.entry("is_cors_preflight_request", ctypes.c_int, ctypes.py_object)
    to_path = tc.entry("get_absolute_url_to_path", ctypes.py_object, ctypes.py_object, ctypes.py_object)
    absolute_url = tc.entry("get_request_absolute_url", ctypes.py_object, ctypes.py_object)

    def native():
        ensure("é"), ensure(b"raw"), without_body("HEAD"), is_preflight(preflight)
        return to_path(preflight, "/y"), absolute_url(preflight)

    def native_ensure_errors():
        for bad in (5, None, "\udc80"):
            try:
                ensure(bad)
            except (ValueError, UnicodeEncodeError):
                pass
            else:
                raise AssertionError(bad)

    ops = [
        ("absolute url of an absolute request", absolute_of_absolute),
        ("get_request_absolute_url", lambda: get_request_absolute_url(absolute)),
        ("get_absolute_url_to_path", lambda: get_absolute_url_to_path(absolute, "/\u00e9")),
        ("absolute urls, RSGI scope", lambda: get_request_absolute_url(
            request(b"/x", [(b"host", b"h:8000")], RSGIScope(scheme="http", client="[::1]:5000")))),
        ("absolute url, subclass properties", lambda: get_request_absolute_url(Behind("GET", b"/x", [(b"host", b"h")]))),
        ("absolute url, bad subclass scheme", raises(ValueError, lambda: get_request_absolute_url(
            BadScheme("GET", b"/x", [(b"host", b"h")])))),
        ("absolute url, missing host", raises(BadRequest, lambda: get_request_absolute_url(request(scope={})))),
        ("absolute url to path, missing host", raises(BadRequest, lambda: get_absolute_url_to_path(request(scope={}), "/x"))),
        ("absolute url to path(None)", raises(ValueError, lambda: get_absolute_url_to_path(absolute, None))),
        ("absolute url to path(bytes)", raises(TypeError, lambda: get_absolute_url_to_path(absolute, b"/x"))),
        ("method_without_body(bytes)", raises(TypeError, method_without_body, b"GET")),
        ("method_without_body()", raises(TypeError, method_without_body)),
        ("is_cors_request, str header value", raises(TypeError, lambda: is_cors_request(request(headers=[(b"origin", "t")])))),
        ("native entry points", native),
        ("native ensure_bytes errors", native_ensure_errors),
    ]
    for case in cases("test_request_cors", "test_method_without_body"):
        ops.append((f"method_without_body({case['method']!r})", lambda m=case["method"]: method_without_body(method=m)))
    for case in cases("test_request_cors", "test_request_argument_type"):
        fn, value = case["function"], case["value"]
        ops.append((f"{fn.__name__}({type(value).__name__})", raises(TypeError, fn, value)))
    for case in cases("test_request_cors", "test_is_cors_request"):
        ops.append((f"is_cors_request {case['headers']!r}"[:58], lambda h=case["headers"]: is_cors_request(request(headers=h))))
    for i, case in enumerate(cases("test_request_cors", "test_is_cors_preflight_request")):
        ops.append((f"is_cors_preflight_request {i}",
                    lambda m=case["method"], h=case["headers"]: is_cors_preflight_request(request(method=m, headers=h))))
    return ops


def url_ops():
    ops = [
        ("url without a path", raises(TypeError, lambda: Request("GET", None, None).url)),
        ("url with a query, without a path", raises(TypeError, query_without_path)),
        ("url = lone surrogate", raises(UnicodeEncodeError, set_url("/\udc80"))),
        ("path", lambda: request(b"/a%20b/\xc3\xa9").path),
        ("path(None)", raises(AttributeError, lambda: path_of(None))),
        ("path(undecodable)", raises(UnicodeDecodeError, lambda: path_of(b"/\xff"))),
        ("query edge cases", lambda: (request(None).query, query(b"a=1&a=2&b=")())),
        ("query(undecodable)", raises(UnicodeDecodeError, query(b"a=\xff"))),
        ("query = 5", raises(TypeError, lambda: setattr(request(), "query", 5))),
        ("host from header, overridden", host_override),
        ("host = bytes", raises(TypeError, lambda: setattr(request(), "host", b"x"))),
        ("host missing", raises(BadRequest, lambda: request(b"/").host)),
        ("host undecodable", raises(UnicodeDecodeError, lambda: request(b"/", [(b"host", b"\xff")]).host)),
        ("host of a str header", raises(TypeError, lambda: request(b"/", [(b"host", "text")]).host)),
        ("host of an absolute url", lambda: request(b"http://a.example/x", [(b"host", b"b.example")]).host),
        ("scheme assignment", scheme_assignment),
        ("base_path, other errors", raises(KeyError, lambda: request(scope=BrokenGet()).base_path)),
        ("client_ip read-only", raises(AttributeError, lambda: setattr(request(scope={}), "client_ip", "x"))),
        ("original_client_ip override", original_client_ip),
        ("subclass client_ip", lambda: Proxied("GET", b"/", None).original_client_ip),
    ]
    for case in cases("test_request_url", "test_url_is_built_from_path_and_query"):
        ops.append((f"url from path and query {case['raw_query']!r}", built_url(case["raw_query"])))
    for case in cases("test_request_url", "test_url_assignment_absolute"):
        ops.append((f"url = {type(case['value']).__name__} absolute", url_assignment(case["value"])))
    for case in cases("test_request_url", "test_url_assignment_falsy"):
        ops.append((f"url = {case['value']!r}", set_url(case["value"])))
    for case in cases("test_request_url", "test_url_assignment_wrong_type"):
        ops.append((f"url = {type(case['value']).__name__}", raises(TypeError, set_url(case["value"]))))
    for case in cases("test_request_url", "test_url_assignment_malformed"):
        ops.append((f"url = {case['value']!r}", raises(InvalidURL, set_url(case["value"]))))
    for case in cases("test_request_url", "test_delete_refused"):
        ops.append((f"del {case['name']}", raises(NotImplementedError, lambda n=case["name"]: delattr(request(), n))))
    for case in cases("test_request_url", "test_query_matches_parse_qs"):
        ops.append((f"query {case['raw']!r}"[:58], query(case["raw"])))
    for i, case in enumerate(cases("test_request_url", "test_query_assignment")):
        ops.append((f"query = {type(case['value']).__name__} {i}", query_assignment(case["value"])))
    for case in cases("test_request_url", "test_host_header_values"):
        ops.append((f"host {case['headers'][0][1]!r}", lambda h=case["headers"]: request(b"/", h).host))
    for case in cases("test_request_url", "test_scheme"):
        ops.append((f"scheme of {type(case['scope']).__name__} {case['expected']!r}", lambda s=case["scope"]: request(scope=s).scheme))
    for i, case in enumerate(cases("test_request_url", "test_base_path")):
        ops.append((f"base_path {i}: {type(case['scope']).__name__}", lambda s=case["scope"]: request(scope=s).base_path))
    for i, case in enumerate(cases("test_request_url", "test_client_ip")):
        ops.append((f"client_ip {i}: {case['expected']!r}", lambda s=case["scope"]: request(scope=s).client_ip))
    for i, case in enumerate(cases("test_request_url", "test_client_ip_of_malformed_scopes")):
        ops.append((f"client_ip of a malformed scope {i}", raises(case["error"], lambda s=case["scope"]: request(scope=s).client_ip)))
    return ops


class BrokenGet(dict):
    def get(self, key, default=None):
        raise KeyError(key)


def query_without_path():
    r = Request("GET", None, None)
    r._raw_query = b"q=1"
    return r.url


def path_of(value):
    r = Request("GET", None, None)
    r._path = value
    return r.path


def host_override():
    r = request(b"/", [(b"Host", b"example.com:80")])
    r.host
    r.host = "other"
    return r.host


def scheme_assignment():
    r = request(scope={"scheme": "https"})
    r.scheme = "http"
    r.scheme = None
    return r.scheme


def original_client_ip():
    r = request(scope={"client": ("1.2.3.4", 1)})
    r.original_client_ip = "9.9.9.9"
    return r.original_client_ip, r.client_ip


def reinit():
    r = Request("GET", b"/a?b=1", HEADERS[:6])
    r.headers, r.url, r.host, r.cookies
    r.__init__("POST", b"http://h.example/b?x=2", [(b"host", b"h")])
    r.__init__("PUT", None, None)
    return r


def failed_reinit():
    r = Request("GET", b"/a?b=1", [(b"host", b"h")])
    for args in (("GET", "/str", None), ("GET", b"http://[bad", None), (b"GET", None, None)):
        try:
            r.__init__(*args)
        except (TypeError, InvalidURL):
            pass
        else:
            raise AssertionError(f"__init__{args!r} succeeded")
    return r.url


def operations():
    ops = [
        ("__init__ again", reinit),
        ("failed __init__ again", failed_reinit),
        ("Request(method, url, headers)", lambda: Request("GET", b"/a?b=1", HEADERS)),
        ("Request(keywords)", lambda: Request(method="POST", url=b"/p", headers=[])),
        ("Request(absolute url)", lambda: Request("GET", b"http://u:p@h.example:8080/a?b#f", None)),
        ("Request.incoming", lambda: Request.incoming("GET", b"/p", b"q=1", [(b"a", b"b")])),
        ("Request.incoming(None...)", lambda: Request.incoming(method="GET", path=None, query=None, headers=None)),
        ("Sub.incoming", lambda: Sub.incoming("GET", b"/p", b"q=1", [(b"a", b"b")])),
        ("Sub(...) with a __dict__ cycle", lambda: setattr(Sub("GET", b"/", None), "extra", None)),
        ("Request.__new__", lambda: Request.__new__(Request)),
        ("Request(2 args)", raises(TypeError, lambda: Request("GET", b"/"))),
        ("Request.incoming(str query)", raises(TypeError, lambda: Request.incoming("GET", b"/", "q", None))),
        ("Request(bytes subclass name)", raises(TypeError, lambda: Request("GET", None, [(tr_bytes_sub(b"x"), b"y")]))),
        ("expect_100_continue override", lambda: tr_expect_override()),
        ("etag, if_none_match", lambda: (Request("GET", b"/", HEADERS).etag, Request("GET", b"/", HEADERS).if_none_match,
                                         Request("GET", b"/", None).etag)),
        ("etag = bytes", raises(AttributeError, lambda: setattr(Request("GET", b"/", None), "etag", b"x"))),
        ("repr", reprs),
        ("url field = URL subclass", url_field),
        ("url field = bytes", raises(TypeError, lambda: setattr(Request("GET", None, None), "_url", b"/x"))),
        ("scratch arena", arena),
        ("scratch arena in a cycle", arena_cycle),
        ("native expect_100_continue and reset", native_entries),
        ("native reset, Python override", lambda: native_reset(ResetOverride("GET", b"/x", None))),
        ("native reset, failing override", raises(KeyError, lambda: native_reset(BrokenReset("GET", b"/", None)))),
        ("reset of a populated request", reset_populated),
        ("reset disposes ASGI content", reset_disposes_asgi_content),
        ("reset, failing dispose", raises(RuntimeError, reset_failing_dispose)),
        ("dispose closes form files", dispose_form),
        ("dispose, dict changing size", raises(RuntimeError, dispose_changing_dict)),
        ("is_disconnected, disconnected", disconnected(lambda: Receive([], disconnect_after=0))),
        ("is_disconnected after a body", disconnected_after_body),
        ("is_disconnected without ASGI content", run_raises(TypeError, lambda: Request("GET", b"/", None).is_disconnected())),
        ("is_disconnected, receive raises", run_raises(ConnectionResetError, probe_error)),
    ]
    for case in cases("test_request", "test_empty_or_missing_url"):
        ops.append((f"Request(url={case['url']!r})", lambda u=case["url"]: Request("GET", u, None)))
    for case in cases("test_request", "test_constructor_argument_types"):
        ops.append((f"Request bad {case['name']}: {case['args']!r}"[:58], raises(TypeError, Request, *case["args"])))
    for case in cases("test_request", "test_malformed_target_raises_invalid_url"):
        ops.append((f"Request(url={case['url']!r})", raises(InvalidURL, Request, "GET", case["url"], None)))
    for case in cases("test_request", "test_typed_fields"):
        ops.append((f"typed field {case['field']}", typed_field(case["field"], case["good"], case["bad"])))
    for case in cases("test_request", "test_any_fields"):
        ops.append((f"field {case['field']}", any_field(case["field"])))
    for case in cases("test_request", "test_expect_100_continue"):
        value = case["value"]
        ops.append((f"expect_100_continue {value!r}",
                    lambda h=None if value is None else [(b"Expect", value)]: Request("POST", b"/", h).expect_100_continue()))
    for i, case in enumerate(cases("test_request", "test_pickling_refused")):
        ops.append((f"pickling refused {i}", raises(TypeError, case["operation"], Request("GET", b"/", None))))
    return ops + url_ops() + cookies_ops() + cors_ops()


class BytesSub(bytes):
    pass


def tr_bytes_sub(value):
    return BytesSub(value)


class Expect(Request):
    def expect_100_continue(self):
        return not super().expect_100_continue()


def tr_expect_override():
    r = Expect("POST", b"/", [(b"expect", b"100-continue")])
    return r.expect_100_continue(), native_expect_100_continue(r)


def reprs():
    r = Request(None, None, None)
    r._path = b"/p"
    return repr(Request("GET", b"/a?b=1", None)), repr(r)


class SubURL(URL):
    pass


def url_field():
    r = Request("GET", None, None)
    r._url = SubURL(b"/x")
    return r._url
