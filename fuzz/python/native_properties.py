"""The properties of the libFuzzer targets (fuzz/targets/*.cpp), checked
through the Python-visible functions.  The test suite feeds every file of
fuzz/corpus/<target>/ through `PROPERTIES[target]`, so an input a fuzzer
found becomes a regression test by being added to the corpus.

Each function raises AssertionError when the property breaks; refusals of
bad input must be the documented exception types."""

import codecs
import random
import struct
from urllib.parse import quote, unquote

from brindlewick._multipart import Parser
from brindlewick.contents import Content, charset_codec, parse_www_form_urlencoded
from brindlewick.cookies import parse_cookie, split_value, write_cookie_for_response
from brindlewick.exceptions import BadRequest
from brindlewick.messages import Message, Request, _charset_rx, parse_charset
from brindlewick.scribe import KNOWN_HEADERS, extract_rsgi_headers
from brindlewick.settings.encodings import default_decode
from brindlewick.url import URL, InvalidURL

from fuzzinput import Input


def charset(data: bytes) -> None:
    match = _charset_rx.search(data)
    want = match.group(1).decode("ascii") if match else None
    assert parse_charset(data) == want, (data, parse_charset(data), want)
    assert Message([(b"Content-Type", data)]).charset == (want or "utf8")


def _run_now(coro):
    """The result of a coroutine that completes without suspending."""
    try:
        coro.send(None)
    except StopIteration as done:
        return done.value
    raise AssertionError("the coroutine suspended")


def _form_of_message(content_type: bytes, body: bytes) -> None:
    """Message.form() by the media type only; a charset outside the listed
    labels is BadRequest, a listed one decodes with its codec, which is a
    text encoding and never utf-7."""
    media = content_type.split(b";")[0].strip(b" \t").lower()
    m = Message([(b"content-type", content_type)])
    m.content = Content(b"", body)
    label = parse_charset(content_type) or "utf8"
    try:
        codec = charset_codec(label)
    except BadRequest:
        codec = None
    else:
        info = codecs.lookup(codec)
        assert info._is_text_encoding and info.name != "utf-7", (label, codec)
    if media == b"multipart/form-data":
        try:
            _run_now(m.form())
        except BadRequest:
            pass
        return
    if media != b"application/x-www-form-urlencoded":
        assert _run_now(m.form()) is None, content_type
        return
    if codec is None:
        try:
            _run_now(m.form())
        except BadRequest:
            return
        raise AssertionError(f"charset {label!r} was used")
    try:
        text = body.decode(codec)
    except UnicodeDecodeError as error:
        text = default_decode(body, error)
    assert _run_now(m.form()) == parse_www_form_urlencoded(text), (content_type, body)


def forms(data: bytes) -> None:
    content_type, newline, body = data.partition(b"\n")
    if newline:
        _form_of_message(content_type, body)
    fields = parse_www_form_urlencoded(data)
    assert type(fields) is dict
    pairs = []
    for name, value in fields.items():
        if type(value) is list:
            assert len(value) >= 2
            pairs.extend((name, v) for v in value)
        else:
            pairs.append((name, value))
    encoded = "&".join(quote(n, safe="") + "=" + quote(v, safe="") for n, v in pairs)
    assert parse_www_form_urlencoded(encoded.encode()) == fields, (data, encoded)
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        return
    assert parse_www_form_urlencoded(text) == fields


def _set_cookie_value(raw: bytes) -> None:
    try:
        cookie = parse_cookie(raw)
    except ValueError:
        return
    written = write_cookie_for_response(cookie)
    again = parse_cookie(written)
    assert again == cookie, (raw, written)
    assert write_cookie_for_response(again) == written


def _cookie_model(raw: bytes) -> dict:
    """The lenient reading: ';' separates, spaces and tabs around names and
    values are trimmed, fragments without '=' or not UTF-8 are skipped."""
    cookies = {}
    for fragment in raw.split(b";"):
        name, eq, value = fragment.partition(b"=")
        if not eq:
            continue
        try:
            name, value = name.strip(b" \t").decode(), value.strip(b" \t").decode()
        except UnicodeDecodeError:
            continue
        cookies[unquote(name)] = unquote(value)
    return cookies


