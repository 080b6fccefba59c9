import gc
import pathlib
import pickle
import weakref

import pytest

from brindlewick.contents import Content
from brindlewick.headers import Headers
from brindlewick.messages import Message, _unpickle_Message, parse_charset


def msg(*pairs):
    return Message(list(pairs))


# ---- construction ------------------------------------------------------


@pytest.mark.parametrize("headers", [None, []])
def test_empty_construction_gives_a_fresh_list(headers):
    m = Message(headers)
    assert m.headers.values == []
    assert Message(headers).headers.values is not m.headers.values


def test_construction_copies_and_keeps_odd_items():
    source = [(b"Host", b"x"), [b"a", b"b"], (b"k",)]
    m = Message(source)
    raw = m.headers.values
    assert raw is not source
    assert raw == source
    assert raw[1] is source[1] and raw[2] is source[2]
    assert raw[0] is not source[0]


def test_construction_interns_known_names():
    name = b"".join([b"content-", b"type"])
    a, b = Message([(name, b"1")]), Message([(bytes(name), b"2")])
    assert a.headers.values[0][0] is b.headers.values[0][0]


class BytesSub(bytes):
    pass


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Message(), "__init__() takes exactly 1 positional argument (0 given)"),
        (lambda: Message(None, None), "__init__() takes exactly 1 positional argument (2 given)"),
        (lambda: Message(()), "Argument 'headers' has incorrect type (expected list, got tuple)"),
        (lambda: Message([(BytesSub(b"a"), b"b")]), "Expected bytes, got BytesSub"),
        (lambda: Message(headers=None, x=1), "__init__() got an unexpected keyword argument 'x'"),
    ],
)
def test_construction_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keyword_construction_and_subclass_init():
    assert Message(headers=[(b"a", b"b")]).get_first_header(b"a") == b"b"

    class Sub(Message):
        def __init__(self, extra):
            super().__init__(None)
            self.extra = extra

    s = Sub(5)
    assert s.extra == 5 and s.get_headers(b"x") == []


def test_allocated_but_not_initialised():
    m = Message.__new__(Message)
    assert m.content is None and m._headers is None
    with pytest.raises(TypeError, match="'NoneType' object is not iterable"):
        m.get_headers(b"a")
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'append'"):
        m.add_header(b"a", b"b")


# ---- properties -------------------------------------------------------------


def test_headers_view_is_built_once_over_the_same_list():
    m = msg((b"a", b"1"))
    view = m.headers
    assert isinstance(view, Headers) and m.headers is view and m._headers is view
    m.add_header(b"b", b"2")
    assert m.headers is view
    assert view.get(b"b") == (b"2",)


@pytest.mark.parametrize("field", ["scope_protocol", "_form_data", "context"])
def test_free_slots(field):
    m = Message(None)
    obj = object()
    setattr(m, field, obj)
    assert getattr(m, field) is obj
    delattr(m, field)
    assert getattr(m, field) is None


@pytest.mark.parametrize(
    "field, bad, expected",
    [("content", b"x", "Expected brindlewick.contents.Content, got bytes"), ("_headers", [], "Expected Headers, got list")],
)
def test_typed_properties(field, bad, expected):
    m = Message(None)
    with pytest.raises(TypeError) as info:
        setattr(m, field, bad)
    assert str(info.value) == expected
    delattr(m, field)
    assert getattr(m, field) is None


def test_body_buffer():
    m = Message(None)
    assert isinstance(m.body_buffer, memoryview) and bytes(m.body_buffer) == b""

    class Buffered(Content):
        body_buffer = memoryview(b"abc")

    m.content = Buffered(b"text/plain", b"abc")
    assert bytes(m.body_buffer) == b"abc"
    m.content = Content(b"text/plain", b"abc")
    assert bytes(m.body_buffer) == b""


def test_with_content_and_has_body():
    m = Message(None)
    assert m.has_body() is False
    c = Content(b"text/plain", b"hi")
    assert m.with_content(c) is m and m.content is c and m.has_body() is True
    assert m.with_content(Content(b"text/plain", b"")).has_body() is False
    assert m.with_content(None).content is None
    with pytest.raises(TypeError, match=r"Argument 'content' has incorrect type \(expected .*Content, got str\)"):
        m.with_content("x")


