"""Request: construction, typed fields, reset, dispose, scratch arena, the
disconnection probe, repr, pickling, and what native callers reach."""

import asyncio
import ctypes
import copy
import gc
import io
import pickle
import weakref

import pytest

from conftest import ScriptedReceive

from brindlewick.contents import ASGIContent, Content, FormPart
from brindlewick.exceptions import InvalidOperation
from brindlewick.messages import Message, Request
from brindlewick.url import URL, InvalidURL
from wardkeep import Identity

# ---- native operation table, called the way native code calls it ----------

MESSAGE_SLOTS = 18  # entries of Message's table before Request's own


def native_entry(obj, index, restype, *argtypes):
    vtab = ctypes.c_void_p.from_address(id(obj) + object.__basicsize__).value
    address = ctypes.c_void_p.from_address(vtab + ctypes.sizeof(ctypes.c_void_p) * index).value
    return ctypes.PYFUNCTYPE(restype, *argtypes)(address)


def native_expect_100_continue(request):
    return native_entry(request, MESSAGE_SLOTS, ctypes.c_int, ctypes.py_object, ctypes.c_int)(request, 0)


def native_reset(request):
    return native_entry(request, MESSAGE_SLOTS + 1, ctypes.c_int, ctypes.py_object, ctypes.c_int)(request, 0)


def native_alloc(request, size, alignment=64):
    fn = native_entry(request, MESSAGE_SLOTS + 2, ctypes.c_void_p, ctypes.py_object, ctypes.c_size_t, ctypes.c_size_t)
    return fn(request, size, alignment)


def raw_headers(request):
    return request.headers.values  # the Headers view shares the raw list


# ---- construction ---------------------------------------------------------------


def test_is_native_subtype_of_message():
    assert issubclass(Request, Message)
    with pytest.raises(TypeError):
        Request.extra = 1  # immutable type


@pytest.mark.parametrize("url", [b"", None])
def test_empty_or_missing_url(url):
    r = Request("GET", url, None)
    assert r._url is None and r._path is None and r._raw_query is None
    assert raw_headers(r) == []


def test_construction_splits_url_and_keeps_odd_header_items():
    r = Request("GET", b"/a?b=1", [(b"Host", b"x"), "raw"])
    assert r._path == b"/a" and r._raw_query == b"b=1"
    assert r.headers.values[1] == "raw"
    assert isinstance(r._url, URL)


def test_method_and_header_names_are_interned():
    method = "".join(["G", "E", "T"])
    name = b"".join([b"con", b"tent-type"])
    a = Request(method, None, [(name, b"x")])
    b = Request("".join(["G", "ET"]), None, [(b"".join([b"content-", b"type"]), b"y")])
    assert a.method is b.method
    assert raw_headers(a)[0][0] is raw_headers(b)[0][0]
    r = Request(None, None, None)
    assert r.method is None
    r.method = method  # assignment stores as given
    assert r.method is method


@pytest.mark.parametrize(
    "args, name",
    [((b"GET", None, None), "method"), (("GET", "/x", None), "url"), (("GET", None, ()), "headers"),
     (("GET", bytearray(b"/"), None), "url")],
)
def test_constructor_argument_types(args, name):
    with pytest.raises(TypeError, match=rf"^Argument '{name}' has incorrect type"):
        Request(*args)


def test_constructor_keywords_and_count():
    r = Request(method="POST", url=b"/p", headers=[])
    assert r.method == "POST" and r._path == b"/p"
    with pytest.raises(TypeError):
        Request("GET", b"/")


def test_bytes_subclass_header_name_refused():
    class B(bytes):
        pass

    with pytest.raises(TypeError, match="^Expected bytes, got B$"):
        Request("GET", None, [(B(b"x"), b"y")])


@pytest.mark.parametrize("url", [b"http://[bad", b"http://h:99999999/"])
def test_malformed_target_raises_invalid_url(url):
    with pytest.raises(InvalidURL):
        Request("GET", url, None)


