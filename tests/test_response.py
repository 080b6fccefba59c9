import ctypes
import gc
import http
import pickle
import weakref

import pytest

from brindlewick.contents import Content
from brindlewick.exceptions import FailedRequestError
from brindlewick.headers import Headers
from brindlewick.messages import Message, Response, _unpickle_Response


class DisposeRecorder(Content):
    def __init__(self, data=b"body", fail=False):
        super().__init__(b"text/plain", data)
        self.disposed = 0
        self.fail = fail

    def dispose(self):
        self.disposed += 1
        if self.fail:
            raise RuntimeError("dispose failed")


# ---- construction ------------------------------------------------------------


def test_defaults():
    r = Response(204)
    assert (r.status, r.state, r._context, r.content) == (204, None, None, None)
    assert r.headers.values == []
    assert (r.scope_protocol, r._form_data, r.context) == (None, None, None)


def test_non_empty_header_list_is_shared_as_given():
    name = b"".join([b"content-", b"type"])  # not the interned object
    headers = [(name, b"text/plain")]
    r = Response(200, headers)
    r.add_header(b"b", b"2")
    assert headers[-1] == (b"b", b"2")
    assert r.headers.values is headers
    assert headers[0][0] is name


def test_empty_header_list_is_not_shared():
    headers = []
    r = Response(200, headers)
    r.add_header(b"a", b"1")
    assert headers == []


def test_keywords_and_content():
    c = Content(b"text/plain", b"x")
    r = Response(status=201, content=c, headers=None)
    assert (r.status, r.content) == (201, c)


def test_init_keeps_the_free_slots():
    r = Response(200)
    r.state, r._context, r.context = 1, 2, 3
    view = r.headers
    r.__init__(201, [(b"a", b"b")])
    assert (r.status, r.state, r._context, r.context) == (201, 1, 2, 3)
    assert r._headers is view


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((), {}, TypeError, "__init__() takes at least 1 positional argument (0 given)"),
        ((200, None, None, None), {}, TypeError, "__init__() takes at most 3 positional arguments (4 given)"),
        ((200, ()), {}, TypeError, "Argument 'headers' has incorrect type (expected list, got tuple)"),
        ((200, None, b"x"), {}, TypeError,
         "Argument 'content' has incorrect type (expected brindlewick.contents.Content, got bytes)"),
        ((2**31,), {}, OverflowError, "value too large to convert to int"),
        ((-(2**31) - 1,), {}, OverflowError, "value too large to convert to int"),
        ((2**70,), {}, OverflowError, "value too large to convert to int"),
        ((200.0,), {}, TypeError, "'float' object cannot be interpreted as an integer"),
        ((200,), {"colour": 1}, TypeError, "__init__() got an unexpected keyword argument 'colour'"),
    ],
)
def test_construction_errors(args, kwargs, error, message):
    with pytest.raises(error) as info:
        Response(*args, **kwargs)
    assert str(info.value) == message


def test_failed_init_changes_nothing():
    headers = [(b"a", b"1")]
    r = Response(200, headers)
    with pytest.raises(TypeError):
        r.__init__(300, headers, "not content")
    with pytest.raises(OverflowError):
        r.__init__(2**40, [])
    assert r.status == 200 and r.headers.values is headers


def test_subclass_init_through_super():
    class Mine(Response):
        def __init__(self, body):
            super().__init__(202, None, Content(b"text/plain", body))

    r = Mine(b"x")
    assert (r.status, r.content.body) == (202, b"x")


# ---- properties -----------------------------------------------------------------


@pytest.mark.parametrize("status", [0, -1, 2**31 - 1, -(2**31), True])
def test_status_round_trip(status):
    r = Response(200)
    r.status = status
    assert r.status == int(status) and type(r.status) is int


def test_status_errors():
    r = Response(200)
    with pytest.raises(OverflowError, match="^value too large to convert to int$"):
        r.status = 2**31
    with pytest.raises(NotImplementedError, match="^__del__$"):
        del r.status
    assert r.status == 200


