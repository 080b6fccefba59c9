"""Python code that runs in the middle of a native operation (a tzinfo, a
__repr__, an __eq__, a __str__, a __hash__, a codec search function, a
__buffer__) and replaces or frees what that operation is working on.

Each case builds the objects under attack at run time, so that the field a
callback replaces holds the only reference to its old value: the native code
must have taken its own reference before the call.
"""

import asyncio
import codecs
import pickle
from datetime import datetime, timedelta, timezone, tzinfo

import pytest

from brindlewick._multipart import Parser
from brindlewick.contents import (
    ASGIContent,
    Content,
    FormContent,
    FormPart,
    ServerSentEvent,
    StreamedFormPart,
    simplify_multipart_data,
)
from brindlewick.exceptions import BadRequest, InvalidOperation
from brindlewick.cookies import Cookie, write_cookie_for_response


def fresh(text, n=300):
    """A str of its own (never a shared constant)."""
    return "".join([text] * n)


# ---- cookies --------------------------------------------------------------------


class Rewriting(tzinfo):
    """A tzinfo whose utcoffset runs `action` once, then answers UTC+1."""

    def __init__(self, action):
        self.action = action

    def utcoffset(self, dt):
        action, self.action = self.action, None
        if action:
            action()
        return timedelta(hours=1)

    def dst(self, dt):
        return None


@pytest.mark.parametrize("field", ["name", "value", "domain", "path"])
def test_write_cookie_while_utcoffset_replaces_a_field(field):
    cookie = Cookie(fresh("n"), fresh("v"), domain=fresh("d") + ".example", path="/" + fresh("p"))
    cookie.expires = datetime(2030, 1, 1, 13, 0, tzinfo=Rewriting(lambda: setattr(cookie, field, "other")))
    header = write_cookie_for_response(cookie)
    # The header shows the cookie as it is once the offset was asked for.
    expected = (
        f"{cookie.name}={cookie.value}; Expires=Tue, 01 Jan 2030 12:00:00 GMT; "
        f"Domain={cookie.domain}; Path={cookie.path}"
    ).encode()
    assert header == expected
    assert getattr(cookie, field) == "other"


def test_cookie_equality_while_utcoffset_replaces_the_other_expiry():
    a = Cookie("a", "1")
    b = Cookie("a", "1")
    a.expires = datetime(2030, 1, 1, 13, 0, tzinfo=Rewriting(lambda: setattr(b, "expires", None)))
    b.expires = datetime(2030, 1, 1, 12, 0, tzinfo=timezone(timedelta(hours=0), fresh("z", 40)))
    assert (a == b) in (True, False)
    assert b.expires is None


@pytest.mark.parametrize("field", ["domain", "path"])
def test_cookie_repr_while_expiry_repr_replaces_a_field(field):
    cookie = Cookie("n", "v", domain=fresh("d"), path=fresh("p"))
    old = repr(getattr(cookie, field))

    class Stamp(datetime):
        def __repr__(self):
            setattr(cookie, field, "other")
            return "Stamp()"

    cookie.expires = Stamp(2030, 1, 1)
    text = repr(cookie)
    assert f"{field}={old}" in text


# ---- contents: repr, equality ----------------------------------------------------------------


def test_event_repr_while_event_repr_replaces_the_id():
    class Name(str):
        def __repr__(self):
            ev.id = "other"
            return "'name'"

    ev = ServerSentEvent(None, event=Name("e"), id=fresh("i"))
    old = repr(ev.id)
    assert repr(ev).endswith(f"event='name' id={old} retry=-1>")


def test_event_json_while_encoding_drops_the_data():
    class Tz(tzinfo):
        def utcoffset(self, dt):
            ev.data = None
            return timedelta(0)

        def dst(self, dt):
            return None

        def tzname(self, dt):
            return "X"

    ev = ServerSentEvent([datetime(2030, 1, 1, tzinfo=Tz()), fresh("x", 50), [fresh("y", 50)]])
    text = ev.write_data()
    assert text.startswith('["2030-01-01T00:00:00')
    assert ev.data is None


class Reinit(bytes):
    """A name whose __repr__ / __eq__ re-initialises a form part."""

    target = None

    def _hit(self):
        target, Reinit.target = Reinit.target, None
        if target is not None:
            target.__init__(b"x", b"data", file_name=b"f", content_type=b"c", charset=b"s")

    def __repr__(self):
        self._hit()
        return "b'name'"

    def __eq__(self, other):
        self._hit()
        return bytes.__eq__(self, other)

    __hash__ = bytes.__hash__


def form_part(name):
    return FormPart(name, b"data", file_name=fresh("f").encode(), content_type=fresh("c").encode(),
                    charset=fresh("s").encode())


def test_form_part_repr_while_name_repr_reinitialises_it():
    part = form_part(Reinit(b"name"))
    old = repr(part.file_name)
    Reinit.target = part
    assert f"file_name={old}" in repr(part)


