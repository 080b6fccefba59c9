"""Files under ``/files/``: the two guards that keep a name inside the served
folder, validators (a strong ``ETag`` from size and modification time,
``Last-Modified``) and the conditional requests they answer (``If-Match``,
``If-Unmodified-Since``, ``If-None-Match``, ``If-Modified-Since``), and
single byte ranges (``Range``, ``If-Range``).

Decisions:
- A name with a ``.`` or ``..`` segment is refused (403) before the file
  system is asked anything; the resolved path (every symlink followed) must
  then lie inside the served folder, so a symlink inside it that points
  outside is refused too (403), while one that points to another place
  inside is served like its target.
- A name the file system cannot use (too long, empty segments, a NUL, a
  symlink loop) or that is no regular file is a 404.
- Several ranges in one ``Range`` header, another unit, or a malformed
  value get the whole file (200): the header is ignored, as a server may.
  A range on an empty file cannot be expressed and is a 416 ``bytes */0``.
- The ETag is strong: it changes with the file's size or modification time
  (nanoseconds); two versions with both equal in one nanosecond would share
  it. ``Cache-Control: no-cache`` lets caches keep the file but makes them
  ask again (and get a 304) before each use.
"""

from __future__ import annotations

import mimetypes
import os
import re
import stat
import time
from datetime import UTC
from email.utils import formatdate, parsedate_to_datetime
from pathlib import Path

from brindlewick.contents import Content, StreamedContent
from brindlewick.exceptions import HTTPException, NotFound
from brindlewick.messages import acquire_response

__all__ = [
    "FileContent", "Forbidden", "UNSATISFIABLE", "parse_range", "parse_entity_tags", "resolve_file", "file_response",
]

# Size of the pieces a file is read in when the server cannot send files itself.
FILE_PIECE = 65536
CACHE_CONTROL = b"no-cache"
UNSATISFIABLE = "unsatisfiable"
# Numbers of more digits than this exceed any file size; they are not converted.
_MAX_DIGITS = 18
_HUGE = 10**_MAX_DIGITS
_JSON = b"application/json"


class Forbidden(HTTPException):
    def __init__(self, message: str = None):
        super().__init__(403, message)


class FileContent(StreamedContent):
    """A file, or one range of it. RSGI servers send it themselves
    (``file_path``, ``file_range`` as start and exclusive end); ASGI servers
    get it read in pieces. Its length is the exact number of bytes sent."""

    def __init__(self, content_type: bytes, path: str, start: int, end: int, whole: bool):
        super().__init__(content_type, self._pieces, end - start)
        self.file_path = path
        self.file_range = None if whole else (start, end)
        self._start = start
        self._end = end

    async def _pieces(self):
        with open(self.file_path, "rb") as file:
            file.seek(self._start)
            left = self._end - self._start
            while left > 0:
                data = file.read(min(FILE_PIECE, left))
                if not data:
                    raise OSError(f"{self.file_path} became shorter while it was sent")
                left -= len(data)
                yield data


# --- names -----------------------------------------------------------------


def resolve_file(root: Path, name: str) -> tuple[Path, os.stat_result]:
    """The regular file ``name`` stands for under ``root`` (a resolved
    directory) and its status. Raises ``Forbidden`` for a name that leaves
    the folder, ``NotFound`` for one that names no regular file in it."""
    parts = name.replace("\\", "/").split("/")
    # First guard: no dot segments, whatever the file system holds.
    if any(part in (".", "..") for part in parts):
        raise Forbidden("This path is not allowed")
    if "" in parts or "\x00" in name:
        raise NotFound("No such file")
    try:
        target = root.joinpath(*parts).resolve()
    except (OSError, RuntimeError, ValueError):
        raise NotFound("No such file") from None
    # Second guard: where the symlinks lead must still be inside the folder.
    if target == root or not target.is_relative_to(root):
        raise Forbidden("This path is not allowed")
    try:
        info = target.stat()
    except (OSError, ValueError):  # missing, too long, a loop, unreadable
        raise NotFound("No such file") from None
    if not stat.S_ISREG(info.st_mode):
        raise NotFound("No such file")
    return target, info


# --- ranges ----------------------------------------------------------------

_RANGE_SPEC_RX = re.compile(r"([0-9]*)-([0-9]*)")


def _number(digits: str) -> int:
    return int(digits) if len(digits) <= _MAX_DIGITS else _HUGE


def parse_range(value: str, size: int):
    """What a ``Range`` header value asks of a file of ``size`` bytes: a
    (start, exclusive end) pair, ``UNSATISFIABLE`` (answered 416), or None
    to send the whole file (another unit, several ranges, a malformed
    value)."""
    unit, equals, ranges = value.partition("=")
    if not equals or unit.strip().lower() != "bytes":
        return None
    specs = [spec.strip(" \t") for spec in ranges.split(",")]
    specs = [spec for spec in specs if spec]
    if len(specs) != 1:
        return None
    match = _RANGE_SPEC_RX.fullmatch(specs[0])
    if match is None:
        return None
    first, last = match.groups()
    if not first:
        if not last:
            return None
        count = _number(last)
        if count == 0 or size == 0:
            return UNSATISFIABLE
        return max(size - count, 0), size
    start = _number(first)
    if last:
        final = _number(last)
        if final < start:
            return None  # an invalid range: the header is ignored
        end = min(final + 1, size)
    else:
        end = size
    if start >= size:
        return UNSATISFIABLE
    return start, end


# --- validators ------------------------------------------------------------

_TAG_RX = re.compile(r'(W/)?"([\x21\x23-\x7e\x80-\xff]*)"')


