"""The demo application as bench/load.py serves it: every route of
``brindlewick.demo.app``, plus ``GET /_pools``, which answers the sizes of
the pools of the thread that serves it (the thread that serves every other
request too), so that the load run can check them against their bound."""

from brindlewick import messages
from brindlewick.demo.app import handle, json_response
from brindlewick.serve import asgi_app, rsgi_app


async def handler(request):
    if request.path == "/_pools":
        tls = messages._TLS
        return json_response({"requests": len(tls.requests or ()), "responses": len(tls.responses or ())})
    return await handle(request)


rsgi = rsgi_app(handler)
asgi = asgi_app(handler)
