"""A small application for the end-to-end tests of what reaches the wire:
responses built from request input, served by brindlewick.serve."""

import msgspec

from brindlewick.contents import Content, StreamedContent
from brindlewick.messages import Response
from brindlewick.serve import asgi_app, rsgi_app


async def _endless():
    while True:
        yield b"x" * 65536


async def handle(request):
    path = request.path
    query = {k: v[-1] for k, v in request.query.items()}
    if path == "/status":
        return Response(int(query["code"]), None, Content(b"text/plain", b"odd status"))
    if path == "/no-content":  # a 204 (or 304) that carries a forged response as its body
        forged = b"HTTP/1.1 200 OK\r\ncontent-length: 17\r\n\r\n<script>x</script>"
        return Response(int(query.get("code", "204")), None, Content(b"text/html", forged))
    if path == "/redirect":
        return Response(302, [(b"location", query["to"].encode())])
    if path.startswith("/record"):  # what the request reads, for comparing servers
        seen = {"path": path, "query": request.query, "host": request.host, "client_ip": request.client_ip,
                "scheme": request.scheme, "cookies": request.cookies, "url_query": request.url.query.decode(),
                "body": (await request.read()).decode("latin-1"),
                "headers": [[n.decode(), v.decode()] for n, v in request.headers.items()
                            if n.lower() in (b"x-rep", b"cookie", b"content-type")]}
        return Response(200, None, Content(b"application/json", msgspec.json.encode(seen)))
    if path == "/stream":
        return Response(200, None, StreamedContent(b"application/octet-stream", _endless))
    return Response(200, None, Content(b"text/plain", b"ok"))


rsgi = rsgi_app(handle)
asgi = asgi_app(handle)