def test_weakref_and_cycle_collection():
    m = Message(None)
    m.context = m  # a cycle through a field
    ref = weakref.ref(m)
    del m
    gc.collect()
    assert ref() is None


# ---- header operations ------------------------------------------------------------


def test_lookups_are_case_insensitive_and_ordered():
    m = msg((b"Content-Type", b"a"), (b"content-type", b"b"), (b"x", b"c"))
    assert m.get_headers(b"CONTENT-TYPE") == [b"a", b"b"]
    assert m.get_first_header(b"content-type") == b"a"
    assert m.has_header(b"X") is True and m.has_header(b"y") is False
    with pytest.raises(ValueError, match="^Headers contains more than one header with the given key$"):
        m.get_single_header(b"content-type")
    assert m.get_single_header(b"X") == b"c"


def test_missing_headers():
    m = Message([])
    assert m.get_first_header(b"x") is None
    assert m.get_headers(b"x") == []
    with pytest.raises(ValueError, match="^Headers does not contain one header with the given key$"):
        m.get_single_header(b"x")


def test_long_and_unknown_keys():
    long_name = b"X-" + b"A" * 200
    m = msg((long_name, b"1"), (b"X-Custom-Thing", b"2"))
    assert m.get_first_header(long_name.lower()) == b"1"
    assert m.get_first_header(b"x-custom-THING") == b"2"


def test_add_and_set():
    m = msg((b"x-a", b"0"), (b"b", b"2"))
    m.set_header(b"X-A", b"1")
    assert m.headers.values == [(b"b", b"2"), (b"X-A", b"1")]
    m.add_header(b"b", b"3")
    m.add_header(b"b", b"3")
    assert m.get_headers(b"b") == [b"2", b"3", b"3"]
    m.remove_header(b"B")
    assert m.headers.values == [(b"X-A", b"1")]


def test_add_keeps_the_given_spelling():
    m = Message(None)
    m.add_header(b"X-Custom", b"v")
    assert m.headers.values[0][0] == b"X-Custom"


def test_remove_header_removes_equal_duplicates():
    m = msg((b"a", b"1"), (b"b", b"2"), (b"a", b"1"), (b"A", b"3"))
    m.remove_header(b"a")
    assert m.headers.values == [(b"b", b"2")]


@pytest.mark.parametrize("method", ["get_headers", "get_first_header", "get_single_header", "has_header", "remove_header"])
@pytest.mark.parametrize("bad", ["str", 1, bytearray(b"x")])
def test_key_type_errors(method, bad):
    with pytest.raises(TypeError) as info:
        getattr(Message(None), method)(bad)
    assert str(info.value) == (
        f"Argument 'key' has incorrect type (expected bytes, got {type(bad).__name__})"
    )


@pytest.mark.parametrize("method", ["get_headers", "get_first_header", "has_header", "remove_header"])
def test_none_key_fails_when_lowered(method):
    with pytest.raises(TypeError, match="lower"):
        getattr(msg((b"a", b"b")), method)(None)


def test_value_type_error_and_none_values():
    m = Message(None)
    with pytest.raises(TypeError, match=r"Argument 'value' has incorrect type \(expected bytes, got int\)"):
        m.add_header(b"a", 1)
    m.add_header(b"a", None)
    assert m.get_first_header(b"a") is None


def test_argument_count_and_keywords():
    m = msg((b"a", b"b"))
    assert m.get_first_header(key=b"a") == b"b"
    m.set_header(key=b"c", value=b"d")
    assert m.get_first_header(b"c") == b"d"
    with pytest.raises(TypeError, match=r"^get_headers\(\) takes exactly 1 positional argument \(2 given\)$"):
        m.get_headers(b"a", b"b")
    with pytest.raises(TypeError, match=r"^add_header\(\) takes exactly 2 positional arguments \(1 given\)$"):
        m.add_header(b"a")
    with pytest.raises(TypeError, match="multiple values for keyword argument 'key'"):
        m.get_headers(b"a", key=b"a")