def test_incoming_and_subclass_construction():
    class Sub(Request):
        def __init__(self, method, url, headers):
            super().__init__(method, url, headers)
            self.built = True

    r = Sub.incoming("GET", b"/p", b"q=1", [(b"a", b"b")])
    assert type(r) is Sub and r.built and r._path == b"/p" and r._raw_query == b"q=1"
    assert Request.incoming(method="GET", path=None, query=None, headers=None)._path is None
    with pytest.raises(TypeError, match="^Argument 'query' has incorrect type"):
        Request.incoming("GET", b"/", "q", None)


# ---- typed fields -----------------------------------------------------------------

STR_FIELDS = ["method", "_base_path", "_original_client_ip", "_host", "_scheme"]
BYTES_FIELDS = ["_path", "_raw_query"]
ANY_FIELDS = ["route_values", "scope", "_user", "_di_scope", "state", "_session", "_context", "services",
              "_is_disconnected"]


@pytest.mark.parametrize("field, good, bad, expected",
                         [(f, "x", b"x", "str") for f in STR_FIELDS] + [(f, b"x", "x", "bytes") for f in BYTES_FIELDS])
def test_typed_fields(field, good, bad, expected):
    r = Request("GET", None, None)
    setattr(r, field, good)
    assert getattr(r, field) == good
    with pytest.raises(TypeError, match=rf"^Expected {expected}, got {type(bad).__name__}$"):
        setattr(r, field, bad)
    assert getattr(r, field) == good
    delattr(r, field)
    assert getattr(r, field) is None


@pytest.mark.parametrize("field", ANY_FIELDS)
def test_any_fields(field):
    r = Request("GET", None, None)
    assert getattr(r, field) is None
    value = object()
    setattr(r, field, value)
    assert getattr(r, field) is value
    delattr(r, field)
    assert getattr(r, field) is None


def test_url_field_takes_url_instances_only():
    class SubURL(URL):
        pass

    r = Request("GET", None, None)
    r._url = SubURL(b"/x")
    assert r._url == b"/x"
    with pytest.raises(TypeError):
        r._url = b"/x"
    assert not hasattr(r, "_arena") and not hasattr(r, "_arena_initialized")


# ---- expect_100_continue, etag, if_none_match --------------------------------------


@pytest.mark.parametrize("value, expected",
                         [(None, False), (b"", False), (b"100-continue", True), (b"100-Continue", True),
                          (b"100-continue ", False), (b"100-continue;x", False)])
def test_expect_100_continue(value, expected):
    headers = None if value is None else [(b"Expect", value)]
    r = Request("POST", b"/", headers)
    assert r.expect_100_continue() is expected
    assert native_expect_100_continue(r) == int(expected)


def test_expect_100_continue_override_reaches_native_callers():
    class Sub(Request):
        def expect_100_continue(self):
            return not super().expect_100_continue()

    r = Sub("POST", b"/", [(b"expect", b"100-continue")])
    assert r.expect_100_continue() is False
    assert native_expect_100_continue(r) == 0
    assert native_expect_100_continue(Sub("POST", b"/", None)) == 1


def test_etag_and_if_none_match():
    r = Request("GET", b"/", [(b"ETag", b'"a"'), (b"If-None-Match", b'"b"'), (b"etag", b'"c"')])
    assert r.etag == b'"a"' and r.if_none_match == b'"b"'
    assert Request("GET", b"/", None).etag is None
    with pytest.raises(AttributeError):
        r.etag = b"x"


# ---- repr and pickling ----------------------------------------------------------------


def test_repr():
    assert repr(Request("GET", b"/a?b=1", None)) == "<Request GET /a?b=1>"
    r = Request(None, None, None)
    r._path = b"/p"
    assert repr(r) == "<Request None /p>"


@pytest.mark.parametrize("operation", [pickle.dumps, copy.copy, lambda r: r.__setstate__(())])
def test_pickling_refused(operation):
    with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
        operation(Request("GET", b"/", None))


# ---- scratch arena -------------------------------------------------------------------------


