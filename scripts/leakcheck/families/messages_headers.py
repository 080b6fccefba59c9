"""Message construction and the header collection, with their error paths."""

from brindlewick.messages import Message

from leakcheck.support import cases, raises

ITERATIONS = 10_000

PAIRS = [(b"Content-Type", b"text/plain; charset=latin-1"), (b"Host", b"example.com"), (b"X-A", b"1"), (b"x-a", b"2")]
LONG = b"X-" + b"A" * 200


class Sub(Message):
    def get_headers(self, key):
        return super().get_headers(key) + [b"extra"]

    def remove_header(self, key):
        super().remove_header(key)

    def get_first_header(self, key):
        return super().get_first_header(key)


def with_entry(entry):
    m = Message(None)
    m.headers.values.append(entry)
    return m


def operations():
    ops = [
        ("Message(None)", lambda: Message(None)),
        ("Message([])", lambda: Message([])),
        ("Message(pairs)", lambda: Message(PAIRS)),
        ("Message(headers=pairs)", lambda: Message(headers=PAIRS)),
        ("Message(odd items)", lambda: Message([(b"Host", b"x"), [b"a", b"b"], (b"k",)])),
        ("Message.__new__", lambda: Message.__new__(Message)),
        ("Sub(pairs)", lambda: Sub(PAIRS)),
        ("headers view", lambda: Message(PAIRS).headers),
        ("cycle through context", cycle),
        ("field set/del", fields),
        ("get_headers", lambda: Message(PAIRS).get_headers(b"x-A")),
        ("get_first_header", lambda: Message(PAIRS).get_first_header(b"host")),
        ("get_first_header(missing)", lambda: Message(PAIRS).get_first_header(b"nope")),
        ("get_first_header(long key)", lambda: Message([(LONG, b"1")]).get_first_header(LONG.lower())),
        ("get_single_header", lambda: Message(PAIRS).get_single_header(b"HOST")),
        ("has_header", lambda: Message(PAIRS).has_header(b"x-a")),
        ("has_header(pair iterables)", has_iterables),
        ("add_header", lambda: Message(PAIRS).add_header(b"X-New", b"v")),
        ("add_header(None value)", lambda: Message(None).add_header(b"a", None)),
        ("set_header", lambda: Message(PAIRS).set_header(b"x-a", b"3")),
        ("set_header(keywords)", lambda: Message(PAIRS).set_header(key=b"c", value=b"d")),
        ("remove_header", lambda: Message(PAIRS).remove_header(b"X-A")),
        ("remove_header(other list)", raises(TypeError, remove_other)),
        ("Sub get_single_header", lambda: Sub(PAIRS).get_single_header(b"zz")),
        ("Sub set_header", lambda: Sub(PAIRS).set_header(b"x-a", b"9")),
        ("with_content / has_body", with_content),
        ("body_buffer", lambda: Message(None).body_buffer),
        ("get_headers(str name entries)", lambda: Message([("a", b"1"), (b"a", b"2")]).get_headers(b"a")),
        (
            "has_header(str name entry)",
            raises(TypeError, lambda: Message([("a", b"1"), (b"a", b"2")]).has_header(b"a")),
        ),
        (
            "get_first_header(int value)",
            raises(TypeError, lambda: with_entry((b"a", 5)).get_first_header(b"a")),
        ),
        ("get_single_header(several)", raises(ValueError, Message(PAIRS).get_single_header, b"x-a")),
        ("get_single_header(none)", raises(ValueError, Message(PAIRS).get_single_header, b"zz")),
        ("uninitialised get_headers", raises(TypeError, lambda: Message.__new__(Message).get_headers(b"a"))),
        ("uninitialised add_header", raises(AttributeError, lambda: Message.__new__(Message).add_header(b"a", b"b"))),
        ("add_header(int value)", raises(TypeError, lambda: Message(None).add_header(b"a", 1))),
        ("get_headers(2 args)", raises(TypeError, lambda: Message(PAIRS).get_headers(b"a", b"b"))),
        ("add_header(1 arg)", raises(TypeError, lambda: Message(PAIRS).add_header(b"a"))),
        ("get_headers(dup keyword)", raises(TypeError, lambda: Message(PAIRS).get_headers(b"a", key=b"a"))),
        ("content = bytes", raises(TypeError, setattr, Message(None), "content", b"x")),
        ("_headers = list", raises(TypeError, setattr, Message(None), "_headers", [])),
        ("with_content(str)", raises(TypeError, lambda: Message(None).with_content("x"))),
    ]
    for i, case in enumerate(cases("test_message_core", "test_construction_errors")):
        ops.append((f"construction error {i}: {case['message'][:30]}", raises(TypeError, case["call"])))
    for case in cases("test_message_core", "test_key_type_errors"):
        method, bad = case["method"], case["bad"]
        ops.append((f"{method}({type(bad).__name__} key)", raises(TypeError, lambda m=method, b=bad: getattr(Message(None), m)(b))))
    for case in cases("test_message_core", "test_none_key_fails_when_lowered"):
        method = case["method"]
        ops.append((f"{method}(None key)", raises(TypeError, lambda m=method: getattr(Message(PAIRS), m)(None))))
    for case in cases("test_message_core", "test_lookup_scan_rejects_bad_entries"):
        entry, error = case["entry"], case["error"]
        ops.append((f"lookup over bad entry {entry!r}", raises(error, lambda e=entry: with_entry(e).get_headers(b"a"))))
    for case in cases("test_message_core", "test_has_header_unpacking"):
        entry, error = case["entry"], case["error"]
        ops.append((f"has_header over bad entry {entry!r}", raises(error, lambda e=entry: with_entry(e).has_header(b"zzz"))))
    for i, case in enumerate(cases("test_message_core", "test_override_results_are_type_checked")):
        sub = type("Sub", (Message,), {case["method"]: lambda self, *a, r=case["result"]: r})
        ops.append((f"bad override result {i}: {case['method']}", raises(TypeError, case["call"], sub(None))))
    return ops


def cycle():
    m = Message(PAIRS)
    m.context = m


def fields():
    m = Message(None)
    obj = object()
    m.scope_protocol = obj
    m._form_data = obj
    m.context = obj
    del m.scope_protocol, m._form_data, m.context


def has_iterables():
    m = Message(None)
    m.headers.values.extend([[b"a", b"1"], iter((b"B", b"2"))])
    return m.has_header(b"b")


def remove_other():
    m = Message(None)
    m.headers.values.extend([[b"a", b"1"], (b"a", b"1"), (b"b", b"2")])
    m.remove_header(b"a")


def with_content():
    from brindlewick.contents import Content

    m = Message(None)
    m.with_content(Content(b"text/plain", b"hi")).has_body()
    m.with_content(None).has_body()