@pytest.mark.parametrize(
    "entry, error, text",
    [
        (None, TypeError, "'NoneType' object is not subscriptable"),
        ([b"a", b"b"], TypeError, "Expected tuple, got list"),
        ((), IndexError, "tuple index out of range"),
    ],
)
def test_lookup_scan_rejects_bad_entries(entry, error, text):
    m = Message(None)
    m.headers.values.append(entry)
    with pytest.raises(error, match=text):
        m.get_headers(b"a")


def test_lookup_skips_str_names_but_has_header_rejects_them():
    m = msg(("a", b"1"), (b"a", b"2"))
    assert m.get_headers(b"a") == [b"2"]
    with pytest.raises(TypeError, match="Expected bytes, got str"):
        m.has_header(b"a")


@pytest.mark.parametrize(
    "entry, error, text",
    [
        ((b"a", b"b", b"c"), ValueError, r"too many values to unpack \(expected 2\)"),
        ((b"a",), ValueError, "need more than 1 value to unpack"),
        ([], ValueError, "need more than 0 values to unpack"),
        (None, TypeError, "'NoneType' object is not iterable"),
        ((b"a", 1), TypeError, "Expected bytes, got int"),
        ((None, b"v"), TypeError, "lower"),
    ],
)
def test_has_header_unpacking(entry, error, text):
    m = Message(None)
    m.headers.values.append(entry)
    with pytest.raises(error, match=text):
        m.has_header(b"zzz")


def test_has_header_accepts_any_pair_iterable():
    m = Message(None)
    m.headers.values.extend([[b"a", b"1"], iter((b"B", b"2"))])
    assert m.has_header(b"b") is True


def test_first_header_value_must_be_bytes():
    m = Message(None)
    m.headers.values.append((b"a", 5))
    assert m.get_headers(b"a") == [5]
    with pytest.raises(TypeError, match="Expected bytes, got int"):
        m.get_first_header(b"a")


# ---- Python overrides are seen by native callers -----------------------------------


class Recording(Message):
    def __init__(self, headers):
        super().__init__(headers)
        self.calls = []

    def get_headers(self, key):
        self.calls.append(("get_headers", key))
        return super().get_headers(key) + [b"extra"]

    def remove_header(self, key):
        self.calls.append(("remove_header", key))
        super().remove_header(key)

    def get_first_header(self, key):
        self.calls.append(("get_first_header", key))
        return b"application/json" if key == b"content-type" else super().get_first_header(key)


def test_overrides_reached_from_native_code():
    r = Recording([(b"a", b"1")])
    assert r.get_single_header(b"zz") == b"extra"  # native get_single_header -> override
    r.set_header(b"a", b"2")  # native set_header -> remove_header override
    assert ("remove_header", b"a") in r.calls
    assert r.headers.values == [(b"a", b"2")]
    assert r.declares_json() is True  # content_type -> get_first_header override
    assert r.charset == "utf8"


@pytest.mark.parametrize(
    "method, result, call, expected",
    [
        ("get_headers", (b"x",), lambda m: m.get_single_header(b"a"), "Expected list, got tuple"),
        ("get_first_header", "text", lambda m: m.content_type(), "Expected bytes, got str"),
        ("content_type", 1, lambda m: m.declares_json(), "Expected bytes, got int"),
        ("get_headers", [3], lambda m: m.get_single_header(b"a"), "Expected bytes, got int"),
    ],
)
def test_override_results_are_type_checked(method, result, call, expected):
    Sub = type("Sub", (Message,), {method: lambda self, *a: result})
    with pytest.raises(TypeError) as info:
        call(Sub(None))
    assert str(info.value) == expected


def test_override_added_after_class_creation_is_seen():
    class Late(Message):
        pass

    m = Late([(b"content-type", b"text/plain")])
    assert m.declares_json() is False
    Late.content_type = lambda self: b"application/json"
    assert m.declares_json() is True
    del Late.content_type
    assert m.declares_json() is False


# ---- content type and charset -----------------------------------------------------------


def test_content_type_prefers_the_content():
    m = msg((b"content-type", b"application/json"))
    m.content = Content(b"text/html", b"")
    assert m.content_type() == b"text/html"
    assert m.declares_json() is False
    m.content = Content(b"", b"")
    assert m.content_type() == b"application/json"