def test_arena_is_lazy_rewound_by_reset_and_kept():
    r = Request("GET", b"/", None)
    assert r.scratchpad_arena_stats() == (0, 0, False)
    first = native_alloc(r, 100)
    assert first and first % 64 == 0
    capacity, offset, initialised = r.scratchpad_arena_stats()
    assert initialised and capacity >= 65536 and offset >= 100
    second = native_alloc(r, 10, 16)
    assert second and second % 16 == 0 and second >= first + 100
    r.reset()
    assert r.scratchpad_arena_stats() == (capacity, 0, True)
    assert native_alloc(r, 100) == first  # the same memory, reused


def test_arena_failure_is_a_null_pointer_without_exception():
    r = Request("GET", b"/", None)
    assert not native_alloc(r, 1 << 40)
    assert not native_alloc(r, 8, 3)  # not a power of two


# ---- reset ------------------------------------------------------------------------------------


def populated_request():
    r = Request("POST", b"/a?b=1", [(b"host", b"h"), (b"cookie", b"a=1")])
    for field in ANY_FIELDS:
        setattr(r, field, object())
    r._is_disconnected = True
    r._base_path = r._original_client_ip = r._host = r._scheme = "x"
    r.context = {"c": 1}
    r.scope_protocol = object()
    r._form_data = {"f": []}
    r.content = Content(b"text/plain", b"body")
    native_alloc(r, 1000)
    return r


def test_reset_leaves_nothing_of_the_previous_exchange():
    r = populated_request()
    context_slot = r._context
    _ = r.headers  # build the cached view
    r.reset()
    assert r.method == "" and r._path == b"" and r._raw_query == b""
    for field in ["_url", "route_values", "scope", "scope_protocol", "_user", "_di_scope", "state", "_session",
                  "_base_path", "_original_client_ip", "_host", "_scheme", "context", "services", "_form_data",
                  "_headers", "_is_disconnected", "content"]:
        assert getattr(r, field) is None, field
    assert raw_headers(r) == [] and r.cookies == {} and not r.has_header(b"host")
    assert r._context is context_slot
    assert r.scratchpad_arena_stats()[1] == 0
    assert isinstance(r.user, Identity) and not r.user.is_authenticated()


def test_reset_disposes_the_content():
    receive = ScriptedReceive([b"x"])
    r = Request("POST", b"/", None)
    content = ASGIContent(receive)
    r.content = content
    r.reset()
    assert r.content is None

    async def read():
        return await content.read()

    with pytest.raises(InvalidOperation):
        asyncio.run(read())


def test_reset_stops_at_a_failing_dispose():
    class Failing(Content):
        def dispose(self):
            raise RuntimeError("cannot dispose")

    r = Request("GET", b"/", None)
    r.content = content = Failing(b"a", b"b")
    native_alloc(r, 64)
    with pytest.raises(RuntimeError, match="cannot dispose"):
        r.reset()
    assert r.content is content and r.method == "" and r.scratchpad_arena_stats()[1] > 0


def test_reset_assigns_identity_through_a_subclass_property():
    seen = []

    class Sub(Request):
        @property
        def identity(self):
            return self._user

        @identity.setter
        def identity(self, value):
            seen.append(value)
            if getattr(self, "refuse", False):
                raise ValueError("refused")
            self._user = value

    r = Sub("GET", b"/", None)
    r.state = "kept"
    r.reset()
    assert seen == [None] and r.state is None
    r.state = "kept"
    r.refuse = True
    with pytest.raises(ValueError, match="refused"):
        r.reset()
    assert r.state == "kept" and r.method == ""


def test_reset_override_reaches_native_callers_and_super():
    calls = []

    class Sub(Request):
        def reset(self):
            calls.append("sub")
            super().reset()

    r = Sub("GET", b"/x", None)
    assert native_reset(r) == 0
    assert calls == ["sub"] and r._path == b""

    class Broken(Request):
        def reset(self):
            raise KeyError("nope")

    with pytest.raises(KeyError):
        native_reset(Broken("GET", b"/", None))


# ---- dispose ----------------------------------------------------------------------------------


