"""Pools of requests: acquire_request / release_request."""

import ctypes
import io
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import brindlewick.messages as messages
from brindlewick.contents import Content, FormPart

if not hasattr(messages, "Request"):
    pytest.skip("brindlewick.messages has no Request in this build", allow_module_level=True)

from brindlewick.messages import Request, Response, acquire_request, release_request  # noqa: E402

CAPACITY = 512


@pytest.fixture(autouse=True)
def empty_pools():
    messages._TLS.requests = []
    messages._TLS.responses = []
    yield
    messages._TLS.requests = []
    messages._TLS.responses = []


def fresh(method="GET", path=b"/p", query=b"q=1", headers=None, scope=None):
    return acquire_request(method, path, query, headers, scope)


def test_empty_pool_builds_a_request():
    method = "".join(["G", "ET"])  # not the interned object
    scope = {"type": "http"}
    name = b"".join([b"content-", b"type"])
    r = acquire_request(method, b"/a", b"b=1", [(name, b"x"), "raw", (b"k",)], scope)
    assert type(r) is Request
    assert (r.method, r._path, r._raw_query, r.scope) == ("GET", b"/a", b"b=1", scope)
    assert r.method is Request("GET", None, None).method
    values = r.headers.values
    assert values[0] == (b"content-type", b"x") and values[0][0] is not name
    assert values[1:] == ["raw", (b"k",)]


def test_headers_none_gives_a_new_empty_list():
    r = fresh(headers=None)
    assert r.headers.values == []
    headers = []
    r2 = fresh(headers=headers)
    assert r2.headers.values == [] and r2.headers.values is not headers


def test_reuse_is_last_released_first_and_fields_are_assigned():
    a, b = fresh(), fresh()
    release_request(a)
    release_request(b)
    scope = object()
    got = acquire_request("POST", b"/x", b"", [(b"Host", b"h")], scope)
    assert got is b
    assert (got.method, got._path, got._raw_query, got.scope) == ("POST", b"/x", b"", scope)
    assert got.headers.values == [(b"Host", b"h")]
    assert (got.scope_protocol, got.content, got._url, got.route_values) == (None, None, None, None)
    assert fresh() is a
    c = fresh()
    assert c is not a and c is not b


def test_full_pool_neither_resets_nor_keeps():
    calls = []

    class Counting(Request):
        def reset(self):
            calls.append(1)
            super().reset()

    messages._TLS.requests = [fresh() for _ in range(CAPACITY)]
    extra = Counting("GET", b"/e", None)
    extra.state = "kept"
    release_request(extra)
    assert calls == [] and extra.state == "kept" and len(messages._TLS.requests) == CAPACITY
    messages._TLS.requests.pop()
    release_request(extra)
    assert calls == [1] and messages._TLS.requests[-1] is extra


def test_failing_reset_is_not_pushed():
    class Broken(Request):
        def reset(self):
            raise RuntimeError("no")

    with pytest.raises(RuntimeError):
        release_request(Broken("GET", None, None))
    assert messages._TLS.requests == []


class BytesSub(bytes):
    pass


@pytest.mark.parametrize(
    "args, message",
    [
        ((b"GET", b"/", b"", None, None), "Argument 'method' has incorrect type (expected str, got bytes)"),
        (("GET", "/", b"", None, None), "Argument 'path' has incorrect type (expected bytes, got str)"),
        (("GET", b"/", "", None, None), "Argument 'raw_query' has incorrect type (expected bytes, got str)"),
        (("GET", b"/", b"", (), None), "Argument 'headers' has incorrect type (expected list, got tuple)"),
        (("GET", b"/", b"", [(BytesSub(b"a"), b"b")], None), "Expected bytes, got BytesSub"),
    ],
)
def test_argument_errors(args, message):
    for pooled in (False, True):
        if pooled:
            release_request(fresh())
        with pytest.raises(TypeError) as info:
            acquire_request(*args)
        assert str(info.value) == message


def test_release_checks_its_argument():
    with pytest.raises(TypeError, match="^Argument 'request' has incorrect type"):
        release_request(Response(200))


def test_corrupted_and_missing_lists():
    messages._TLS.requests = ()
    with pytest.raises(TypeError, match="^Expected list, got tuple$"):
        fresh()
    messages._TLS.requests = None
    responses = messages._TLS.responses
    r = fresh()
    release_request(r)
    assert messages._TLS.requests == [r] and messages._TLS.responses is not responses
    messages._TLS.requests = [Response(200)]
    with pytest.raises(TypeError, match="^Expected Request, got "):
        fresh()