def parse_entity_tags(value: str):
    """The entity tags of an ``If-Match``/``If-None-Match`` value as
    (weak, opaque tag) pairs, ``"*"`` for the wildcard, or None when the value
    is malformed."""
    if value.strip(" \t") == "*":
        return "*"
    tags = []
    position, end = 0, len(value)
    while position < end:
        if value[position] in " \t,":
            position += 1
            continue
        match = _TAG_RX.match(value, position)
        if match is None:
            return None
        tags.append((match.group(1) is not None, match.group(2)))
        position = match.end()
        while position < end and value[position] in " \t":
            position += 1
        if position < end and value[position] != ",":
            return None
    return tags


def entity_tag(info: os.stat_result) -> str:
    """The file's strong entity tag, quotes included."""
    return f'"{info.st_size:x}-{info.st_mtime_ns:x}"'


def _tags_match(value, tag: str, weak: bool) -> bool:
    """Whether the list ``value`` (``parse_entity_tags``) holds ``tag``: by
    the weak comparison (``W/`` ignored) or the strong one (no weak tag
    matches)."""
    if value == "*":
        return True
    opaque = tag[1:-1]
    return any(text == opaque and (weak or not is_weak) for is_weak, text in value or ())


def _http_date(value: str):
    """The POSIX time of an HTTP-date, or None when it is not one."""
    try:
        moment = parsedate_to_datetime(value)
    except (TypeError, ValueError, IndexError, OverflowError):
        return None
    if moment is None:
        return None
    if moment.tzinfo is None:  # "-0000": UTC as well
        return moment.replace(tzinfo=UTC).timestamp()
    return moment.timestamp()


def _joined(request, name: bytes):
    """A list-valued header's lines joined, or None when it is absent."""
    values = request.get_headers(name)
    if not values:
        return None
    return ", ".join(value.decode("latin-1") for value in values)


def _single(request, name: bytes):
    """A header that holds one value, or None when it is absent or sent
    more than once."""
    values = request.get_headers(name)
    if len(values) != 1:
        return None
    return values[0].decode("latin-1")


def _preconditions(request, tag: str, modified: int):
    """The status that the conditional headers of a GET or HEAD call for
    (412 or 304), or None to go on."""
    if_match = _joined(request, b"if-match")
    if if_match is not None:
        if not _tags_match(parse_entity_tags(if_match), tag, weak=False):
            return 412
    else:
        since = _single(request, b"if-unmodified-since")
        moment = None if since is None else _http_date(since)
        if moment is not None and modified > moment:
            return 412
    if_none_match = _joined(request, b"if-none-match")
    if if_none_match is not None:
        return 304 if _tags_match(parse_entity_tags(if_none_match), tag, weak=True) else None
    since = _single(request, b"if-modified-since")
    moment = None if since is None else _http_date(since)
    if moment is not None and modified <= moment:
        return 304
    return None


def _if_range_holds(value: str, tag: str, modified: int, age: float) -> bool:
    """Whether the ``If-Range`` validator still names the file: its strong
    entity tag, or exactly its modification date (``modified``, whole
    seconds) when that date is a strong validator: the file's last change is
    at least a second old (``age``), so no later change can share the date."""
    value = value.strip(" \t")
    if value.startswith(('"', "W/")):
        tags = parse_entity_tags(value)
        return isinstance(tags, list) and len(tags) == 1 and _tags_match(tags, tag, weak=False)
    moment = _http_date(value)
    return moment is not None and moment == modified and age >= 1


# --- the response ----------------------------------------------------------


def _content_type(path: Path) -> bytes:
    guessed, _ = mimetypes.guess_type(path.name)
    content_type = (guessed or "application/octet-stream").encode("latin-1")
    if content_type.startswith(b"text/"):
        content_type += b"; charset=utf-8"
    return content_type


def _error(status: int, message: str, headers):
    return acquire_response(status, headers, Content(_JSON, b'{"error":"' + message.encode() + b'"}'))


def file_response(request, root: Path, name: str):
    """The response to GET or HEAD of ``name`` under ``root``."""
    target, info = resolve_file(root, name)
    size = info.st_size
    now = time.time()
    modified = int(min(info.st_mtime, now))  # never later than the response's date
    tag = entity_tag(info)
    validators = [(b"etag", tag.encode()), (b"last-modified", formatdate(modified, usegmt=True).encode()),
                  (b"cache-control", CACHE_CONTROL)]
    status = _preconditions(request, tag, modified)
    if status == 304:
        return acquire_response(304, validators, None)
    if status == 412:
        return _error(412, "Precondition Failed", None)
    headers = [(b"accept-ranges", b"bytes"), *validators]
    content_type = _content_type(target)
    # Ranges are for GET alone; HEAD answers as the whole file's GET would.
    requested = _single(request, b"range") if request.method == "GET" else None
    span = None
    if requested is not None:
        conditions = request.get_headers(b"if-range")
        if not conditions or (
            len(conditions) == 1 and _if_range_holds(conditions[0].decode("latin-1"), tag, modified, now - info.st_mtime)
        ):
            span = parse_range(requested, size)
    if span is None:
        return acquire_response(200, headers, FileContent(content_type, str(target), 0, size, True))
    if span == UNSATISFIABLE:
        headers.append((b"content-range", f"bytes */{size}".encode()))
        return _error(416, "Range Not Satisfiable", headers)
    start, end = span
    headers.append((b"content-range", f"bytes {start}-{end - 1}/{size}".encode()))
    return acquire_response(206, headers, FileContent(content_type, str(target), start, end, False))