def test_form_part_equality_while_name_eq_reinitialises_the_other():
    a = form_part(Reinit(b"name"))
    b = form_part(b"name")
    Reinit.target = b
    # The parts are compared as they were when the comparison began.
    assert (a == b) is True
    assert b.name == b"x"


def test_streamed_form_part_repr_while_name_repr_replaces_a_field():
    class Name(str):
        def __repr__(self):
            part.file_name = "other"
            return "'n'"

    part = StreamedFormPart(name=Name("n"), file_name=fresh("f"))
    old = repr(part.file_name)
    assert f"file_name={old}" in repr(part)


# ---- contents: forms --------------------------------------------------------------------


class Clearing:
    """A form name whose str() empties a list, once."""

    def __init__(self, victim, text="k"):
        self.victim = victim
        self.text = text

    def __str__(self):
        victim, self.victim = self.victim, None
        if victim is not None:
            victim.clear()
        return self.text


class Value:
    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


def test_form_pair_whose_name_empties_the_pair():
    pair = []
    pair += [Clearing(pair), Value(fresh("v", 20))]
    body = FormContent([pair]).body
    assert body == b"k=" + b"v" * 20


def test_form_values_whose_name_empties_the_value_list():
    values = []
    values += [Value("one"), Value("two")]
    body = FormContent({Clearing(values): values}).body
    # The values were taken before the name ran: both are written.
    assert body in (b"k=one&k=two", b"k=one")


def test_form_dict_that_grows_while_written():
    data = {}

    class Growing:
        def __str__(self):
            for i in range(50):
                data[f"extra{i}"] = "x"
            return "k"

    data[Growing()] = "v"
    with pytest.raises(RuntimeError, match="changed size during iteration"):
        FormContent(data)


def test_restore_state_whose_key_hash_empties_the_state():
    class Sub(Content):
        pass

    state = {}

    class Key(str):
        def __hash__(self):
            state.clear()
            return str.__hash__(self)

        __eq__ = str.__eq__

    state[Key("attr")] = Value(fresh("v", 20))
    restore, args = Sub(b"t", b"body").__reduce__()
    obj = restore(*args[:-1], state)
    assert str(obj.attr) == "v" * 20


def test_pickled_content_state_round_trips():
    class_ = Sub = type("Sub", (Content,), {"__module__": __name__})
    globals()["Sub"] = Sub
    try:
        c = class_(b"t", b"b")
        c.note = "n"
        again = pickle.loads(pickle.dumps(c))
        assert (again.type, again.body, again.note) == (b"t", b"b", "n")
    finally:
        del globals()["Sub"]


def test_simplify_never_asks_the_codec_registry_about_a_client_charset():
    # A charset outside the allowed labels is refused before any codec
    # lookup, so no search function (Python code) runs on the part's behalf.
    charset = fresh("zz-no-such-charset-", 3)
    part = FormPart(fresh("field", 10).encode(), b"data", charset=charset.encode())
    searched = []

    def search(name):
        searched.append(name)
        part.__init__(b"x", b"y", charset=b"utf-8")
        return None

    codecs.register(search)
    try:
        with pytest.raises(BadRequest) as info:
            simplify_multipart_data({"a": part})
    finally:
        codecs.unregister(search)
    assert searched == [] and charset in str(info.value)


# ---- contents: server bodies ---------------------------------------------------------------


def run(coro):
    return asyncio.run(coro)


def test_asgi_more_body_bool_that_disposes_the_content():
    class Flag:
        def __bool__(self):
            content.dispose()
            return False

    async def receive():
        return {"type": "http.request", "body": b"abc", "more_body": Flag()}

    content = ASGIContent(receive)
    with pytest.raises(InvalidOperation, match="disposed"):
        run(content.read())
    assert content._data is None


@pytest.mark.parametrize("method", ["stream", "get_parts"])
def test_kept_body_whose_len_fails(method):
    class Body:
        def __len__(self):
            raise OSError("no length")

    async def receive():
        return {"type": "http.request", "body": b"abc", "more_body": False}

    content = ASGIContent(receive)
    run(content.read())
    content.body = Body()

    async def drain():
        return [c async for c in getattr(content, method)()]

    with pytest.raises(OSError, match="no length"):
        run(drain())


# ---- multipart ---------------------------------------------------------------------------------


def test_feed_whose_buffer_feeds_the_parser_again():
    parser = Parser(b"B")
    inner = bytearray(b"--B\r\n")

    class Chunk:
        def __buffer__(self, flags):
            parser.feed(inner)
            return memoryview(b"outer")

    with pytest.raises(ValueError, match="previous chunk"):
        parser.feed(Chunk())
    # Whichever chunk the parser keeps, it keeps exactly one view: once it is
    # consumed, the bytearray can be resized again.
    assert parser.next_part() == b""
    inner.extend(b"more")
