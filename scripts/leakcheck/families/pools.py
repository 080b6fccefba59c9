"""The per-thread pools: acquire_/release_request and acquire_/release_response
from Python and through their native entry points, full pools, failing
resets, repaired and corrupted lists, foreign objects, and the suite's
bad-input rows.

Every operation leaves the calling thread's pools as it found them (what it
takes it gives back, a list it replaces it puts back), so a run measures the
operation and not a pool that fills up."""

import io

import brindlewick.messages as messages
from brindlewick.contents import Content, FormPart
from brindlewick.cookies import Cookie
from brindlewick.messages import Message, Request, Response, acquire_request, acquire_response, release_request, release_response

from leakcheck.support import cases, raises, test_module

ITERATIONS = 10_000

tp = test_module("test_pools")
CAPACITY = tp.CAPACITY
CONTENT = Content(b"text/plain", b"x")
HEADERS = [(b"content-type", b"x"), (b"Host", b"h"), (b"cookie", b"c=1")]
ODD_HEADERS = [(b"content-type", b"x"), "raw", (b"k",)]


class Counting(Response):
    def reset(self):
        super().reset()


class CountingRequest(Request):
    def reset(self):
        super().reset()


class BrokenResponse(Response):
    def reset(self):
        raise RuntimeError("reset failed")


class BrokenRequest(Request):
    def reset(self):
        raise RuntimeError("reset failed")


class BadContent(Content):
    def dispose(self):
        raise OSError("cannot close")


class Filling(Response):
    def reset(self):
        super().reset()
        messages._TLS.responses.extend(FULL_RESPONSES[: CAPACITY - len(messages._TLS.responses)])


FULL_RESPONSES = [Response(200) for _ in range(CAPACITY)]
FULL_REQUESTS = [Request("GET", b"/", None) for _ in range(CAPACITY)]


class Swap:
    """Replaces the thread's pool lists for the duration of a block."""

    def __init__(self, requests=None, responses=None):
        self.requests, self.responses = requests, responses

    def __enter__(self):
        self.saved = messages._TLS.requests, messages._TLS.responses
        if self.requests is not None:
            messages._TLS.requests = self.requests
        if self.responses is not None:
            messages._TLS.responses = self.responses

    def __exit__(self, *exc):
        messages._TLS.requests, messages._TLS.responses = self.saved


def response_round_trip():
    r = acquire_response(404, [(b"a", b"1")], CONTENT)
    r.state = "s"
    r.set_cookie(Cookie("n", "v"))
    r._form_data = {"f": [FormPart(b"f", io.BytesIO(b"data"), b"f.bin")]}
    r.headers
    release_response(r)


def response_blank_round_trip():
    release_response(acquire_response())


def response_subclass():
    release_response(Counting(200))
    release_response(acquire_response(201))


def response_fresh():
    # Acquired from an empty pool: built; released into a full one: dropped.
    with Swap(responses=[]):
        r = acquire_response(200, None, CONTENT)
    with Swap(responses=list(FULL_RESPONSES)):
        release_response(r)


def response_full_pool():
    with Swap(responses=list(FULL_RESPONSES)):
        extra = Counting(404)
        extra.state = "kept"
        release_response(extra)
        messages._TLS.responses.pop()
        release_response(extra)


def response_filling_reset():
    with Swap(responses=[]):
        release_response(Filling(200))


def failing_release(make):
    def op():
        with Swap(responses=[]):
            release_response(make())

    return op


def request_round_trip():
    r = acquire_request("POST", b"/a", b"b=1", HEADERS, {"type": "http"})
    r.state = "s"
    r.content = CONTENT
    r._form_data = {"f": [FormPart(b"f", io.BytesIO(b"d"), b"f.bin")]}
    r.session = {"user": 1}
    r.headers, r.url, r.host, r.cookies
    release_request(r)


def request_blank_round_trip():
    release_request(acquire_request("GET", b"/", b"", None, None))
    release_request(acquire_request("GET", b"/", b"", ODD_HEADERS, None))


def request_fresh():
    with Swap(requests=[]):
        r = acquire_request("GET", b"/p", b"q=1", [(b"a", b"b")], None)
    with Swap(requests=list(FULL_REQUESTS)):
        release_request(r)


def request_full_pool():
    with Swap(requests=list(FULL_REQUESTS)):
        extra = CountingRequest("GET", b"/e", None)
        extra.state = "kept"
        release_request(extra)
        messages._TLS.requests.pop()
        release_request(extra)


def request_failing_reset():
    with Swap(requests=[]):
        release_request(BrokenRequest("GET", None, None))


