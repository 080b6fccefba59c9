"""A small application for the end-to-end tests of hostile input
(test_e2e_hostile_input.py), served through brindlewick.serve on granian
(RSGI, ASGI) and uvicorn: each route reads the request one way and answers
what it read, so the tests see the status and the reading the server's
client got.  Its limit for whole-body reads is 1 MiB (the application's
own), except for the route /default-limit, which restores the default."""

import msgspec

from brindlewick.contents import Content, StreamedContent, TextServerSentEvent
from brindlewick.messages import acquire_response
from brindlewick.scribe import write_sse
from brindlewick.serve import asgi_app, rsgi_app

MAX_BODY_SIZE = 1 << 20


def answer(data, status=200):
    return acquire_response(status, None, Content(b"application/json", msgspec.json.encode(data)))


async def form(request):
    data = await request.form()
    if data is None:
        return None
    return {k: (v if isinstance(v, (str, list)) else {"filename": v.file_name.decode(), "size": v.size})
            for k, v in data.items()}


async def multipart_stream(request):
    parts = []
    async for part in request.multipart_stream():
        size = 0
        async for chunk in part.stream():
            size += len(chunk)
        parts.append([part.name, part.file_name, size])
    return parts


async def stream(request):
    return sum([len(chunk) async for chunk in request.stream()])


async def read(request):
    return len(await request.read())


async def default_limit(request):
    del request.max_body_size
    return len(await request.read())


async def events(request):
    async def produce():
        yield write_sse(TextServerSentEvent("line one\nline two\r\nline three", id="7"))

    return acquire_response(200, None, StreamedContent(b"text/event-stream", produce))


ROUTES = {
    "/json": lambda r: r.json(),
    "/text": lambda r: r.text(),
    "/form": form,
    "/multipart": lambda r: r.multipart(),
    "/files": lambda r: r.files(),
    "/multipart-stream": multipart_stream,
    "/stream": stream,
    "/read": read,
    "/default-limit": default_limit,
}


async def handler(request):
    path = request.path
    if path == "/cookies":
        return answer(request.cookies)
    if path == "/events":
        return await events(request)
    if path == "/declares-json":
        return answer({"declares_json": request.declares_json(), "json": await request.json()})
    route = ROUTES.get(path)
    if route is None:
        return answer({"error": "Not Found"}, 404)
    result = await route(request)
    if path in ("/multipart", "/files"):
        result = [[p.name.decode(), p.file_name and p.file_name.decode(), p.size] for p in result]
    return answer({"read": result})


rsgi = rsgi_app(handler, max_body_size=MAX_BODY_SIZE)
asgi = asgi_app(handler, max_body_size=MAX_BODY_SIZE)
