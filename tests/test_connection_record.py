"""The same request reads the same over ASGI and RSGI: every Request
property and every body reader, for requests delivered the way uvicorn
(ASGI) and granian (RSGI) deliver them, through the serving exchanges."""

import asyncio
import json
from urllib.parse import unquote

import pytest

from brindlewick.messages import Response
from brindlewick.serve import asgi_app, rsgi_app

pytestmark = pytest.mark.timeout(30)


class GranianHeaders:
    """granian's RSGI headers: a mapping with items(), names lower-cased."""

    def __init__(self, pairs):
        self._pairs = [(n.decode("latin-1").lower(), v.decode("latin-1")) for n, v in pairs]

    def items(self):
        return list(self._pairs)


class GranianScope:
    def __init__(self, **fields):
        self.__dict__.update(fields)


class GranianProtocol:
    def __init__(self, chunks):
        self.chunks = chunks
        self.answer = None

    async def __call__(self):
        return b"".join(self.chunks)

    def __aiter__(self):
        return self._iterate()

    async def _iterate(self):
        for chunk in self.chunks:
            yield chunk

    def response_bytes(self, status, headers, body):
        self.answer = body

    def response_str(self, status, headers, body):
        self.answer = body.encode()

    def response_empty(self, status, headers):
        self.answer = b""


def address_text(host, port):
    return f"[{host}]:{port}" if ":" in host else f"{host}:{port}"


def scopes(target, method, headers, client, scheme):
    """An ASGI scope as uvicorn gives it and an RSGI scope as granian gives it."""
    raw_path, _, query = target.partition(b"?")
    path = unquote(raw_path.decode("latin-1"), encoding="utf-8", errors="replace")
    server = ("127.0.0.1", 8000)
    asgi = {"type": "http", "asgi": {"version": "3.0", "spec_version": "2.3"}, "http_version": "1.1",
            "server": server, "client": client, "scheme": scheme, "root_path": "", "headers": list(headers),
            "method": method, "path": path, "raw_path": raw_path, "query_string": query}
    rsgi = GranianScope(proto="http", http_version="1.1", rsgi_version="1.6", method=method, path=path,
                        query_string=query.decode("latin-1"), headers=GranianHeaders(headers),
                        client=address_text(*client), server=address_text(*server), scheme=scheme, authority=None)
    return asgi, rsgi


async def read_everything(request):
    """What the handler sees: every property and every body reader."""
    seen = {}
    for name in ("method", "path", "query", "host", "client_ip", "client_port", "server", "scheme",
                 "base_path", "cookies"):
        try:
            seen[name] = getattr(request, name)
        except Exception as error:  # the same failure on both interfaces is the same answer
            seen[name] = f"{type(error).__name__}: {error}"
    url = request.url
    seen["url"] = (unquote(url.path.decode(), errors="replace"), url.query)
    seen["headers"] = list(request.headers.items())
    seen["read"] = await request.read()
    seen["text"] = await request.text()
    seen["stream"] = b"".join([chunk async for chunk in request.stream() if chunk])
    if request.declares_json():
        try:
            seen["json"] = await request.json()
        except Exception as error:
            seen["json"] = type(error).__name__
    if request.declares_content_type(b"application/x-www-form-urlencoded"):
        seen["form"] = await request.form()
    return seen


def serve(interface, scope, body_chunks):
    seen = []

    async def handler(request):
        seen.append(await read_everything(request))
        return Response(204)

    if interface == "asgi":
        messages = [{"type": "http.request", "body": c, "more_body": i < len(body_chunks) - 1}
                    for i, c in enumerate(body_chunks)] or [{"type": "http.request", "body": b""}]

        async def receive():
            return messages.pop(0) if messages else {"type": "http.disconnect"}

        async def send(message):
            pass

        asyncio.run(asgi_app(handler)(scope, receive, send))
    else:
        asyncio.run(rsgi_app(handler).__rsgi__(scope, GranianProtocol(body_chunks)))
    [got] = seen
    return got


JSON = [(b"content-type", b"application/json")]
FORM = [(b"content-type", b"application/x-www-form-urlencoded")]

REQUESTS = [
    (b"/a%20b/c", "GET", [], ()),
    (b"/a%2Fb%25c", "GET", [], ()),
    (b"/search?q=a+b&q=%2B&e=%C3%A9&blank=", "GET", [], ()),
    (b"/caf%C3%A9/%E2%82%AC", "GET", [], ()),
    (b"/bad%FF%zz", "GET", [], ()),
    (b"/a/../b/./c", "GET", [], ()),
    (b"/p", "GET", [(b"x-rep", b"1"), (b"x-rep", b"2"), (b"cookie", b"a=1; b=2"), (b"cookie", b"c=3")], ()),
    (b"/echo", "POST", JSON, (b'{"a": [1, ', b'"\xc3\xa9"]}')),
    (b"/echo", "POST", JSON, (b"{nope",)),
    (b"/form", "PUT", FORM, (b"a=1&b=%20x", b"&a=2")),
    (b"/text", "PATCH", [(b"content-type", b"text/plain; charset=iso-8859-1")], (b"caf\xe9",)),
    (b"/options", "OPTIONS", [], ()),
]


@pytest.mark.parametrize("client", [("10.1.2.3", 4242), ("2001:db8::7", 443)], ids=["ipv4", "ipv6"])
@pytest.mark.parametrize("scheme", ["http", "https"])
@pytest.mark.parametrize(("target", "method", "extra", "body"), REQUESTS,
                         ids=[r[0].decode("latin-1") + " " + r[1] for r in REQUESTS])
def test_asgi_and_rsgi_read_the_same_request_the_same(target, method, extra, body, client, scheme):
    headers = [(b"host", b"example.org:8080"), (b"user-agent", b"t/1")] + extra
    if body:
        headers.append((b"content-length", str(sum(map(len, body))).encode()))
    asgi, rsgi = scopes(target, method, headers, client, scheme)
    over_asgi = serve("asgi", asgi, list(body))
    over_rsgi = serve("rsgi", rsgi, list(body))
    assert over_asgi == over_rsgi
    assert over_asgi["path"] == asgi["path"] and over_asgi["url"][0] == asgi["path"]
    assert (over_asgi["client_ip"], over_asgi["client_port"], over_asgi["scheme"]) == (*client, scheme)
    assert over_asgi["server"] == ("127.0.0.1", 8000)
    if method == "POST" and body[0].startswith(b"{\""):
        assert over_asgi["json"] == json.loads(b"".join(body))
