"""How request bodies that are not valid in their declared charset are decoded."""

from typing import Callable

__all__ = ["EncodingsSettings", "encodings_settings", "default_decode"]

FALLBACK_ENCODINGS = ("utf-8", "cp1252", "latin-1")


def default_decode(body: bytes, error: UnicodeDecodeError) -> str:
    from brindlewick.exceptions import BadRequest

    for encoding in FALLBACK_ENCODINGS:
        try:
            return body.decode(encoding)
        except (UnicodeDecodeError, LookupError):
            continue
    raise BadRequest(f"Cannot decode the request content: {error}")


class EncodingsSettings:
    __slots__ = ("_decode",)

    def __init__(self):
        self._decode = default_decode

    def use(self, decode_function: Callable[[bytes, UnicodeDecodeError], str]) -> None:
        self._decode = decode_function

    def reset(self) -> None:
        self._decode = default_decode

    def decode(self, body: bytes, error: UnicodeDecodeError) -> str:
        return self._decode(body, error)


encodings_settings = EncodingsSettings()
