"""Limits on the request bodies the framework reads.

``max_body_size`` bounds what is read whole into memory: ``read()``,
``read_buffer()``, ``read_detached()``, ``text()``, ``json()``, ``form()``
(URL-encoded bodies, and the fields of multipart bodies that are not files).
``max_stream_size`` bounds what ``stream()`` hands out, and with it
``multipart_stream()`` and the files of a multipart ``form()``, which spool
to disk; it is unlimited by default.  ``None`` means no limit.

A body past its limit raises ``PayloadTooLarge`` (a ``BadRequest`` with
status 413), before anything is read when the request's Content-Length
already says so.  These are the defaults of every message; an application
changes them for its requests with ``rsgi_app(handler, max_body_size=...)``
or ``asgi_app(...)``, and for one request through ``request.max_body_size``
and ``request.max_stream_size``.  ``brindlewick.messages`` reads these
settings when it is imported; ``use()`` and ``reset()`` apply to messages
created or recycled afterwards.
"""

import sys

__all__ = ["BodySettings", "body_settings", "DEFAULT_MAX_BODY_SIZE"]

DEFAULT_MAX_BODY_SIZE = 16 * 1024 * 1024

_UNSET = object()


def _limit(name: str, value):
    if value is None:
        return None
    if type(value) is not int:
        raise TypeError(f"{name} must be an int or None, got {type(value).__name__}")
    if value < 0:
        raise ValueError(f"{name} must not be negative")
    return value


class BodySettings:
    __slots__ = ("max_body_size", "max_stream_size")

    def __init__(self):
        self.max_body_size = DEFAULT_MAX_BODY_SIZE
        self.max_stream_size = None

    def use(self, *, max_body_size=_UNSET, max_stream_size=_UNSET) -> None:
        """Sets the default limits (bytes, or None for no limit)."""
        body = self.max_body_size if max_body_size is _UNSET else _limit("max_body_size", max_body_size)
        stream = self.max_stream_size if max_stream_size is _UNSET else _limit("max_stream_size", max_stream_size)
        self.max_body_size, self.max_stream_size = body, stream
        _apply()

    def reset(self) -> None:
        self.max_body_size = DEFAULT_MAX_BODY_SIZE
        self.max_stream_size = None
        _apply()


def _apply() -> None:
    # The message module keeps the defaults natively; it reads them again
    # when it is already loaded (otherwise it reads them when it loads).
    messages = sys.modules.get("brindlewick.messages")
    if messages is not None:
        messages._apply_body_settings()


body_settings = BodySettings()