def _request_header(raw: bytes) -> None:
    cookies = Request("GET", b"/", [(b"cookie", raw)]).cookies
    assert cookies == _cookie_model(raw), (raw, cookies)
    # set_cookie writes a header that reads back the same.
    fresh = Request("GET", b"/", [])
    try:
        for name, value in cookies.items():
            fresh.set_cookie(name, value)
    except ValueError:
        return
    assert fresh.cookies == cookies, (raw, cookies, fresh.get_headers(b"cookie"))
    fresh = Request("GET", b"/", [])
    try:
        for name, value in cookies.items():
            fresh.set_cookie(name, value)
    except ValueError:
        return
    assert fresh.cookies == cookies, (raw, cookies, fresh.get_headers(b"cookie"))


def _split(raw: bytes) -> None:
    if b"=" not in raw:
        try:
            split_value(raw, b"=")
        except ValueError:
            return
        raise AssertionError("split_value split without a separator")
    left, _, right = raw.partition(b"=")
    assert split_value(raw, b"=") == (left.strip(b" \t"), right.strip(b" \t"))


def cookies(data: bytes) -> None:
    if not data:
        return
    (_set_cookie_value, _request_header, _split)[data[0] % 3](data[1:])


def _fields(url: URL):
    return (url.value, url.scheme, url.host, url.port, url.path, url.query, url.fragment, url.userinfo)


def url(data: bytes) -> None:
    base, lf, ref = data.partition(b"\n")
    try:
        u = URL(base)
    except InvalidURL:
        return
    assert _fields(URL(u.value)) == _fields(u)
    assert _fields(URL(str(u))) == _fields(u)
    if not lf:
        return
    try:
        joined = u.join(ref)
    except InvalidURL:
        return
    assert _fields(URL(joined.value)) == _fields(joined), (base, ref, joined)


def _multipart_run(boundary: bytes, body: bytes, mode: int, seed: int):
    rng = random.Random(seed)
    parser = Parser(boundary)
    pos = 0
    finished = False
    parts = []

    def feed():
        nonlocal pos, finished
        if pos >= len(body):
            assert not finished, "the parser asked for input after finish()"
            finished = True
            parser.finish()
            return
        n = len(body) if mode == 0 else 1 if mode == 1 else 1 + rng.randrange(3 if rng.randrange(4) == 0 else 97)
        parser.feed(body[pos:pos + n])
        pos += n

    try:
        while True:
            part = parser.next_part()
            if part is None:
                break
            if part == b"":
                feed()
                continue
            assert type(part) is tuple and len(part) == 4
            # No header value reaches the application with a line break or
            # NUL, filename* included.
            assert not any(f and any(c in f for c in "\r\n\x00") for f in part), part
            data = b""
            while True:
                piece = parser.read_data()
                if piece is None:
                    break
                if piece == b"":
                    feed()
                    continue
                data += piece
            parts.append((part, data))
    except BadRequest as exc:
        return parts, "BadRequest: " + str(exc)
    assert parser.done
    if not finished:
        parser.finish()  # the rest of the body is ignored
    return parts, "done"


def multipart(data: bytes) -> None:
    if len(data) < 6:
        return
    blen = 1 + data[0] % 70
    if len(data) < 1 + blen + 4:
        return
    boundary = data[1:1 + blen].replace(b"\r", b"-").replace(b"\n", b"-")
    (seed,) = struct.unpack("<I", data[1 + blen:1 + blen + 4])
    body = data[1 + blen + 4:]
    whole = _multipart_run(boundary, body, 0, seed)
    assert _multipart_run(boundary, body, 1, seed) == whole
    assert _multipart_run(boundary, body, 2, seed) == whole