def test_no_content_type():
    m = Message(None)
    assert m.content_type() is None
    assert m.declares_json() is False and m.declares_xml() is False
    assert m.charset == "utf8"


@pytest.mark.parametrize(
    "value, json, xml",
    [
        (b"application/json", True, False),
        (b"application/problem+json", True, False),
        (b"TEXT/JSON; charset=utf-8", True, False),
        (b"application/xhtml+xml", False, True),
        (b"text/plain", False, False),
    ],
)
def test_declares(value, json, xml):
    m = msg((b"Content-Type", value))
    assert m.declares_json() is json and m.declares_xml() is xml
    assert m.declares_content_type(b"JSON") is json


def test_declares_content_type_argument():
    m = msg((b"content-type", b"text/plain"))
    with pytest.raises(TypeError, match=r"Argument 'type' has incorrect type \(expected bytes, got str\)"):
        m.declares_content_type("text")
    assert m.declares_content_type(type=b"PLAIN") is True


@pytest.mark.parametrize(
    "value, expected",
    [
        (b"text/plain; CHARSET=latin-1", "latin-1"),
        (b"text/plain", None),
        (b"text/plain;charset=", None),
        (b'text/plain; charset="utf-8"', None),
        (b'text/plain; charset="x"; charset=ISO_8859-1; q', "ISO_8859-1"),
        (b"charset=utf-8", "utf-8"),
        (b"text/plain; charset=ut\xe9f", "ut"),
    ],
)
def test_parse_charset(value, expected):
    result = parse_charset(value)
    assert result == expected
    assert result is None or type(result) is str


def test_parse_charset_uses_the_module_pattern_at_call_time():
    import re

    import brindlewick.messages as messages

    original = messages._charset_rx
    assert original.pattern == rb"charset=([\w\-]+)" and original.flags & re.I
    try:
        messages._charset_rx = re.compile(rb"cs=(\w+)")
        assert parse_charset(b"cs=abc") == "abc"
        assert parse_charset(b"charset=utf-8") is None
    finally:
        messages._charset_rx = original
    with pytest.raises(TypeError, match="Argument 'value'"):
        parse_charset("text/plain")


def test_charset_property():
    assert msg((b"Content-Type", b"text/plain; CHARSET=latin-1")).charset == "latin-1"
    assert msg((b"Content-Type", b"text/plain")).charset == "utf8"


# ---- pickling ----------------------------------------------------------------------


def test_pickle_round_trip():
    m = msg((b"a", b"1"))
    m.context = {"k": [1, 2]}
    m.content = Content(b"text/plain", b"x") if hasattr(Content, "__reduce__") else None
    m.content = None
    copy = pickle.loads(pickle.dumps(m))
    assert type(copy) is Message
    assert copy.headers.values == [(b"a", b"1")] and copy.context == {"k": [1, 2]}


class WithDict(Message):
    pass


def test_pickle_subclass_with_dict():
    m = WithDict(None)
    m.extra = 3
    reduced = m.__reduce__()
    assert reduced[1] == (WithDict, 0xA1874AD, None)
    assert len(reduced[2]) == 7 and reduced[2][6] == {"extra": 3}
    copy = pickle.loads(pickle.dumps(m))
    assert type(copy) is WithDict and copy.extra == 3


def test_reduce_without_state():
    m = Message.__new__(Message)
    assert m.__reduce__() == (_unpickle_Message, (Message, 0xA1874AD, (None,) * 6))


@pytest.mark.parametrize("checksum", [0xA1874AD, 0xFD1C94B, 0x388B856])
def test_unpickle_accepts_known_checksums(checksum):
    m = _unpickle_Message(Message, checksum, (None, None, [(b"a", b"b")], None, None, None))
    assert m.get_first_header(b"a") == b"b"