def test_reason_is_read_from_http_status_each_time():
    r = Response(200)
    assert r.reason == http.HTTPStatus.OK.phrase
    r.status = 418
    assert r.reason == "I'm a Teapot"
    r.status = 999
    with pytest.raises(ValueError):
        r.reason


@pytest.mark.parametrize("name", ["state", "_context"])
def test_free_slots(name):
    r = Response(200)
    setattr(r, name, [1])
    assert getattr(r, name) == [1]
    delattr(r, name)
    assert getattr(r, name) is None


@pytest.mark.parametrize("status, text", [(500, "<Response 500>"), (-7, "<Response -7>")])
def test_repr(status, text):
    assert repr(Response(status)) == text


@pytest.mark.parametrize("status", [301, 302, 303, 307, 308])
def test_redirects(status):
    assert Response(status).is_redirect() is True


@pytest.mark.parametrize("status", [200, 300, 304, 305, 306, 309, 0])
def test_not_redirects(status):
    assert Response(status).is_redirect() is False


def test_weakref_and_cycle_collection():
    r = Response(200)
    r.state = r
    ref = weakref.ref(r)
    del r
    gc.collect()
    assert ref() is None


# ---- reset ------------------------------------------------------------------------


def test_reset_blanks_everything_but_the_private_context():
    content = DisposeRecorder()
    headers = [(b"a", b"1")]
    r = Response(404, headers, content)
    r.headers
    r.state, r._context, r.context, r.scope_protocol, r._form_data = 1, 2, 3, 4, 5
    assert r.reset() is None
    assert (r.status, r.state, r._context, r.context, r.scope_protocol, r._form_data) == (200, None, 2, None, None,
                                                                                         None)
    assert r._headers is None and r.headers.values == [] and r.headers.values is not headers
    assert r.content is None and content.disposed == 1
    assert headers == [(b"a", b"1")]


def test_reset_keeps_content_when_dispose_fails():
    content = DisposeRecorder(fail=True)
    r = Response(500, [(b"a", b"1")], content)
    r.state = "s"
    with pytest.raises(RuntimeError, match="dispose failed"):
        r.reset()
    assert r.content is content
    assert (r.status, r.state, r.headers.values) == (200, None, [])


# ---- raise_for_status ----------------------------------------------------------------------


@pytest.mark.parametrize("status", [200, 204, 299])
def test_raise_for_status_success(run, status):
    assert run(Response(status).raise_for_status()) is None


@pytest.mark.parametrize("status", [199, 300, 404, 500])
def test_raise_for_status_failure(run, status):
    r = Response(status, [(b"content-type", b"text/plain; charset=latin-1")], Content(b"text/plain", b"caf\xe9"))
    with pytest.raises(FailedRequestError) as info:
        run(r.raise_for_status())
    assert (info.value.status, info.value.data) == (status, "café")


def test_raise_for_status_reads_through_an_override_and_propagates_its_error(run):
    class Broken(Response):
        async def text(self):
            raise LookupError("no body")

    with pytest.raises(LookupError, match="no body"):
        run(Broken(500).raise_for_status())


# ---- the native operation table reaches Python overrides -------------------------------------

# Operation table of a Response, as native callers (scribe) see it: the 18
# Message entries, then is_redirect and reset.  The table pointer follows
# the object header.
_NATIVE_SLOT = {"is_redirect": 18, "reset": 19}


def native_call(obj, name):
    vtab = ctypes.c_void_p.from_address(id(obj) + object.__basicsize__).value
    fn = ctypes.c_void_p.from_address(vtab + ctypes.sizeof(ctypes.c_void_p) * _NATIVE_SLOT[name]).value
    proto = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.c_int)
    return proto(fn)(obj, 0)


def test_native_is_redirect_and_reset():
    r = Response(308)
    assert native_call(r, "is_redirect") == 1
    r.state = 1
    assert native_call(r, "reset") == 0
    assert (r.status, r.state) == (200, None)
    assert native_call(r, "is_redirect") == 0


def test_native_entries_reach_overrides():
    calls = []

    class Mine(Response):
        def is_redirect(self):
            calls.append("is_redirect")
            return "yes"

        def reset(self):
            calls.append("reset")
            super().reset()
            self.state = "after reset"

    r = Mine(200)
    assert native_call(r, "is_redirect") == 1
    assert native_call(r, "reset") == 0
    assert calls == ["is_redirect", "reset"] and r.state == "after reset"


