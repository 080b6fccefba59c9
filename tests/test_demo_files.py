"""The demo's /files/ route in process, no server: the range parser, both
traversal guards (symlinks included), validators and conditional requests,
If-Range, empty files and unusable names."""

import asyncio
import os
from email.utils import formatdate

import pytest
from hypothesis import given
from hypothesis import strategies as st

from brindlewick.demo.static import UNSATISFIABLE, Forbidden, file_response, parse_entity_tags, parse_range, resolve_file
from brindlewick.exceptions import NotFound
from brindlewick.messages import Request

DATA = bytes(range(256)) * 4
OLD = 1_600_000_000  # a modification time well in the past: dates are strong validators


@pytest.mark.parametrize(
    ("value", "size", "expected"),
    [
        ("bytes=0-0", 10, (0, 1)), ("bytes=2-5", 10, (2, 6)), ("bytes=2-", 10, (2, 10)), ("bytes=5-999", 10, (5, 10)),
        ("bytes=-3", 10, (7, 10)), ("bytes=-30", 10, (0, 10)), ("BYTES=1-2", 10, (1, 3)), ("bytes= 1-2 ,", 10, (1, 3)),
        ("bytes=0-" + "9" * 40, 10, (0, 10)), ("bytes=-" + "9" * 40, 10, (0, 10)),
        ("bytes=10-", 10, UNSATISFIABLE), ("bytes=-0", 10, UNSATISFIABLE), ("bytes=" + "9" * 40 + "-", 10, UNSATISFIABLE),
        ("bytes=-5", 0, UNSATISFIABLE), ("bytes=0-", 0, UNSATISFIABLE), ("bytes=0-0", 0, UNSATISFIABLE),
        # ignored: the whole file
        ("bytes=5-2", 10, None), ("bytes=0-1,4-5", 10, None), ("items=0-1", 10, None), ("bytes=", 10, None),
        ("bytes=-", 10, None), ("bytes=a-b", 10, None), ("bytes=1 - 2", 10, None), ("bytes=+1-2", 10, None),
        ("0-1", 10, None), ("bytes=١-٢", 10, None),
    ],
)
def test_parse_range(value, size, expected):
    assert parse_range(value, size) == expected


@given(st.text(alphabet="bytes=-0123456789, \t٣", max_size=30), st.integers(0, 1 << 40))
def test_parse_range_answers_within_the_file(value, size):
    span = parse_range(value, size)
    if isinstance(span, tuple):
        start, end = span
        assert 0 <= start < end <= size
    else:
        assert span in (None, UNSATISFIABLE)


@pytest.mark.parametrize(
    ("value", "expected"),
    [('"a"', [(False, "a")]), ('W/"a", "b"', [(True, "a"), (False, "b")]), (' *  ', "*"), ('"a,b" ,"c"', [(False, "a,b"), (False, "c")]),
     ('"', None), ("a", None), ('"a" "b"', None), ('"a"x', None), ("", []), ('w/"a"', None)],
)
def test_parse_entity_tags(value, expected):
    assert parse_entity_tags(value) == expected


@pytest.fixture
def tree(tmp_path):
    """served/ (the root) beside a secret outside it, with symlinks of every kind."""
    (tmp_path / "secret.txt").write_bytes(b"secret")
    (tmp_path / "outside").mkdir()
    (tmp_path / "outside" / "x.txt").write_bytes(b"x")
    root = tmp_path / "served"
    (root / "sub").mkdir(parents=True)
    (root / "data.bin").write_bytes(DATA)
    (root / "empty.txt").write_bytes(b"")
    (root / "sub" / "note.txt").write_text("note")
    os.utime(root / "data.bin", (OLD, OLD))
    (root / "to-secret").symlink_to(tmp_path / "secret.txt")
    (root / "to-outside").symlink_to(tmp_path / "outside")
    (root / "sub" / "up").symlink_to("../../secret.txt")
    (root / "to-root").symlink_to(root)
    (root / "alias.bin").symlink_to("data.bin")
    (root / "to-sub").symlink_to("sub")
    (root / "loop").symlink_to("loop")
    (root / "dangling").symlink_to("nowhere")
    return root.resolve()


@pytest.mark.parametrize(
    "name",
    ["../secret.txt", "sub/../../secret.txt", "..\\secret.txt", "./data.bin", "sub/./note.txt", ".."],
)
def test_dot_segments_are_refused(tree, name):
    with pytest.raises(Forbidden):
        resolve_file(tree, name)


@pytest.mark.parametrize("name", ["to-secret", "to-outside/x.txt", "sub/up", "to-root"])
def test_symlinks_leading_out_are_refused(tree, name):
    # No dot segment: only the check of where the resolved path lies stops these.
    with pytest.raises(Forbidden):
        resolve_file(tree, name)


@pytest.mark.parametrize(("name", "target"), [("alias.bin", "data.bin"), ("to-sub/note.txt", "sub/note.txt")])
def test_symlinks_within_are_served(tree, name, target):
    path, info = resolve_file(tree, name)
    assert path == tree / target and info.st_size == (tree / target).stat().st_size


@pytest.mark.parametrize(
    "name", ["missing", "sub", "sub/", "a//b", "", "loop", "dangling", "x\x00y", "a" * 300, "sub/" + "b" * 5000],
)
def test_unusable_names_are_not_found(tree, name):
    with pytest.raises(NotFound):
        resolve_file(tree, name)


def answer(tree, name="data.bin", method="GET", **headers):
    request = Request(method, f"/files/{name}".encode(),
                      [(key.replace("_", "-").encode(), value.encode("latin-1")) for key, value in headers.items()])
    response = file_response(request, tree, name)
    heads = {}
    for key, value in response.headers.items():
        heads.setdefault(key.decode(), value.decode("latin-1"))
    return response, heads


