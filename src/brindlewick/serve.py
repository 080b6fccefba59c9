"""Application adapters: an ``async def handler(request) -> Response`` served
over RSGI (``rsgi_app``) and ASGI 3 (``asgi_app``).

One exchange: a pooled ``Request`` is built from the server's scope, the
handler runs, its ``Response`` is written through ``brindlewick.scribe``, and
both objects go back to their thread's pools, whatever happened in between.

Failures:
- a handler that raises ``HTTPException`` (``BadRequest``, ``NotFound``, ...)
  gets a JSON error response with its status and message (a client fault,
  a 4xx such as the 413 of a body past its limit, is logged at INFO without
  a traceback); any other exception
  (or a handler result that is not a ``Response``) gets a 500 whose body does
  not reveal the error, and the exception is logged with its traceback;
- a client that went away while its body was read ends only its own exchange:
  nothing is answered and nothing is logged above DEBUG;
- a failure while the response is written is logged and never followed by a
  second response: the server knows whether the head went out and closes or
  answers 500 on its own.

The adapters keep no reference to a request after it has been released.
"""

from __future__ import annotations

import inspect
import logging
import types

from brindlewick.contents import JSONContent
from brindlewick.exceptions import HTTPException, MessageAborted
from brindlewick.messages import Response, acquire_response
from brindlewick.scribe import ASGIExchange, RSGIExchange

__all__ = ["rsgi_app", "asgi_app", "client_address", "request_scheme", "logger"]

logger = logging.getLogger("brindlewick.serve")

_REASONS = {400: "Bad Request", 403: "Forbidden", 404: "Not Found", 413: "Payload Too Large",
            415: "Unsupported Media Type", 500: "Internal Server Error"}

# max_body_size of the native exchanges that leaves each request the default
# of brindlewick.settings.body; -1 there means no limit.
_REQUEST_DEFAULT = -2


def _native_limit(max_body_size) -> int:
    if max_body_size is None:
        return -1
    if type(max_body_size) is not int:
        raise TypeError(f"max_body_size must be an int or None, got {type(max_body_size).__name__}")
    if max_body_size < 0:
        raise ValueError("max_body_size must not be negative")
    return max_body_size


def _transport_errors() -> tuple[type[BaseException], ...]:
    """Exception types that mean the peer closed the connection."""
    errors: list[type[BaseException]] = [MessageAborted, ConnectionError]
    try:  # granian raises its own type when an RSGI transport is closed
        from granian._granian import RSGIProtocolClosed  # noqa: PLC0415
    except Exception:  # pragma: no cover - granian missing or changed
        pass
    else:
        errors.append(RSGIProtocolClosed)
    return tuple(errors)


_GONE = _transport_errors()


def _failure_response(exc: Exception, method, path) -> Response | None:
    """The response that replaces a failed handler's, or None when the client
    is gone and nothing should be answered."""
    if isinstance(exc, _GONE):
        logger.debug("%s %s: the client went away (%s)", method, path, type(exc).__name__)
        return None
    if isinstance(exc, HTTPException) and 400 <= exc.status < 500:
        status = exc.status
        message = exc.message or _REASONS.get(status, "Error")
        logger.info("%s %s: %d %s", method, path, status, message)
    else:
        status = exc.status if isinstance(exc, HTTPException) and 500 <= exc.status < 600 else 500
        message = _REASONS.get(status, "Server Error")
        logger.error("%s %s: the handler failed", method, path, exc_info=exc)
    return acquire_response(status, None, JSONContent({"error": message}))


def _log_send_failure(exc: Exception, method, path) -> None:
    if isinstance(exc, _GONE):
        logger.debug("%s %s: the client went away while the response was sent", method, path)
    else:
        logger.error("%s %s: sending the response failed", method, path, exc_info=exc)


class RSGIApp(RSGIExchange):
    """An RSGI application over ``handler``; made by ``rsgi_app``.

    The exchange itself (request, handler, response, release) runs natively
    in ``RSGIExchange``; this layer supplies what to answer when the handler
    fails and how a failed write is reported."""

    __slots__ = ()

    def __init__(self, handler, max_body_size: int = _REQUEST_DEFAULT):
        super().__init__(handler, _failure_response, _log_send_failure, max_body_size=max_body_size)


class ASGIApp(ASGIExchange):
    """An ASGI 3 application over ``handler``; made by ``asgi_app``.

    "http" scopes are served natively by ``ASGIExchange`` (request from the
    scope, ``ASGIContent`` over ``receive``, handler, ``send_asgi_response``,
    release); lifespan and websocket scopes come back here."""

    def __init__(self, handler, max_body_size: int = _REQUEST_DEFAULT):
        super().__init__(handler, _failure_response, _log_send_failure, _other_scope, max_body_size=max_body_size)
        # Servers that guess the ASGI version (uvicorn) look for a coroutine
        # function at `app.__call__`.  The instance attribute answers them;
        # calling the application still goes straight to the native call.
        self.__call__ = types.MethodType(_call_exchange, self)


@inspect.markcoroutinefunction
def _call_exchange(app, scope, receive, send):
    return ASGIExchange.__call__(app, scope, receive, send)


async def _other_scope(scope, receive, send):
    kind = scope["type"]
    if kind == "lifespan":
        await _lifespan(receive, send)
    elif kind == "websocket":
        await _refuse_websocket(receive, send)
    else:
        raise ValueError(f"unsupported ASGI scope type {kind!r}")


async def _lifespan(receive, send):
    while True:
        message = await receive()
        kind = message["type"]
        if kind == "lifespan.startup":
            await send({"type": "lifespan.startup.complete"})
        elif kind == "lifespan.shutdown":
            await send({"type": "lifespan.shutdown.complete"})
            return


async def _refuse_websocket(receive, send):
    message = await receive()
    if message["type"] == "websocket.connect":
        # Closing before accepting makes the server answer the upgrade with 403.
        await send({"type": "websocket.close", "code": 1008})


_DEFAULT = object()


def rsgi_app(handler, *, max_body_size=_DEFAULT) -> RSGIApp:
    """The RSGI application (``__rsgi__(scope, protocol)``) serving ``handler``,
    an ``async def handler(request) -> Response``.

    ``max_body_size`` (bytes, or None for no limit) is given to every request
    as its ``max_body_size``; by default requests keep the limit of
    ``brindlewick.settings.body`` (16 MiB)."""
    if not callable(handler):
        raise TypeError(f"handler must be callable, got {type(handler).__name__}")
    return RSGIApp(handler, _REQUEST_DEFAULT if max_body_size is _DEFAULT else _native_limit(max_body_size))


def asgi_app(handler, *, max_body_size=_DEFAULT) -> ASGIApp:
    """The ASGI 3 application (``await app(scope, receive, send)``) serving
    ``handler``, an ``async def handler(request) -> Response``; ``max_body_size``
    as for ``rsgi_app``."""
    if not callable(handler):
        raise TypeError(f"handler must be callable, got {type(handler).__name__}")
    return ASGIApp(handler, _REQUEST_DEFAULT if max_body_size is _DEFAULT else _native_limit(max_body_size))


def client_address(request) -> tuple[str, int]:
    """The peer's (address, port): ``(request.client_ip, request.client_port)``."""
    return request.client_ip, request.client_port


def request_scheme(request) -> str:
    """The request's scheme: ``request.scheme``, "http" when the server gives none."""
    return request.scheme or "http"