def rsgi_headers(data: bytes) -> None:
    if not data:
        return
    shape = data[0]
    if shape & 3 == 3:
        shape &= ~0x30
    fields = data[1:].split(b"\0")
    if len(fields) % 2:
        fields.pop()

    def text(b):
        return b.decode("utf-8", "surrogateescape")

    pairs = []
    for i in range(0, len(fields), 2):
        name = fields[i] if shape >> 4 & 1 and i % 4 == 0 else text(fields[i])
        value = fields[i + 1] if shape >> 5 & 1 else text(fields[i + 1])
        pairs.append([name, value] if shape >> 6 & 1 else (name, value))
    source = [pairs, tuple(pairs), iter(pairs), None][shape & 3]
    if shape & 3 == 3:
        source = dict((p[0], p[1]) for p in pairs)
        pairs = list(source.items())

    def enc(x):
        return x if type(x) is bytes else x.encode("latin-1")

    try:
        expected = [(enc(n), enc(v)) for n, v in pairs]
    except UnicodeEncodeError:
        try:
            extract_rsgi_headers(source)
        except UnicodeEncodeError:
            return
        raise AssertionError("text beyond Latin-1 was accepted")
    got = extract_rsgi_headers(source)
    assert got == expected, (source, got)
    for (name_in, _), (name, _) in zip(pairs, got):
        if type(name_in) is str and name_in in KNOWN_HEADERS:
            assert name is KNOWN_HEADERS[name_in]


KNOWN = [b"content-type", b"Content-Type", b"host", b"HOST", b"set-cookie", b"x-forwarded-for",
         b"access-control-allow-credentials", b"cookie", b"etag", b"te", b"content-length"]


def _key(inp: Input, model) -> bytes:
    kind = inp.int(4)
    if kind == 0:
        return inp.choice(KNOWN)
    if kind == 1 and model:
        name = bytearray(inp.choice(model)[0])
        flips = inp.byte()
        for i in range(len(name)):
            if flips >> (i % 8) & 1 and chr(name[i]).isascii() and chr(name[i]).isalpha():
                name[i] ^= 0x20
        return bytes(name)
    if kind == 2:
        return bytes([65 + inp.int(2)]) * (60 + inp.int(11))
    return inp.bytes(80)


_TOKEN = frozenset(b"!#$%&'*+-.^_`|~0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ")


def _sendable(name: bytes, value: bytes) -> bool:
    """What the header setters store: a token name, a value without CR, LF or NUL."""
    return bool(name) and all(c in _TOKEN for c in name) and not any(c in b"\r\n\0" for c in value)


def _lower(b: bytes) -> bytes:
    return bytes(c | 0x20 if 65 <= c <= 90 else c for c in b)


def headers(data: bytes) -> None:
    """Lookups and edits of a Message against a list model with ASCII
    case-insensitive names (the program is read from the input with
    fuzzinput.Input, not the C++ target's reader)."""
    inp = Input(data)
    model = []
    for _ in range(inp.int(7)):
        model.append((_key(inp, model), inp.bytes(40)))
    m = Message(list(model))
    for _ in range(24):
        if inp.done:
            break
        op = inp.int(7)
        key = _key(inp, model)
        want = [v for n, v in model if _lower(n) == _lower(key)]
        if op == 0:
            assert m.get_headers(key) == want, (key, model)
        elif op == 1:
            assert m.get_first_header(key) == (want[0] if want else None)
        elif op == 2:
            if len(want) == 1:
                assert m.get_single_header(key) == want[0]
            else:
                try:
                    m.get_single_header(key)
                except ValueError:
                    pass
                else:
                    raise AssertionError("get_single_header answered for other than one header")
        elif op == 3:
            assert m.has_header(key) is bool(want)
        elif op == 4:
            m.remove_header(key)
            model = [(n, v) for n, v in model if _lower(n) != _lower(key)]
        else:
            value = inp.bytes(40)
            if not _sendable(key, value):  # refused, and nothing changes
                try:
                    (m.add_header if op == 5 else m.set_header)(key, value)
                except ValueError:
                    continue
                raise AssertionError("a header that cannot be sent was stored")
            if op == 5:
                m.add_header(key, value)
            else:
                m.set_header(key, value)
                model = [(n, v) for n, v in model if _lower(n) != _lower(key)]
            model.append((key, value))
    for name, _ in model:
        assert m.get_headers(name) == [v for n, v in model if _lower(n) == _lower(name)]


PROPERTIES = {
    "charset": charset,
    "forms": forms,
    "cookies": cookies,
    "url": url,
    "multipart": multipart,
    "rsgi_headers": rsgi_headers,
    "headers": headers,
}
