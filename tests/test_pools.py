"""The per-thread pools of responses and requests: acquire_/release_response
and acquire_/release_request, full pools, failing resets, repaired and
corrupted lists, threads, the native entry points, and recycled objects that
show nothing of the exchange before."""

import ctypes
import io
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import brindlewick.messages as messages
from brindlewick.contents import Content, FormPart
from brindlewick.cookies import Cookie
from brindlewick.messages import (
    Message,
    Request,
    Response,
    acquire_request,
    acquire_response,
    release_request,
    release_response,
)

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


# The two kinds of pooled object: (class, acquire with defaults, release, the
# thread's list attribute, the type name a refusal gives).
KINDS = {
    "response": (Response, lambda: acquire_response(), release_response, "responses"),
    "request": (Request, lambda: fresh(), release_request, "requests"),
}
kinds = pytest.mark.parametrize("kind", sorted(KINDS))


def make(kind):
    return Response(200) if kind == "response" else Request("GET", b"/", None)


class Sub(Response):
    pass


# ---- responses ---------------------------------------------------------------------------


def test_thread_local_freelist_is_a_thread_local():
    assert issubclass(messages._ThreadLocalFreelist, threading.local)
    assert isinstance(messages._TLS, messages._ThreadLocalFreelist)
    fresh = messages._ThreadLocalFreelist()
    assert (fresh.requests, fresh.responses) == ([], [])
    with pytest.raises(TypeError):
        messages._ThreadLocalFreelist(1)


def test_reuse_is_last_released_first():
    a, b = Response(200), Response(201)
    release_response(a)
    release_response(b)
    assert acquire_response() is b
    assert acquire_response() is a
    c = acquire_response()
    assert c is not a and c is not b and type(c) is Response


def test_acquire_from_an_empty_pool_builds_a_response():
    headers = [(b"a", b"1")]
    content = Content(b"text/plain", b"x")
    r = acquire_response(404, headers, content)
    assert (r.status, r.content) == (404, content) and r.headers.values is headers
    blank = acquire_response()
    assert (blank.status, blank.headers.values, blank.content, blank.state) == (200, [], None, None)


def test_acquire_from_the_pool_assigns_the_exchange_values():
    pooled = Response(500, [(b"old", b"1")], Content(b"text/plain", b"old"))
    pooled.state = "old"
    release_response(pooled)
    headers = []
    content = Content(b"text/plain", b"new")
    r = acquire_response(status=302, headers=headers, content=content)
    assert r is pooled
    assert (r.status, r.content, r.state) == (302, content, None)
    assert r.headers.values is headers
    release_response(r)
    r = acquire_response()
    assert (r.status, r.headers.values, r.content) == (200, [], None)


@kinds
def test_release_resets_and_full_pool_neither_resets_nor_keeps(kind):
    cls, _, release, attr = KINDS[kind]
    calls = []

    class Counted(cls):
        def reset(self):
            calls.append(1)
            super().reset()

    setattr(messages._TLS, attr, [make(kind) for _ in range(CAPACITY)])
    extra = Counted(404) if kind == "response" else Counted("GET", b"/e", None)
    extra.state = "kept"
    release(extra)
    pool = getattr(messages._TLS, attr)
    assert calls == [] and extra.state == "kept"
    assert len(pool) == CAPACITY and extra not in pool
    pool.pop()
    release(extra)
    assert calls == [1] and extra.state is None
    assert pool[-1] is extra


def test_pool_stays_bounded_when_reset_fills_it():
    class Filling(Response):
        def reset(self):
            super().reset()
            messages._TLS.responses.extend(Response(200) for _ in range(CAPACITY))

    r = Filling(200)
    release_response(r)
    assert len(messages._TLS.responses) == CAPACITY and r not in messages._TLS.responses


@kinds
def test_failing_reset_is_not_pushed(kind):
    cls, _, release, attr = KINDS[kind]

    class Broken(cls):
        def reset(self):
            raise RuntimeError("reset failed")

    with pytest.raises(RuntimeError, match="reset failed"):
        release(Broken(200) if kind == "response" else Broken("GET", None, None))
    assert getattr(messages._TLS, attr) == []


def test_failing_dispose_is_not_pushed():
    class BadContent(Content):
        def dispose(self):
            raise OSError("cannot close")

    r = Response(200, None, BadContent(b"text/plain", b"x"))
    with pytest.raises(OSError, match="cannot close"):
        release_response(r)
    assert messages._TLS.responses == []


def test_released_subclass_comes_back():
    r = Sub(200)
    release_response(r)
    assert acquire_response(201) is r and r.status == 201


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: acquire_response(2**31), OverflowError, "value too large to convert to int"),
        (lambda: acquire_response(200, ()), TypeError, "Argument 'headers' has incorrect type (expected list, got tuple)"),
        (lambda: acquire_response(200, None, b"x"), TypeError,
         "Argument 'content' has incorrect type (expected brindlewick.contents.Content, got bytes)"),
        (lambda: acquire_response(200, None, None, None), TypeError,
         "acquire_response() takes at most 3 positional arguments (4 given)"),
        (lambda: release_response(Message([])), TypeError,
         "Argument 'response' has incorrect type (expected brindlewick.messages.Response, got "
         "brindlewick.messages.Message)"),
        (lambda: release_response(None), TypeError,
         "Argument 'response' has incorrect type (expected brindlewick.messages.Response, got NoneType)"),
    ],
)
def test_response_argument_errors(call, error, message):
    release_response(Response(200))  # the pooled path checks as the constructor does
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message


