"""The Python sibling modules: headers, exceptions, sessions, settings, time, identities."""

from datetime import timezone

import pytest

from brindlewick import exceptions
from brindlewick.headers import Header, Headers
from brindlewick.sessions import Session
from brindlewick.settings.encodings import encodings_settings
from brindlewick.settings.json import json_settings
from brindlewick.utils.time import utcnow
from wardkeep import Identity


def test_headers_view_shares_the_list():
    raw = [(b"Content-Type", b"text/plain"), (b"x", b"1"), (b"X", b"2")]
    h = Headers(raw)
    assert h.values is raw and len(h) == 3
    assert h.get(b"x") == (b"1", b"2") and h[b"X"] == (b"1", b"2")
    assert h.get_first(b"content-type") == b"text/plain" and h.get_first(b"nope") is None
    assert b"CONTENT-TYPE" in h and b"nope" not in h
    h.set(b"x", b"3")
    assert raw[-1] == (b"x", b"3") and h.get(b"X") == (b"3",)
    h.add(b"y", b"4")
    h.remove(b"Y")
    assert b"y" not in h and list(h) == raw
    with pytest.raises(TypeError):
        Headers(("not", "a list"))
    assert Header(b"A", b"v") == (b"a", b"v")


@pytest.mark.parametrize(
    "cls, status",
    [
        (exceptions.BadRequest, 400),
        (exceptions.NotFound, 404),
        (exceptions.UnsupportedMediaType, 415),
        (exceptions.UnprocessableEntity, 422),
        (exceptions.InternalServerError, 500),
    ],
)
def test_http_exceptions(cls, status):
    error = cls("message")
    assert isinstance(error, exceptions.HTTPException) and error.status == status and str(error) == "message"


def test_bad_request_format_and_failed_request():
    source = ValueError("x")
    error = exceptions.BadRequestFormat("bad", source)
    assert isinstance(error, exceptions.BadRequest) and error.source_error is source
    failed = exceptions.FailedRequestError(503, "down")
    assert failed.status == 503 and failed.data == "down"


def test_session_tracks_changes():
    s = Session({"a": 1})
    assert not s.modified and s["a"] == 1 and "a" in s and s.get("b", 2) == 2
    s["b"] = 3
    assert s.modified
    del s["a"]
    assert "a" not in s
    s.clear()
    assert len(s) == 0 and s == {}


def test_json_settings_use_and_reset():
    assert json_settings.loads(b'{"a": 1}') == {"a": 1} and json_settings.dumps([1]) == "[1]"
    json_settings.use(loads=lambda text: "custom", dumps=lambda obj: "out")
    try:
        assert json_settings.has_custom_loads and json_settings.loads("x") == "custom"
        assert json_settings.dumps(1) == "out"
    finally:
        json_settings.reset()
    assert not json_settings.has_custom_loads


def test_encodings_fall_back_and_can_be_replaced():
    body = "caf\u00e9".encode("cp1252")
    error = UnicodeDecodeError("utf-8", body, 3, 4, "invalid")
    assert encodings_settings.decode(body, error) == "caf\u00e9"
    encodings_settings.use(lambda b, e: "mine")
    try:
        assert encodings_settings.decode(body, error) == "mine"
    finally:
        encodings_settings.reset()


def test_utcnow_is_aware_utc():
    assert utcnow().tzinfo is timezone.utc


def test_identity():
    anonymous = Identity()
    assert not anonymous.is_authenticated() and anonymous.claims == {} and anonymous.sub is None
    user = Identity({"sub": "u1", "role": "admin"}, "Bearer")
    assert user.is_authenticated() and user.sub == "u1" and user["role"] == "admin"
    assert user.get("missing", 0) == 0