def repaired(damage):
    def op():
        with Swap():
            if damage == "none":
                messages._TLS.responses = None
            else:
                del messages._TLS.responses
            release_response(Response(200))
            messages._TLS.requests = None
            release_request(Request("GET", b"/", None))

    return op


def corrupted(bad):
    def op():
        with Swap(bad, bad):
            for call in (acquire_response, lambda: release_response(Response(200)),
                         lambda: acquire_request("GET", b"/", b"", None, None)):
                try:
                    call()
                except TypeError:
                    pass
                else:
                    raise AssertionError(f"a pool list of {type(bad).__name__} was used")

    return op


def intruder(value):
    def op():
        with Swap([value], [value]):
            for call in (acquire_response, lambda: acquire_request("GET", b"/", b"", None, None)):
                try:
                    call()
                except TypeError:
                    pass
                else:
                    raise AssertionError(f"{value!r} was taken from a pool")

    return op


def native_entries():
    acquire = tp.native("acquire_response", tp.ctypes.c_void_p, tp.ctypes.c_int32, tp.ctypes.py_object, tp.ctypes.py_object)
    release = tp.native("release_response", tp.ctypes.c_int, tp.ctypes.py_object)
    address = acquire(-5, [(b"a", b"b")], None)
    r = tp.ctypes.cast(address, tp.ctypes.py_object).value
    tp.ctypes.pythonapi.Py_DecRef(tp.ctypes.c_void_p(address))  # the entry's new reference
    release(r)


class LoudList(list):
    pass


def operations():
    ops = [
        ("acquire_response / release_response", response_round_trip),
        ("acquire_response() / release_response", response_blank_round_trip),
        ("release of a subclass, acquired back", response_subclass),
        ("acquire from an empty pool, release into a full one", response_fresh),
        ("release_response into a full pool, then one free", response_full_pool),
        ("release_response, reset fills the pool", response_filling_reset),
        ("release_response, failing reset", raises(RuntimeError, failing_release(lambda: BrokenResponse(200)))),
        ("release_response, failing dispose", raises(OSError, failing_release(lambda: Response(200, None, BadContent(b"t", b"x"))))),
        ("native acquire_response / release_response", native_entries),
        ("acquire_request / release_request", request_round_trip),
        ("acquire_request(empty) / release_request", request_blank_round_trip),
        ("acquire_request from an empty pool, release into a full one", request_fresh),
        ("release_request into a full pool, then one free", request_full_pool),
        ("release_request, failing reset", raises(RuntimeError, request_failing_reset)),
        ("release_request(Response)", raises(TypeError, lambda: release_request(Response(200)))),
        ("release_request(None)", raises(TypeError, lambda: release_request(None))),
        ("release_response(Message)", raises(TypeError, lambda: release_response(Message([])))),
        ("acquire_request(4 args)", raises(TypeError, lambda: acquire_request("GET", b"/", b"", None))),
        ("corrupted list: list subclass", corrupted(LoudList())),
    ]
    for case in cases("test_pools", "test_missing_list_is_repaired_with_two_new_lists"):
        ops.append((f"missing pool lists repaired ({case['damage']})", repaired(case["damage"])))
    for case in cases("test_pools", "test_corrupted_list_raises"):
        if isinstance(case["bad"], list):
            continue  # the list subclass of the table is a new class per import: LoudList above
        ops.append((f"corrupted list: {type(case['bad']).__name__}", corrupted(case["bad"])))
    for case in cases("test_pools", "test_foreign_object_in_the_pool_is_refused"):
        ops.append((f"foreign object in the pools: {type(case['intruder']).__name__}", intruder(case["intruder"])))
    for i, case in enumerate(cases("test_pools", "test_argument_errors")):
        ops.append((f"response argument error {i}: {case['message'][:30]}",
                    pooled_error(case["error"], case["call"], lambda: release_response(Response(200)))))
    for i, case in enumerate(cases("test_pools_requests", "test_argument_errors")):
        ops.append((f"request argument error {i}: {case['message'][:30]}",
                    pooled_error(TypeError, lambda a=case["args"]: acquire_request(*a), None)))
        ops.append((f"request argument error {i}, pooled",
                    pooled_error(TypeError, lambda a=case["args"]: acquire_request(*a),
                                 lambda: release_request(Request("GET", b"/", None)))))
    return ops


def pooled_error(error, call, prime):
    """call() must raise `error`, with a pooled object on hand when `prime`
    puts one there (the pooled path checks its arguments as the constructor
    does); a pool that a failed call left primed is drained again."""

    def op():
        with Swap([], []):
            if prime is not None:
                prime()
            try:
                call()
            except error:
                return
            raise AssertionError(f"{call!r} did not raise {error}")

    return op