def test_unpickle_errors():
    with pytest.raises(pickle.PickleError) as info:
        _unpickle_Message(Message, 0x1, None)
    assert str(info.value) == (
        "Incompatible checksums (0x1 vs (0xa1874ad, 0xfd1c94b, 0x388b856) = "
        "(_form_data, _headers, _raw_headers, content, context, scope_protocol))"
    )
    with pytest.raises(TypeError, match="Expected list, got tuple"):
        _unpickle_Message(Message, 0xA1874AD, (None, None, (), None, None, None))
    with pytest.raises(TypeError, match="Expected Headers, got int"):
        _unpickle_Message(Message, 0xA1874AD, (None, 1, None, None, None, None))
    with pytest.raises(TypeError):
        _unpickle_Message(int, 0xA1874AD, None)
    with pytest.raises(TypeError, match="Expected tuple, got list"):
        Message(None).__setstate__([None] * 6)
    with pytest.raises(IndexError, match="tuple index out of range"):
        Message(None).__setstate__((None,) * 5)


# ---- the published operation table ------------------------------------------

MESSAGE_TABLE_ENTRIES = [
    "get_headers", "get_first_header", "get_single_header", "remove_header", "_has_header", "has_header",
    "_add_header", "_add_header_if_missing", "add_header", "set_header", "content_type", "remove_headers",
    "get_headers_tuples", "with_content", "has_body", "declares_content_type", "declares_json", "declares_xml",
]


def capsule_api():
    import ctypes

    api = ctypes.pythonapi
    api.PyCapsule_GetName.restype = ctypes.c_char_p
    api.PyCapsule_GetName.argtypes = [ctypes.py_object]
    api.PyCapsule_GetPointer.restype = ctypes.c_void_p
    api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    return api


def message_table_signature():
    return capsule_api().PyCapsule_GetName(Message.__dict__["__pyx_vtable__"])


def test_message_publishes_its_table_with_a_signature_of_every_entry():
    signature = message_table_signature().decode()
    entries = [part.split(":")[0].strip() for part in signature.split(";")]
    assert entries == MESSAGE_TABLE_ENTRIES
    assert "get_headers: PyObject *(struct MessageObject *, PyObject *, int)" in signature


def import_vtable():
    """bw::capi::import_vtable of the core library, called as a C function."""
    import ctypes

    import brindlewick

    path = next(p for p in (pathlib.Path(brindlewick.__file__).parent).glob("_brindlewick_core*.so"))
    core = ctypes.PyDLL(str(path))
    fn = core._ZN2bw4capi13import_vtableEP11_typeobjectPKcPPv
    fn.restype = ctypes.c_int
    fn.argtypes = [ctypes.py_object, ctypes.c_char_p, ctypes.POINTER(ctypes.c_void_p)]

    def call(type_, signature):
        out = ctypes.c_void_p()
        fn(type_, signature, ctypes.byref(out))
        return out.value

    return call


def test_table_import_accepts_the_signature_and_refuses_others():
    call = import_vtable()
    signature = message_table_signature()
    capsule = Message.__dict__["__pyx_vtable__"]
    assert call(Message, signature) == capsule_api().PyCapsule_GetPointer(capsule, signature)
    wrong = signature.replace(b"declares_xml: int", b"declares_xml: long")
    with pytest.raises(TypeError) as info:
        call(Message, wrong)
    assert str(info.value) == (
        f"C vtable brindlewick.messages.Message has wrong signature "
        f"(expected {wrong.decode()[:500]}, got {signature.decode()[:500]})"
    )

    class Sub(Message):
        pass

    with pytest.raises(ImportError, match=r"^.*Sub does not export its C vtable$"):
        call(Sub, signature)


@pytest.mark.parametrize(
    "type_name, own_entries",
    [("Request", ["expect_100_continue", "reset", "alloc_scratchpad"]), ("Response", ["is_redirect", "reset"])],
)
def test_subtypes_publish_their_tables_after_messages_entries(type_name, own_entries):
    import brindlewick.messages as messages

    type_ = getattr(messages, type_name)
    signature = capsule_api().PyCapsule_GetName(type_.__dict__["__pyx_vtable__"]).decode()
    entries = [part.split(":")[0].strip() for part in signature.split(";")]
    assert entries == MESSAGE_TABLE_ENTRIES + own_entries
    assert signature.startswith(message_table_signature().decode())
    # The subtype's own table, not its base's.
    assert import_vtable()(type_, signature.encode()) != import_vtable()(messages.Message, message_table_signature())