# ---- requests ----------------------------------------------------------------------------


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
def test_request_argument_errors(args, message):
    for pooled in (False, True):
        if pooled:
            release_request(fresh())
        with pytest.raises(TypeError) as info:
            acquire_request(*args)
        assert str(info.value) == message


def test_release_checks_its_argument():
    with pytest.raises(TypeError, match="^Argument 'request' has incorrect type"):
        release_request(Response(200))


# ---- the thread's lists: repair and corruption --------------------------------------------


@kinds
@pytest.mark.parametrize("damage", ["none", "delete"])
def test_missing_list_is_repaired_with_two_new_lists(damage, kind):
    _, _, release, attr = KINDS[kind]
    other = "requests" if attr == "responses" else "responses"
    old_other = getattr(messages._TLS, other)
    old_other.append("stale")
    if damage == "none":
        setattr(messages._TLS, attr, None)
    else:
        delattr(messages._TLS, attr)
    r = make(kind)
    release(r)
    assert getattr(messages._TLS, attr) == [r]
    assert getattr(messages._TLS, other) == [] and getattr(messages._TLS, other) is not old_other


@kinds
@pytest.mark.parametrize("bad", [(), {}, "list", type("L", (list,), {})()])
def test_corrupted_list_raises(bad, kind):
    _, acquire, release, attr = KINDS[kind]
    setattr(messages._TLS, attr, bad)
    for call in (acquire, lambda: release(make(kind))):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == f"Expected list, got {type(bad).__name__}"
    assert getattr(messages._TLS, attr) is bad


@kinds
@pytest.mark.parametrize("intruder", [42, Message([]), None])
def test_foreign_object_in_the_pool_is_refused(intruder, kind):
    cls, acquire, _, attr = KINDS[kind]
    if isinstance(intruder, Message):
        intruder = Request("GET", b"/", None) if kind == "response" else Response(200)
    setattr(messages._TLS, attr, [intruder])
    with pytest.raises(TypeError, match=f"^Expected {cls.__name__}, got "):
        acquire()
    assert getattr(messages._TLS, attr) == []
    assert type(acquire()) is cls


# ---- threads ----------------------------------------------------------------------------


def run_in_thread(fn):
    result = {}

    def target():
        try:
            result["value"] = fn()
        except BaseException as e:  # reported to the test
            result["error"] = e

    t = threading.Thread(target=target)
    t.start()
    t.join()
    if "error" in result:
        raise result["error"]
    return result.get("value")


def test_each_thread_starts_with_its_own_empty_lists():
    release_response(Response(200))
    assert run_in_thread(lambda: (messages._TLS.requests, messages._TLS.responses)) == ([], [])
    assert len(messages._TLS.responses) == 1


def test_short_lived_threads_never_see_each_others_pools():
    def one_exchange(i):
        assert messages._TLS.responses == []
        r = acquire_response(200 + i)
        release_response(r)
        assert messages._TLS.responses == [r]
        return r

    pooled = [run_in_thread(lambda i=i: one_exchange(i)) for i in range(20)]
    assert len({id(r) for r in pooled}) == len(pooled)
    assert messages._TLS.responses == []


@kinds
def test_release_on_another_thread_lands_in_that_threads_pool(kind):
    _, acquire, release, attr = KINDS[kind]
    r = acquire()

    def elsewhere():
        release(r)
        return list(getattr(messages._TLS, attr)), acquire() is r

    pool, reused = run_in_thread(elsewhere)
    assert pool == [r] and reused
    assert getattr(messages._TLS, attr) == []