def test_dispose_closes_spooled_files_and_disposes_content():
    upload = io.BytesIO(b"data")
    other = io.BytesIO(b"data")
    r = Request("POST", b"/", None)
    r._form_data = {
        "file": [FormPart(b"file", upload, file_name=b"a.txt")],
        "many": (FormPart(b"many", b"inline"), FormPart(b"many", other, file_name=b"b.txt")),
        "text": "a plain field",
    }
    r.content = content = ASGIContent(ScriptedReceive([b"x"]))
    r.dispose()
    assert upload.closed and other.closed
    assert r._form_data is not None and r.content is content  # nothing reset

    async def read():
        return await content.read()

    with pytest.raises(InvalidOperation):
        asyncio.run(read())
    r.dispose()  # twice is harmless


def test_dispose_with_a_mapping_that_is_not_a_dict():
    class Form:
        def __init__(self, parts):
            self.parts = parts

        def values(self):
            return iter(self.parts)

    upload = io.BytesIO()
    r = Request("POST", b"/", None)
    r._form_data = Form([[FormPart(b"f", upload, file_name=b"f")]])
    r.dispose()
    assert upload.closed


def test_dispose_detects_a_dict_changing_size():
    r = Request("POST", b"/", None)

    class Closing(io.BytesIO):
        def close(self):
            r._form_data["new"] = []
            super().close()

    r._form_data = {"f": [FormPart(b"f", Closing(), file_name=b"f")]}
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        r.dispose()


# ---- is_disconnected -----------------------------------------------------------------------------


def asgi_request(receive):
    r = Request("POST", b"/", [(b"content-type", b"application/json")])
    r.content = ASGIContent(receive)
    return r


def test_is_disconnected_needs_asgi_content():
    async def probe():
        return await Request("GET", b"/", None).is_disconnected()

    with pytest.raises(TypeError, match="^This method is only supported when a request is bound to an instance "):
        asyncio.run(probe())


def test_disconnect_before_the_body_is_seen_and_remembered():
    receive = ScriptedReceive([], disconnect_after=0)
    r = asgi_request(receive)

    async def main():
        first = await r.is_disconnected()
        calls = receive.calls
        second = await r.is_disconnected()
        return first, second, calls, receive.calls

    first, second, calls, later_calls = asyncio.run(main())
    assert first is True and second is True and r._is_disconnected is True
    assert later_calls == calls  # the second answer did not read


def test_connected_client_before_the_body_keeps_the_body():
    messages = [{"type": "http.request", "body": b'{"a": 1}', "more_body": False}]

    async def receive():
        if messages:
            return messages.pop()  # already queued by the server
        await asyncio.Event().wait()

    r = asgi_request(receive)

    async def main():
        connected = await r.is_disconnected()
        return connected, await r.json()

    assert asyncio.run(main()) == (False, {"a": 1})


def test_disconnect_after_a_completed_body():
    receive = ScriptedReceive([b'{"a": 1}'], disconnect_after=1)
    r = asgi_request(receive)

    async def main():
        body = await r.json()
        return body, await r.is_disconnected(), await r.read()

    body, gone, again = asyncio.run(main())
    assert body == {"a": 1} and gone is True and again == b'{"a": 1}'


def test_connected_client_after_a_completed_body():
    waiting = []

    async def receive():
        if not waiting:
            waiting.append(1)
            return {"type": "http.request", "body": b"x", "more_body": False}
        await asyncio.Event().wait()  # the client is still there: nothing to receive

    r = asgi_request(receive)

    async def main():
        await r.read()
        return await r.is_disconnected(), await r.is_disconnected()

    assert asyncio.run(main()) == (False, False)


def test_probe_errors_propagate():
    async def receive():
        raise ConnectionResetError("gone wrong")

    r = asgi_request(receive)

    async def main():
        return await r.is_disconnected()

    with pytest.raises(ConnectionResetError):
        asyncio.run(main())


# ---- lifetime -------------------------------------------------------------------------------------


def test_cycles_are_collected_with_the_arena():
    r = Request("GET", b"/", None)
    native_alloc(r, 128)
    r.state = r
    r.route_values = {"self": r}
    ref = weakref.ref(r)
    del r
    gc.collect()
    assert ref() is None


def test_subclass_instances_have_a_dict_and_are_collected():
    class Sub(Request):
        pass

    r = Sub("GET", b"/", None)
    r.extra = r
    ref = weakref.ref(r)
    del r
    gc.collect()
    assert ref() is None
