"""brindlewick.scribe.write_sse: the text/event-stream form of one event, byte-exact."""

import pytest

from brindlewick.contents import ServerSentEvent, TextServerSentEvent
from brindlewick.scribe import write_sse


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        ({"data": "hi"}, b'data: "hi"\n\n'),
        ({"data": None}, b"\n"),
        ({"data": 0}, b"\n"),
        ({"data": ""}, b"\n"),
        ({"data": {"a": 1}, "retry": 0}, b'data: {"a":1}\nretry: 0\n\n'),
        ({"data": None, "retry": 1500}, b"retry: 1500\n\n"),
        ({"data": None, "retry": -1}, b"\n"),
        ({"data": None, "id": "", "event": "", "comment": ""}, b"\n"),
        ({"data": None, "id": "a\r\nb\nc"}, b"id: abc\n\n"),
        ({"data": None, "comment": "x\ny"}, b": x\n: y\n\n"),
        ({"data": None, "comment": "x\n"}, b": x\n: \n\n"),
        ({"data": None, "comment": "x\r\ny"}, b": x\n: y\n\n"),
        ({"data": None, "event": "up\ndate"}, b"event: update\n\n"),
        ({"data": "\u00e9\u20ac", "event": "caf\u00e9", "id": "\u2603"},
         "id: \u2603\nevent: caf\u00e9\ndata: \"\u00e9\u20ac\"\n\n".encode()),
        ({"data": [1], "event": "e", "id": "7", "retry": 3, "comment": "c"},
         b'id: 7\n: c\nevent: e\ndata: [1]\nretry: 3\n\n'),
    ],
)
def test_event_form(kwargs, expected):
    assert write_sse(ServerSentEvent(**kwargs)) == expected


def test_field_order_does_not_depend_on_assignment_order():
    event = ServerSentEvent(None)
    event.retry = 5
    event.data = "d"
    event.event = "e"
    event.comment = "c"
    event.id = "i"
    assert write_sse(event) == b'id: i\n: c\nevent: e\ndata: "d"\nretry: 5\n\n'


@pytest.mark.parametrize(
    "text, expected",
    [
        ("hi", b"data: hi\n\n"),
        # one data line per line: a reader joins them back with LF
        ("a\nb", b"data: a\ndata: b\n\n"),
        ("a\r\nb\rc\n", b"data: a\ndata: b\ndata: c\ndata: \n\n"),
        ("x\rdata: forged", b"data: x\ndata: data: forged\n\n"),
    ],
)
def test_text_event_writes_its_text(text, expected):
    assert write_sse(TextServerSentEvent(text)) == expected


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        # a lone CR ends a line for event-stream readers: it cannot inject a field
        ({"id": "1\rdata: forged"}, b"id: 1data: forged\n\n"),
        ({"event": "a\rretry: 1"}, b"event: aretry: 1\n\n"),
        ({"comment": "x\rdata: forged"}, b": x\n: data: forged\n\n"),
        ({"comment": "a\r\rb\n\r\nc"}, b": a\n: \n: b\n: \n: c\n\n"),
        ({"comment": "x\r"}, b": x\n: \n\n"),
    ],
)
def test_lone_carriage_returns_are_line_breaks(kwargs, expected):
    assert write_sse(ServerSentEvent(None, **kwargs)) == expected


def test_write_data_override_is_used():
    class Custom(ServerSentEvent):
        def write_data(self):
            return "custom"

    assert write_sse(Custom({"ignored": True}, id="1")) == b"id: 1\ndata: custom\n\n"


def test_write_data_errors_propagate():
    class Broken(ServerSentEvent):
        def write_data(self):
            raise ValueError("no data")

    with pytest.raises(ValueError, match="no data"):
        write_sse(Broken("x"))
    with pytest.raises(TypeError):
        write_sse(ServerSentEvent(object()))


def test_surrogates_cannot_be_encoded():
    with pytest.raises(UnicodeEncodeError):
        write_sse(ServerSentEvent(None, id="\ud800"))


@pytest.mark.parametrize("bad", [None, "data: x", object()])
def test_wants_an_event(bad):
    with pytest.raises(TypeError, match="Argument 'event' has incorrect type"):
        write_sse(bad)