# ---- pickling -------------------------------------------------------------------------------


def test_pickle_round_trip():
    r = Response(404, [(b"a", b"1")], Content(b"text/plain", b"x"))
    r.state, r._context, r.context, r._form_data = {"s": 1}, "ctx", [2], {"f": "v"}
    copy = pickle.loads(pickle.dumps(r))
    assert type(copy) is Response
    assert (copy.status, copy.state, copy._context, copy.context, copy._form_data) == (404, {"s": 1}, "ctx", [2],
                                                                                       {"f": "v"})
    assert copy.headers.values == [(b"a", b"1")] and copy.content.body == b"x"


class PickledResponse(Response):
    pass


class PickledMessage(Message):
    pass


@pytest.mark.parametrize("make", [lambda: PickledResponse(201, [(b"k", b"v")]), lambda: PickledMessage([(b"k", b"v")])])
def test_pickle_subclass_with_dict(make):
    m = make()
    m.extra = {"nested": [1, 2]}
    copy = pickle.loads(pickle.dumps(m))
    assert type(copy) is type(m)
    assert copy.extra == {"nested": [1, 2]} and copy.headers.values == [(b"k", b"v")]
    if isinstance(m, Response):
        assert copy.status == 201


def test_reduce_layout():
    r = Response(200)
    fn, (cls, checksum, arg), state = r.__reduce__()
    assert (fn, cls, checksum, arg) == (_unpickle_Response, Response, 0xFE1AF2E, None)
    assert state == (None, None, None, [], None, None, None, None, 200)
    r2 = Response.__new__(Response)
    assert r2.__reduce__() == (_unpickle_Response, (Response, 0xFE1AF2E, (None,) * 8 + (0,)))


@pytest.mark.parametrize("checksum", [0xFE1AF2E, 0x1C14C0F, 0xC197934])
def test_unpickle_accepts_known_checksums(checksum):
    r = _unpickle_Response(Response, checksum, (None, None, None, [(b"a", b"b")], None, None, None, "st", 302))
    assert (r.status, r.state, r.headers.values) == (302, "st", [(b"a", b"b")])


def test_unpickle_checksum_mismatch():
    with pytest.raises(pickle.PickleError) as info:
        _unpickle_Response(Response, 0xA1874AD, None)
    assert str(info.value) == (
        "Incompatible checksums (0xa1874ad vs (0xfe1af2e, 0x1c14c0f, 0xc197934) = "
        "(_context, _form_data, _headers, _raw_headers, content, context, scope_protocol, state, status))"
    )


@pytest.mark.parametrize(
    "state, error, message",
    [
        ([None] * 9, TypeError, "Expected tuple, got list"),
        ((None,) * 8, IndexError, "tuple index out of range"),
        ((None, None, "h", [], None, None, None, None, 200), TypeError,
         "Expected Headers, got str"),
        ((None, None, None, (), None, None, None, None, 200), TypeError, "Expected list, got tuple"),
        ((None, None, None, [], b"c", None, None, None, 200), TypeError,
         "Expected brindlewick.contents.Content, got bytes"),
        ((None, None, None, [], None, None, None, None, 2**32), OverflowError, "value too large to convert to int"),
    ],
)
def test_unpickle_bad_state(state, error, message):
    with pytest.raises(error) as info:
        _unpickle_Response(Response, 0xFE1AF2E, state)
    assert str(info.value) == message


def test_setstate_checks_everything_before_assigning():
    r = Response(201)
    with pytest.raises(OverflowError):
        r.__setstate__(("c", None, None, [], None, None, None, "s", 2**40))
    assert (r.status, r._context, r.state) == (201, None, None)
    r.__setstate__(("c", None, Headers([]), [], None, None, None, "s", 7))
    assert (r.status, r._context, r.state) == (7, "c", "s")


def test_unpickle_refuses_a_non_response_type():
    with pytest.raises(TypeError):
        _unpickle_Response(Message, 0xFE1AF2E, None)