def test_whole_file_carries_validators_and_its_length(tree):
    response, heads = answer(tree)
    assert response.status == 200
    assert heads["etag"].startswith('"') and heads["etag"].endswith('"')
    assert heads["last-modified"] == formatdate(OLD, usegmt=True)
    assert heads["cache-control"] == "no-cache" and heads["accept-ranges"] == "bytes"
    assert response.content.length == len(DATA) and response.content.file_range is None

    async def read():
        return b"".join([piece async for piece in response.content.stream()])

    assert asyncio.run(read()) == DATA


def test_the_tag_follows_size_and_time(tree):
    _, before = answer(tree)
    os.utime(tree / "data.bin", ns=(OLD * 10**9 + 1, OLD * 10**9 + 1))
    _, after = answer(tree)
    assert after["etag"] != before["etag"]


@pytest.mark.parametrize("method", ["GET", "HEAD"])
@pytest.mark.parametrize(
    ("headers", "status"),
    [
        ({"if_none_match": "{tag}"}, 304), ({"if_none_match": 'W/{tag}'}, 304), ({"if_none_match": '"x", {tag}'}, 304),
        ({"if_none_match": "*"}, 304), ({"if_none_match": '"x"'}, 200), ({"if_none_match": "garbage"}, 200),
        ({"if_modified_since": "{date}"}, 304), ({"if_modified_since": formatdate(OLD + 86400, usegmt=True)}, 304),
        ({"if_modified_since": formatdate(OLD - 1, usegmt=True)}, 200), ({"if_modified_since": "yesterday"}, 200),
        # If-None-Match decides alone when both are sent
        ({"if_none_match": '"x"', "if_modified_since": "{date}"}, 200),
        ({"if_match": '"x"'}, 412), ({"if_match": "W/{tag}"}, 412), ({"if_match": '"x", {tag}'}, 200), ({"if_match": "*"}, 200),
        ({"if_unmodified_since": formatdate(OLD - 1, usegmt=True)}, 412), ({"if_unmodified_since": "{date}"}, 200),
        ({"if_match": "{tag}", "if_none_match": "{tag}"}, 304),
    ],
)
def test_conditional_requests(tree, method, headers, status):
    _, plain = answer(tree)
    values = {k: v.format(tag=plain["etag"], date=plain["last-modified"]) for k, v in headers.items()}
    response, heads = answer(tree, method=method, **values)
    assert response.status == status
    if status == 304:
        assert response.content is None
        assert {k: heads[k] for k in ("etag", "last-modified", "cache-control")} == {
            k: plain[k] for k in ("etag", "last-modified", "cache-control")}


@pytest.mark.parametrize(
    ("if_range", "status"),
    [(None, 206), ("{tag}", 206), ("W/{tag}", 200), ('"stale"', 200), ("{date}", 206),
     (formatdate(OLD - 60, usegmt=True), 200), ("not a date", 200)],
)
def test_if_range(tree, if_range, status):
    _, plain = answer(tree)
    headers = {"range": "bytes=10-19"}
    if if_range is not None:
        headers["if_range"] = if_range.format(tag=plain["etag"], date=plain["last-modified"])
    response, heads = answer(tree, **headers)
    assert response.status == status
    if status == 206:
        assert heads["content-range"] == f"bytes 10-19/{len(DATA)}"
        assert response.content.file_range == (10, 20) and response.content.length == 10
    else:
        assert "content-range" not in heads and response.content.length == len(DATA)


def test_a_fresh_date_is_no_validator_for_if_range(tree):
    # Modified within the last second: the date may not tell two versions apart.
    (tree / "new.bin").write_bytes(DATA)
    _, plain = answer(tree, "new.bin")
    response, _ = answer(tree, "new.bin", range="bytes=0-0", if_range=plain["last-modified"])
    assert response.status == 200


def test_head_ignores_ranges(tree):
    response, heads = answer(tree, method="HEAD", range="bytes=0-9")
    assert response.status == 200 and response.content.length == len(DATA) and "content-range" not in heads


@pytest.mark.parametrize("value", ["bytes=-5", "bytes=0-", "bytes=0-0"])
def test_ranges_of_an_empty_file_are_unsatisfiable(tree, value):
    response, heads = answer(tree, "empty.txt", range=value)
    assert response.status == 416
    assert heads["content-range"] == "bytes */0"


def test_unsatisfiable_range_names_the_size(tree):
    response, heads = answer(tree, range=f"bytes={len(DATA)}-")
    assert response.status == 416 and heads["content-range"] == f"bytes */{len(DATA)}"


@pytest.fixture(scope="module")
def one_file(tmp_path_factory):
    root = tmp_path_factory.mktemp("one")
    (root / "f.bin").write_bytes(DATA)
    os.utime(root / "f.bin", (OLD, OLD))
    return root.resolve()


HEADER_TEXT = st.text(alphabet=st.sampled_from('bytes=-0123456789,W/"*: \tSunNov GMT\xe9'), max_size=40)


@given(st.dictionaries(st.sampled_from(["range", "if_range", "if_match", "if_none_match", "if_modified_since",
                                        "if_unmodified_since"]), HEADER_TEXT),
       st.sampled_from(["GET", "HEAD"]))
def test_any_conditional_header_gets_an_answer(one_file, headers, method):
    response, heads = answer(one_file, "f.bin", method, **headers)
    assert response.status in (200, 206, 304, 412, 416)
    if response.status == 206:
        start, end = response.content.file_range
        assert heads["content-range"] == f"bytes {start}-{end - 1}/{len(DATA)}"