def test_concurrent_threads_keep_to_their_own_pools():
    threads, rounds = 6, 300
    barrier = threading.Barrier(threads)
    seen = [set() for _ in range(threads)]
    errors = []

    def worker(index):
        try:
            barrier.wait()
            held = []
            for i in range(rounds):
                r = acquire_response(200 + index, [(b"t", str(index).encode())])
                assert r.status == 200 + index and r.headers.values == [(b"t", str(index).encode())]
                r.state = index
                seen[index].add(id(r))
                held.append(r)
                if len(held) == 3 or i == rounds - 1:
                    for h in held:
                        release_response(h)
                    held.clear()
            pool = messages._TLS.responses
            assert all(p.state is None and p.headers.values == [] for p in pool)
            assert 0 < len(pool) <= 3
            # Keep the objects alive so that ids stay unique across threads.
            seen[index] = (seen[index], list(pool))
        except BaseException as e:
            errors.append(e)

    workers = [threading.Thread(target=worker, args=(i,)) for i in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert not errors, errors
    pooled = [id(p) for _, pool in seen for p in pool]
    assert len(pooled) == len(set(pooled))
    for index, (ids, pool) in enumerate(seen):
        assert {id(p) for p in pool} <= ids


def test_cross_thread_hand_over_under_load():
    # Thread A acquires, thread B releases: every object ends in B's pool.
    made = run_in_thread(lambda: [acquire_response(200 + i) for i in range(50)])

    def release_all():
        for r in made:
            release_response(r)
        return list(messages._TLS.responses)

    pool = run_in_thread(release_all)
    assert pool == made and all(r.status == 200 for r in pool)
    assert messages._TLS.responses == []


def test_concurrent_threads_recycle_their_own_requests():
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


# ---- native entry points -------------------------------------------------------------------

_capsule_name = ctypes.pythonapi.PyCapsule_GetName
_capsule_name.restype = ctypes.c_char_p
_capsule_name.argtypes = [ctypes.py_object]
_capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_capsule_pointer.restype = ctypes.c_void_p
_capsule_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]

SIGNATURES = {
    "acquire_response": b"struct ResponseObject *(int32_t, PyObject *, PyObject *)",
    "release_response": b"int (struct ResponseObject *)",
    "acquire_request": b"struct RequestObject *(PyObject *, PyObject *, PyObject *, PyObject *, PyObject *)",
    "release_request": b"int (struct RequestObject *)",
}


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_published_with_signatures(name):
    assert _capsule_name(messages.__pyx_capi__[name]) == SIGNATURES[name]


def native(name, restype, *argtypes):
    capsule = messages.__pyx_capi__[name]
    return ctypes.PYFUNCTYPE(restype, *argtypes)(_capsule_pointer(capsule, SIGNATURES[name]))


def test_native_entry_points():
    acquire = native("acquire_response", ctypes.c_void_p, ctypes.c_int32, ctypes.py_object, ctypes.py_object)
    release = native("release_response", ctypes.c_int, ctypes.py_object)
    r = Response(200)
    assert release(r) == 0 and messages._TLS.responses == [r]
    headers = [(b"a", b"b")]
    address = acquire(-5, headers, None)
    got = ctypes.cast(address, ctypes.py_object).value
    ctypes.pythonapi.Py_DecRef(ctypes.c_void_p(address))  # the entry's new reference
    assert got is r and (r.status, r.headers.values) == (-5, headers)
    assert release(Sub(200)) == 0 and isinstance(messages._TLS.responses[-1], Sub)


# ---- a recycled response shows nothing of the one before ---------------------------------------

# Names under a prefix no header the message interprets has (set-cookie,
# content-type, ...): these tests are about what a recycled object keeps.
header_items = st.lists(
    st.tuples(st.binary(min_size=1, max_size=12).map(lambda n: b"x-t-" + n), st.binary(max_size=20)), max_size=6
)
cookie_names = st.text("abcdefghijklmnop", min_size=1, max_size=8)


class Tracked(Content):
    disposed = 0

    def dispose(self):
        type(self).disposed += 1
        super().dispose()


@settings(max_examples=60, deadline=None)
@given(
    exchanges=st.lists(
        st.fixed_dictionaries(
            {
                "status": st.integers(-(2**31), 2**31 - 1),
                "headers": header_items,
                "cookies": st.lists(cookie_names, max_size=4),
                "body": st.none() | st.binary(max_size=64),
                "files": st.lists(st.binary(max_size=16), max_size=3),
                "state": st.none() | st.integers() | st.text(max_size=5),
                "view": st.booleans(),
            }
        ),
        min_size=1,
        max_size=6,
    )
)
def test_recycled_response_is_blank(exchanges):
    messages._TLS.responses = []
    for ex in exchanges:
        r = acquire_response(ex["status"], list(ex["headers"]) or None)
        assert r._headers is None
        assert r.status == ex["status"]
        assert r.headers.values == list(ex["headers"])
        assert r.cookies == {} and r.state is None and r.context is None and r._form_data is None
        assert r.content is None and r.scope_protocol is None
        for name in ex["cookies"]:
            r.set_cookie(Cookie(name, "v"))
        if ex["body"] is not None:
            r.content = Tracked(b"application/octet-stream", ex["body"])
        if ex["files"]:
            r._form_data = {"f": [FormPart(b"f", io.BytesIO(data), b"f.bin") for data in ex["files"]]}
        if ex["view"]:
            r.headers
        r.state, r.context, r.scope_protocol, r._context = ex["state"], {"k": 1}, object(), "private"
        disposed = Tracked.disposed
        release_response(r)
        assert Tracked.disposed == disposed + (ex["body"] is not None)
        assert r._context == "private"
    r = acquire_response()
    assert r._headers is None
    assert (r.status, r.headers.values, r.cookies, r.state, r.content, r._form_data, r.context) == (
        200, [], {}, None, None, None, None)


# ---- a recycled request shows nothing of the one before ------------------------------------


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
