"""HTTP cookies: the Cookie type and set-cookie values (native module)."""

from datetime import datetime
from enum import IntEnum
from typing import Any, ClassVar

__all__ = [
    "Cookie",
    "CookieSameSiteMode",
    "parse_cookie",
    "write_cookie_for_response",
    "datetime_to_cookie_format",
    "split_value",
]

__pyx_capi__: dict[str, Any]

class CookieSameSiteMode(IntEnum):
    UNDEFINED = 0
    LAX = 1
    STRICT = 2
    NONE = 3

class Cookie:
    """One HTTP cookie and its attributes.

    `name` must not be empty. `domain` and `path` are written as they are, so
    they must be ASCII without control characters or ';' (and, for `domain`,
    without spaces or ','); `max_age` is -1 (not set) or >= 0. A naive
    `expires` is taken as UTC. Equality compares every attribute, `expires`
    by the instant it names.
    """

    __hash__: ClassVar[None]  # type: ignore[assignment]
    name: str
    value: str
    expires: datetime | None
    domain: str | None
    path: str | None
    http_only: bool
    secure: bool
    max_age: int
    same_site: CookieSameSiteMode
    def __init__(
        self,
        name: str,
        value: str,
        expires: datetime | None = None,
        domain: str | None = None,
        path: str | None = None,
        http_only: bool = False,
        secure: bool = False,
        max_age: int = -1,
        same_site: CookieSameSiteMode = CookieSameSiteMode.UNDEFINED,
    ) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __reduce__(self) -> tuple[Any, ...]: ...

def parse_cookie(value: bytes) -> Cookie:
    """Reads one set-cookie header value; ValueError when it is malformed."""

def write_cookie_for_response(cookie: Cookie) -> bytes:
    """The set-cookie header value of `cookie`, name and value percent-encoded."""

def datetime_to_cookie_format(dt: datetime) -> bytes:
    """`dt` in IMF-fixdate form, converted to UTC (naive means UTC)."""

def split_value(fragment: bytes, separator: bytes) -> tuple[bytes, bytes]:
    """Splits at the first `separator`, stripping spaces and tabs around both
    parts; ValueError when there is none."""