def test_cross_thread_release_lands_in_the_releasing_thread():
    r = fresh()
    out = {}

    def elsewhere():
        release_request(r)
        out["pool"] = list(messages._TLS.requests)

    t = threading.Thread(target=elsewhere)
    t.start()
    t.join()
    assert out["pool"] == [r] and messages._TLS.requests == []


def test_concurrent_threads():
    threads, rounds = 5, 200
    barrier = threading.Barrier(threads)
    errors, pools = [], {}

    def worker(index):
        try:
            barrier.wait()
            for _ in range(rounds):
                r = acquire_request("GET", b"/%d" % index, b"", [(b"x", b"%d" % index)], index)
                assert (r._path, r.scope, r.headers.values) == (b"/%d" % index, index, [(b"x", b"%d" % index)])
                r.state = index
                release_request(r)
            pools[index] = list(messages._TLS.requests)
        except BaseException as e:
            errors.append(e)

    ts = [threading.Thread(target=worker, args=(i,)) for i in range(threads)]
    for t in ts:
        t.start()
    for t in ts:
        t.join()
    assert not errors, errors
    assert all(len(p) == 1 and p[0].state is None for p in pools.values())
    assert len({id(p[0]) for p in pools.values()}) == threads


_capsule_name = ctypes.pythonapi.PyCapsule_GetName
_capsule_name.restype = ctypes.c_char_p
_capsule_name.argtypes = [ctypes.py_object]


@pytest.mark.parametrize(
    "name, signature",
    [
        ("acquire_request", b"struct RequestObject *(PyObject *, PyObject *, PyObject *, PyObject *, PyObject *)"),
        ("release_request", b"int (struct RequestObject *)"),
    ],
)
def test_published_with_signatures(name, signature):
    assert _capsule_name(messages.__pyx_capi__[name]) == signature


# ---- a recycled request shows nothing of the one before ------------------------------------


class Tracked(Content):
    disposed = 0

    def dispose(self):
        type(self).disposed += 1
        super().dispose()


@settings(max_examples=40, deadline=None)
@given(
    exchanges=st.lists(
        st.fixed_dictionaries(
            {
                "method": st.sampled_from(["GET", "POST", "PATCH", "BREW"]),
                "path": st.text(alphabet="abc/%-._~", min_size=1, max_size=10).map(lambda t: b"/" + t.encode()),
                # prefixed names: never a header the request interprets (host, cookie, ...)
                "headers": st.lists(
                    st.tuples(st.binary(min_size=1, max_size=10).map(lambda n: b"x-t-" + n), st.binary(max_size=10)),
                    max_size=5,
                ),
                "cookie": st.none() | st.text("abcdef", min_size=1, max_size=5),
                "body": st.none() | st.binary(max_size=40),
                "files": st.lists(st.binary(max_size=10), max_size=2),
                "state": st.none() | st.integers(),
                "touch": st.booleans(),
            }
        ),
        min_size=1,
        max_size=5,
    )
)
def test_recycled_request_is_blank(exchanges):
    messages._TLS.requests = []
    for ex in exchanges:
        headers = list(ex["headers"]) + [(b"host", b"example.org")]
        if ex["cookie"]:
            headers.append((b"cookie", b"c=" + ex["cookie"].encode()))
        r = acquire_request(ex["method"], ex["path"], b"a=1", headers, {"n": 1})
        assert r._headers is None and r._url is None and r.route_values is None and r.content is None
        assert (r.state, r._form_data, r._session, r._user, r._host, r._scheme, r._is_disconnected) == (
            None, None, None, None, None, None, None)
        assert r.context is None and r.services is None and r._base_path is None
        if ex["cookie"]:
            assert r.cookies == {"c": ex["cookie"]}
        else:
            assert r.cookies == {}
        stats = r.scratchpad_arena_stats()
        assert stats[1] == 0
        if ex["body"] is not None:
            r.content = Tracked(b"application/octet-stream", ex["body"])
        if ex["files"]:
            r._form_data = {"f": [FormPart(b"f", io.BytesIO(d), b"f.bin") for d in ex["files"]]}
        if ex["touch"]:
            r.headers, r.url, r.host
        r.state, r.route_values, r.scope_protocol = ex["state"], {"id": 1}, object()
        r._is_disconnected = True
        r.session = {"user": 1}
        r._context = "private"
        release_request(r)
        assert r.method == "" and r._path == b"" and r._raw_query == b"" and r._context == "private"
