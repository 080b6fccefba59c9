"""Applications the end-to-end benchmark serves beside the demo: the raw
floors (no framework: the JSON bytes written straight to the server) and
Starlette's equivalents of the demo's routes."""

import hashlib

BODY = b'{"message":"Hello, World!"}'


class RawRSGI:
    """The RSGI floor: every request answered with the same JSON bytes."""

    async def __rsgi__(self, scope, protocol):
        protocol.response_bytes(200, [("content-type", "application/json")], BODY)


raw_rsgi = RawRSGI()

_RAW_START = {
    "type": "http.response.start",
    "status": 200,
    "headers": [(b"content-type", b"application/json"), (b"content-length", str(len(BODY)).encode())],
}
_RAW_BODY = {"type": "http.response.body", "body": BODY, "more_body": False}


async def raw_asgi(scope, receive, send):
    """The ASGI floor."""
    if scope["type"] == "lifespan":
        while True:
            message = await receive()
            if message["type"] == "lifespan.startup":
                await send({"type": "lifespan.startup.complete"})
            elif message["type"] == "lifespan.shutdown":
                await send({"type": "lifespan.shutdown.complete"})
                return
    await send(_RAW_START)
    await send(_RAW_BODY)


def _starlette():
    from starlette.applications import Starlette
    from starlette.datastructures import UploadFile
    from starlette.responses import JSONResponse
    from starlette.routing import Route

    async def hello(request):
        return JSONResponse({"message": "Hello, World!"})

    async def echo(request):
        return JSONResponse(await request.json())

    async def upload(request):
        fields, files = [], []
        async with request.form(max_part_size=64 << 20) as form:
            for name, value in form.multi_items():
                if isinstance(value, UploadFile):
                    digest, size = hashlib.sha256(), 0
                    while chunk := await value.read(65536):
                        digest.update(chunk)
                        size += len(chunk)
                    files.append({"name": name, "filename": value.filename, "size": size, "sha256": digest.hexdigest()})
                else:
                    fields.append(name)
        return JSONResponse({"fields": fields, "files": files})

    return Starlette(routes=[Route("/", hello), Route("/echo", echo, methods=["POST"]),
                             Route("/upload", upload, methods=["POST"])])


starlette_app = _starlette()
