from collections.abc import AsyncIterator, Awaitable, Callable, Coroutine, Iterator
from re import Pattern
from typing import Any

from brindlewick.contents import Content, ServerSentEvent
from brindlewick.cookies import Cookie
from brindlewick.messages import Request, Response

MAX_RESPONSE_CHUNK_SIZE: int
_NEW_LINES_RX: Pattern[str]
KNOWN_HEADERS: dict[str, bytes]
HEADER_VAL_BYTES: dict[str, bytes]
_PREBUILT_JSON_HEADERS: list[tuple[str, str]]
_PREBUILT_TEXT_PLAIN_UTF8_HEADERS: list[tuple[str, str]]
_PREBUILT_TEXT_PLAIN_HEADERS: list[tuple[str, str]]
_PREBUILT_TEXT_HTML_UTF8_HEADERS: list[tuple[str, str]]
_PREBUILT_TEXT_HTML_HEADERS: list[tuple[str, str]]
EMPTY_HEADERS: list[tuple[str, str]]
STATIC_HEADERS_BY_CT_BYTES: dict[bytes, list[tuple[str, str]]]
KNOWN_OUTBOUND_HEADER_NAME_STR: dict[bytes, str]
KNOWN_OUTBOUND_HEADER_VAL_STR: dict[bytes, str]
CT_STR_CACHE: dict[bytes, str]

def set_headers_for_response_content(message: Response) -> None: ...
def write_response_cookie(cookie: Cookie | None) -> bytes: ...
def send_asgi_response(response: Response, send: Callable[[dict[str, Any]], Awaitable[Any]]) -> Coroutine[Any, Any, None]: ...
def get_chunks(data: bytes) -> Iterator[bytes]: ...
def write_chunks(http_content: Content | None) -> AsyncIterator[bytes]: ...
def extract_rsgi_headers(raw_headers: Any) -> list[tuple[bytes, bytes]]: ...
def instantiate_rsgi_request(scope: Any, protocol: Any) -> Request: ...

class RSGIExchange:
    """An RSGI application serving ``await handler(request) -> Response``; the
    hooks are called with (exception, method, path) when the handler fails
    (returning the Response to send, or None to answer nothing) and when
    writing the response fails."""
    @property
    def handler(self) -> Callable[[Request], Awaitable[Response]]: ...
    def __init__(
        self,
        handler: Callable[[Request], Awaitable[Response]],
        on_failure: Callable[[Exception, str, str], Response | None],
        on_send_failure: Callable[[Exception, str, str], object],
        *,
        max_body_size: int = -2,  # given to each request: -1 no limit, -2 the request's default
    ) -> None: ...
    def __rsgi__(self, scope: Any, protocol: Any) -> Coroutine[Any, Any, None]: ...

class ASGIExchange:
    """An ASGI 3 application serving ``await handler(request) -> Response``
    for "http" scopes, with the same hooks as ``RSGIExchange``; the other
    scopes are passed to ``on_other_scope(scope, receive, send)``."""
    @property
    def handler(self) -> Callable[[Request], Awaitable[Response]]: ...
    def __init__(
        self,
        handler: Callable[[Request], Awaitable[Response]],
        on_failure: Callable[[Exception, str, str], Response | None],
        on_send_failure: Callable[[Exception, str, str], object],
        on_other_scope: Callable[[dict[str, Any], Any, Any], Awaitable[None]],
        *,
        max_body_size: int = -2,
    ) -> None: ...
    def __call__(self, scope: dict[str, Any], receive: Any, send: Any) -> Coroutine[Any, Any, None]: ...

def send_rsgi_response_sync(response: Response, protocol: Any) -> Coroutine[Any, Any, None] | None: ...
def send_rsgi_response(response: Response, protocol: Any) -> Coroutine[Any, Any, None]: ...
def _send_rsgi_stream(response: Response, protocol: Any, headers: list[tuple[str, str]], content: Content, /) -> Coroutine[Any, Any, None]: ...
def write_sse(event: ServerSentEvent) -> bytes: ...
