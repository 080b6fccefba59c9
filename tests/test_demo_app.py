"""The demo's routes through its handler in process, no server: 405 with
Allow, JSON echo of every value, events resumed by Last-Event-ID, /headers
without a Host header, and the launcher's server commands and help."""

import asyncio

import pytest

from brindlewick.contents import Content
from brindlewick.demo.__main__ import parse_args, server_command
from brindlewick.demo.app import EVENT_COUNT, EVENT_RETRY, handle
from brindlewick.exceptions import BadRequest
from brindlewick.messages import Request

JSON = (b"content-type", b"application/json")


def call(method, path, headers=(), body=None):
    request = Request(method, path.encode(), [JSON, *headers] if body is not None else list(headers))
    if body is not None:
        request.content = Content(b"application/json", body)

    async def run():
        response = await handle(request)
        content = response.content
        data = b"".join([piece async for piece in content.stream()]) if content is not None else b""
        return response, data

    return asyncio.run(run())


@pytest.mark.parametrize(
    ("method", "path", "allow"),
    [("POST", "/", "GET, HEAD"), ("DELETE", "/echo", "POST"), ("GET", "/echo", "POST"), ("PUT", "/files/x", "GET, HEAD"),
     ("OPTIONS", "/events", "GET, HEAD")],
)
def test_known_path_with_another_method_is_405(method, path, allow):
    response, data = call(method, path)
    assert response.status == 405
    assert response.get_first_header(b"allow") == allow.encode()
    assert data == b'{"error":"Method Not Allowed"}'


def test_unknown_path_is_404():
    response, _ = call("DELETE", "/nowhere")
    assert response.status == 404 and not response.has_header(b"allow")


@pytest.mark.parametrize("body", [b"null", b" null ", b"0", b"false", b'""', b"[]", b"{}", b'{"a": [1, null]}'])
def test_echo_returns_every_json_value(body):
    response, data = call("POST", "/echo", body=body)
    assert response.status == 200 and data == body.replace(b" ", b"")


@pytest.mark.parametrize(("body", "message"), [(b"", "got an empty one"), (b"[" * 200_000, "cannot be parsed as JSON")])
def test_echo_refusals(body, message):
    with pytest.raises(BadRequest, match=message):
        call("POST", "/echo", body=body)


def events_of(text):
    blocks = text.decode().split("\n\n")
    assert blocks[-1] == ""
    return [dict(line.split(": ", 1) for line in block.split("\n")) for block in blocks[:-1]]


@pytest.mark.parametrize(("last", "first"), [(None, 1), ("0", 1), ("2", 3), (" 4 ", 5), ("99", 1), ("x", 1), ("-1", 1)])
def test_events_resume_after_the_last_id(last, first):
    response, data = call("GET", "/events", [(b"last-event-id", last.encode())] if last is not None else [])
    assert response.status == 200
    events = events_of(data)
    assert [int(event["id"]) for event in events] == list(range(first, EVENT_COUNT + 1))
    assert events[0]["retry"] == str(EVENT_RETRY) and all("retry" not in event for event in events[1:])


def test_events_after_the_last_id_is_204():
    response, data = call("GET", "/events", [(b"last-event-id", str(EVENT_COUNT).encode())])
    assert response.status == 204 and response.content is None and data == b""


def test_headers_without_host():
    response, data = call("GET", "/headers")
    assert response.status == 200 and b'"host":null' in data


def command(*argv):
    return server_command(parse_args(list(argv)))


def test_uvicorn_trusts_no_proxy_unless_told():
    plain = command("--server", "uvicorn", "--interface", "asgi")
    assert plain[plain.index("--forwarded-allow-ips") + 1] == ""
    trusting = command("--server", "uvicorn", "--interface", "asgi", "--forwarded-allow-ips", "127.0.0.1, ::1")
    assert trusting[trusting.index("--forwarded-allow-ips") + 1] == "127.0.0.1, ::1"


def test_tls_files_reach_both_servers(tmp_path):
    cert, key = tmp_path / "c.pem", tmp_path / "k.pem"
    cert.write_text("c")
    key.write_text("k")
    tls = ["--ssl-certfile", str(cert), "--ssl-keyfile", str(key)]
    granian = command(*tls)
    assert granian[granian.index("--ssl-certificate") + 1] == str(cert)
    assert granian[granian.index("--ssl-keyfile") + 1] == str(key)
    uvicorn = command("--server", "uvicorn", "--interface", "asgi", *tls)
    assert uvicorn[uvicorn.index("--ssl-certfile") + 1] == str(cert)
    assert uvicorn[uvicorn.index("--ssl-keyfile") + 1] == str(key)


@pytest.mark.parametrize(
    "argv",
    [["--ssl-certfile", "x.pem"], ["--forwarded-allow-ips", "10.0.0.1"],
     ["--server", "uvicorn", "--interface", "asgi", "--forwarded-allow-ips", "proxy"],
     ["--ssl-certfile", "/nonexistent", "--ssl-keyfile", "/nonexistent"],
     ["--max-body-size", "-5"], ["--max-body-size", "lots"], ["--max-body-size", "5x"]],
)
def test_launcher_refusals(argv, capsys):
    with pytest.raises(SystemExit):
        parse_args(argv)
    assert "error:" in capsys.readouterr().err


@pytest.mark.parametrize(("given", "handed"), [("16m", "16777216"), ("1024", "1024"), ("2K", "2048"), ("none", "none")])
def test_max_body_size_is_handed_to_the_workers(given, handed):
    assert parse_args(["--max-body-size", given]).max_body_size == handed


def test_help_is_plain_text(capsys):
    with pytest.raises(SystemExit):
        parse_args(["--help"])
    text = capsys.readouterr().out
    assert "--ssl-certfile" in text and "--forwarded-allow-ips" in text
    assert "``" not in text and "\x1b" not in text
