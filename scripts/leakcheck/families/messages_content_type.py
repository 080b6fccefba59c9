"""Content type, declares_*, charset and parse_charset, with overrides."""

from brindlewick.contents import Content
from brindlewick.messages import Message, parse_charset

from leakcheck.support import cases, raises

ITERATIONS = 10_000

LATIN = [(b"Content-Type", b"text/plain; CHARSET=latin-1")]
JSON = [(b"content-type", b"application/problem+json")]


class Overriding(Message):
    def get_first_header(self, key):
        return b"application/json" if key == b"content-type" else super().get_first_header(key)


class Late(Message):
    pass


def with_content():
    m = Message(JSON)
    m.content = Content(b"text/html", b"")
    return m.content_type()


def late_override():
    m = Late(LATIN)
    Late.content_type = lambda self: b"application/json"
    m.declares_json()
    del Late.content_type
    m.declares_json()


def operations():
    ops = [
        ("content_type()", lambda: Message(LATIN).content_type()),
        ("content_type() from the content", with_content),
        ("content_type() none", lambda: Message(None).content_type()),
        ("declares_json()", lambda: Message(JSON).declares_json()),
        ("declares_xml()", lambda: Message(LATIN).declares_xml()),
        ("declares_content_type()", lambda: Message(LATIN).declares_content_type(b"PLAIN")),
        ("declares_content_type(type=)", lambda: Message(LATIN).declares_content_type(type=b"plain")),
        ("charset", lambda: Message(LATIN).charset),
        ("charset default", lambda: Message(None).charset),
        ("override reached", lambda: Overriding(None).declares_json()),
        ("override added and removed", late_override),
        ("declares_content_type(str)", raises(TypeError, lambda: Message(LATIN).declares_content_type("text"))),
        ("parse_charset(str)", raises(TypeError, parse_charset, "text/plain")),
    ]
    for case in cases("test_message_core", "test_parse_charset"):
        ops.append((f"parse_charset({case['value']!r})", lambda v=case["value"]: parse_charset(v)))
    for case in cases("test_message_core", "test_declares"):
        ops.append((f"declares on {case['value']!r}", lambda v=case["value"]: Message([(b"Content-Type", v)]).declares_json()))
    return ops
