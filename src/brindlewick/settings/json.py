"""JSON serialisation settings of the framework (msgspec by default)."""

from typing import Any, Callable

import msgspec

__all__ = ["JSONSettings", "json_settings"]

_encoder = msgspec.json.Encoder()
_decoder = msgspec.json.Decoder()


def default_dumps(obj: Any) -> str:
    return _encoder.encode(obj).decode("utf-8")


def default_loads(text) -> Any:
    return _decoder.decode(text)


class JSONSettings:
    __slots__ = ("_loads", "_dumps", "has_custom_loads", "has_custom_dumps")

    def __init__(self):
        self.reset()

    def use(self, loads: Callable[[str], Any] = None, dumps: Callable[[Any], str] = None) -> None:
        if loads is not None:
            self._loads = loads
            self.has_custom_loads = True
        if dumps is not None:
            self._dumps = dumps
            self.has_custom_dumps = True

    def reset(self) -> None:
        self._loads = default_loads
        self._dumps = default_dumps
        self.has_custom_loads = False
        self.has_custom_dumps = False

    def loads(self, text) -> Any:
        return self._loads(text)

    def dumps(self, obj: Any) -> str:
        return self._dumps(obj)


json_settings = JSONSettings()
