"""The demo application served by real servers (granian over RSGI and ASGI,
uvicorn over ASGI) and driven by a real client (httpx, http.client, raw
sockets): every route, lengths and HEAD, validators, 405, odd requests."""

import asyncio
import hashlib
import http.client
import json
import os
import socket
import time

import pytest

pytest.importorskip("granian")
pytest.importorskip("uvicorn")
httpx = pytest.importorskip("httpx")

from _servers import SERVERS, start_demo  # noqa: E402

from brindlewick.demo.app import stream_bytes  # noqa: E402

pytestmark = pytest.mark.timeout(90)

MIB = 1 << 20
SECRET = b"this file lies outside the served directory\n"
SAMPLE = bytes(range(256)) * 40 + b"tail"


@pytest.fixture(scope="module")
def files_dir(tmp_path_factory):
    base = tmp_path_factory.mktemp("demo")
    (base / "secret.txt").write_bytes(SECRET)
    served = base / "served"
    served.mkdir()
    (served / "sample.bin").write_bytes(SAMPLE)
    (served / "note.txt").write_text("a note\n")
    (served / "sub").mkdir()
    (served / "empty.txt").write_bytes(b"")
    (served / "leak").symlink_to(base / "secret.txt")
    (served / "alias.bin").symlink_to("sample.bin")
    return served


@pytest.fixture(scope="module", params=sorted(SERVERS))
def server(request, files_dir):
    running = start_demo(request.param, files_dir)
    request.addfinalizer(running.stop)
    return running


@pytest.fixture
def client(server):
    with httpx.Client(base_url=server.url, timeout=30.0) as session:
        yield session


def test_hello_json(client):
    response = client.get("/")
    assert response.status_code == 200
    assert response.headers["content-type"] == "application/json"
    assert response.headers["content-length"] == str(len(response.content))
    assert response.content == b'{"message":"Hello, World!"}'


def test_plaintext(client):
    response = client.get("/plaintext")
    assert response.status_code == 200
    assert response.headers["content-type"] == "text/plain; charset=utf-8"
    assert response.content == b"Hello, World!"


def test_not_found_is_json(client):
    response = client.get("/nowhere/at/all")
    assert response.status_code == 404
    assert response.headers["content-type"] == "application/json"
    assert response.json() == {"error": "Not Found"}


@pytest.mark.parametrize(("method", "path", "allow"), [("POST", "/", "GET, HEAD"), ("GET", "/echo", "POST"),
                                                       ("DELETE", "/files/sample.bin", "GET, HEAD")])
def test_known_path_with_another_method_is_405(client, method, path, allow):
    response = client.request(method, path)
    assert response.status_code == 405
    assert response.headers["allow"] == allow
    assert response.json() == {"error": "Method Not Allowed"}


@pytest.mark.parametrize(
    "value",
    [{"a": 1, "b": [True, None, "é"]}, [1, 2.5, "x"], "text", {"nested": {"deep": list(range(200))}}],
)
def test_echo_json(client, value):
    response = client.post("/echo", json=value)
    assert response.status_code == 200
    assert response.headers["content-type"] == "application/json"
    assert response.json() == value


@pytest.mark.parametrize("body", [b"null", b"false", b"0"])
def test_echo_scalars(client, body):
    response = client.post("/echo", content=body, headers={"content-type": "application/json"})
    assert response.status_code == 200 and response.content == body


def test_echo_deep_json_is_400(client):
    body = b"[" * 100_000 + b"]" * 100_000
    response = client.post("/echo", content=body, headers={"content-type": "application/json"})
    assert response.status_code == 400
    assert response.json()["error"]


@pytest.mark.parametrize(
    ("body", "content_type", "status"),
    [(b'{"a": ', "application/json", 400), (b"", "application/json", 400), (b'{"a": 1}', "text/plain", 415)],
)
def test_echo_refuses_bad_bodies(client, body, content_type, status):
    response = client.post("/echo", content=body, headers={"content-type": content_type})
    assert response.status_code == status
    assert response.headers["content-type"] == "application/json"
    assert response.json()["error"]


def test_echo_malformed_names_the_declared_type(client):
    response = client.post("/echo", content=b"{nope", headers={"content-type": "application/json"})
    assert response.json() == {
        "error": "Declared Content-Type is application/json but the content cannot be parsed as JSON."
    }


@pytest.mark.parametrize("size", [0, 1, MIB, 20 * MIB], ids=["0B", "1B", "1MiB", "20MiB"])
def test_upload(client, size):
    data = os.urandom(size)
    response = client.post(
        "/upload",
        data={"title": "x", "note": "y"},
        files={"file": ("blob.bin", data, "application/octet-stream")},
    )
    assert response.status_code == 200, response.text
    assert response.json() == {
        "fields": ["title", "note"],
        "files": [{"name": "file", "filename": "blob.bin", "size": size, "sha256": hashlib.sha256(data).hexdigest()}],
    }


def test_upload_truncated_multipart_is_400(client):
    body = b'--xyz\r\ncontent-disposition: form-data; name="f"; filename="a"\r\n\r\npartial'
    response = client.post("/upload", content=body, headers={"content-type": "multipart/form-data; boundary=xyz"})
    assert response.status_code == 400
    assert response.json()["error"]


def test_cookies(client):
    response = client.get("/cookies", headers={"cookie": "a=1; b=two"})
    assert response.status_code == 200
    set_cookie = response.headers.get_list("set-cookie")
    assert len(set_cookie) == 1 and set_cookie[0].startswith("visited=1")
    assert response.json() == {"received": {"a": "1", "b": "two"}}


def test_odd_cookies_are_no_500(client, server):
    # granian's RSGI interface drops every request header whose value is not
    # ASCII, so there the cookies never arrive; the ASGI servers pass them on.
    response = client.get("/cookies", headers=[(b"cookie", "a=1; b=caf\u00e9".encode())])
    assert response.status_code == 200
    received = response.json()["received"]
    assert received in (({}, {"a": "1", "b": "café"}) if server.name == "granian-rsgi" else ({"a": "1", "b": "café"},))


def test_redirect(client):
    response = client.get("/redirect")
    assert response.status_code == 302
    assert response.headers["location"] == "/"
    assert response.headers["content-length"] == "0"
    assert client.get("/redirect", follow_redirects=True).json() == {"message": "Hello, World!"}


def test_headers(client, server):
    response = client.get("/headers", headers={"x-probe": "42"})
    data = response.json()
    assert ["x-probe", "42"] in data["headers"]
    assert data["client"]["address"] == "127.0.0.1" and data["client"]["port"] > 0
    assert data["scheme"] == "http"
    assert data["host"] == f"127.0.0.1:{server.port}"


def test_headers_over_http_1_0_without_host(server):
    with socket.create_connection(("127.0.0.1", server.port), timeout=10) as sock:
        sock.sendall(b"GET /headers HTTP/1.0\r\n\r\n")
        answer = b""
        while chunk := sock.recv(65536):
            answer += chunk
    head, _, body = answer.partition(b"\r\n\r\n")
    assert head.split(b" ", 2)[1] == b"200", answer
    assert json.loads(body)["host"] in (None, "")  # granian's ASGI scope adds an empty Host


def test_forwarded_headers_are_not_believed(client):
    data = client.get("/headers", headers={"x-forwarded-for": "203.0.113.9", "x-forwarded-proto": "https"}).json()
    assert data["client"]["address"] == "127.0.0.1" and data["scheme"] == "http"


def test_uvicorn_believes_a_named_proxy(files_dir):
    running = start_demo("uvicorn", files_dir, ["--forwarded-allow-ips", "127.0.0.1"])
    try:
        data = httpx.get(running.url + "/headers", headers={"x-forwarded-for": "203.0.113.9", "x-forwarded-proto": "https"},
                         timeout=10).json()
    finally:
        running.stop()
    assert data["client"]["address"] == "203.0.113.9" and data["scheme"] == "https"


def test_events(client):
    with client.stream("GET", "/events") as response:
        assert response.status_code == 200
        assert response.headers["content-type"] == "text/event-stream"
        assert "content-length" not in response.headers
        text = b"".join(response.iter_bytes()).decode()
    assert text.endswith("\n\n")
    events = []
    for block in text.split("\n\n")[:-1]:
        fields = dict(line.split(": ", 1) for line in block.split("\n"))
        events.append((fields["id"], fields["event"], json.loads(fields["data"])))
    assert events == [(str(n), "tick", {"n": n, "of": 5}) for n in range(1, 6)]


@pytest.mark.parametrize("size", [0, 1, 16384, 100_001, 3 * MIB])
def test_stream_without_length(client, size):
    with client.stream("GET", f"/stream?size={size}") as response:
        assert response.status_code == 200
        if size == 0 and "content-length" in response.headers:
            # a stream that ends before its head is flushed may be framed as empty
            assert response.headers["content-length"] == "0"
        else:
            assert "content-length" not in response.headers
            assert response.headers["transfer-encoding"] == "chunked"
        body = b"".join(response.iter_raw())
    assert body == b"".join(stream_bytes(size))


@pytest.mark.parametrize("query", ["size=-1", "size=x", f"size={(1 << 30) + 1}"])
def test_stream_bad_size(client, query):
    response = client.get(f"/stream?{query}")
    assert response.status_code == 400
    assert response.json()["error"]


def test_file_whole(client):
    response = client.get("/files/sample.bin")
    assert response.status_code == 200
    assert response.headers["accept-ranges"] == "bytes"
    assert response.content == SAMPLE
    text = client.get("/files/note.txt")
    assert text.headers["content-type"] == "text/plain; charset=utf-8"
    assert text.text == "a note\n"


@pytest.mark.parametrize(
    ("header", "start", "end"),
    [("bytes=10-19", 10, 19), ("bytes=0-0", 0, 0), ("bytes=10000-", 10000, len(SAMPLE) - 1),
     ("bytes=-4", len(SAMPLE) - 4, len(SAMPLE) - 1), ("bytes=5-999999", 5, len(SAMPLE) - 1)],
)
def test_file_range(client, header, start, end):
    response = client.get("/files/sample.bin", headers={"range": header})
    assert response.status_code == 206
    assert response.headers["content-range"] == f"bytes {start}-{end}/{len(SAMPLE)}"
    assert response.content == SAMPLE[start : end + 1]


def test_file_range_unsatisfiable(client):
    response = client.get("/files/sample.bin", headers={"range": f"bytes={len(SAMPLE)}-"})
    assert response.status_code == 416
    assert response.headers["content-range"] == f"bytes */{len(SAMPLE)}"


@pytest.mark.parametrize("name", ["missing.bin", "sub", "sub/missing", "a" * 300, "sub/" + "b" * 3000])
def test_file_missing(client, name):
    response = client.get(f"/files/{name}")
    assert response.status_code == 404
    assert response.json() == {"error": "No such file"}


def test_file_range_of_an_empty_file_is_416(client):
    for value in ("bytes=-5", "bytes=0-"):
        response = client.get("/files/empty.txt", headers={"range": value})
        assert response.status_code == 416
        assert response.headers["content-range"] == "bytes */0"


def on_one_connection(server, *requests):
    """(status, headers, body) of each (method, target, headers) request, sent
    one after the other on one keep-alive connection: a body sent where none
    belongs (HEAD, 304, 204) garbles the answer after it."""
    connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=10)
    answers = []
    try:
        for method, target, headers in requests:
            connection.request(method, target, headers=headers)
            response = connection.getresponse()
            heads = {}
            for key, value in response.getheaders():
                heads.setdefault(key.lower(), value)
            answers.append((response.status, heads, response.read()))
    finally:
        connection.close()
    return answers


@pytest.mark.parametrize(
    ("method", "headers", "status", "length"),
    [("GET", {}, 200, len(SAMPLE)), ("GET", {"range": "bytes=10-19"}, 206, 10), ("GET", {"range": "bytes=-4"}, 206, 4),
     ("HEAD", {}, 200, len(SAMPLE)), ("HEAD", {"range": "bytes=10-19"}, 200, len(SAMPLE))],
    ids=["whole", "range", "suffix", "head", "head-range"],
)
def test_file_lengths_and_head(server, method, headers, status, length):
    (answer, after) = on_one_connection(server, (method, "/files/sample.bin", headers), ("GET", "/", {}))
    assert answer[0] == status
    assert answer[1].get("content-length") == str(length)
    assert "transfer-encoding" not in answer[1]
    assert answer[2] == (b"" if method == "HEAD" else SAMPLE[-length:] if "-4" in str(headers) else
                         SAMPLE[10:20] if headers else SAMPLE)
    assert after[0] == 200 and after[2] == b'{"message":"Hello, World!"}'


@pytest.mark.parametrize("path", ["/", "/headers", "/files/empty.txt", "/redirect"])
def test_head_sends_no_body(server, path):
    (head, get, after) = on_one_connection(server, ("HEAD", path, {}), ("GET", path, {}), ("GET", "/", {}))
    assert head[0] == get[0] and head[2] == b""
    if "content-length" in head[1] and path != "/headers":  # /headers echoes the method's own headers
        assert head[1]["content-length"] == get[1]["content-length"]
    assert after[2] == b'{"message":"Hello, World!"}'


def test_file_validators(client):
    response = client.get("/files/sample.bin")
    tag, modified = response.headers["etag"], response.headers["last-modified"]
    assert tag.startswith('"') and response.headers["cache-control"] == "no-cache"
    assert client.get("/files/alias.bin").headers["etag"] == tag  # a symlink inside is served as its target
    assert client.get("/files/note.txt").headers["etag"] != tag
    for headers in ({"if-none-match": tag}, {"if-none-match": f'"other", W/{tag}'}, {"if-none-match": "*"},
                    {"if-modified-since": modified}):
        answer = client.get("/files/sample.bin", headers=headers)
        assert answer.status_code == 304, headers
        assert answer.content == b"" and answer.headers["etag"] == tag
    assert client.get("/files/sample.bin", headers={"if-none-match": '"other"'}).status_code == 200
    assert client.get("/files/sample.bin", headers={"if-match": '"other"'}).status_code == 412
    ranged = {"range": "bytes=0-9"}
    assert client.get("/files/sample.bin", headers={**ranged, "if-range": tag}).status_code == 206
    stale = client.get("/files/sample.bin", headers={**ranged, "if-range": '"stale"'})
    assert stale.status_code == 200 and stale.content == SAMPLE


def test_not_modified_has_no_body_and_no_false_length(server):
    tag = httpx.get(server.url + "/files/sample.bin", timeout=10).headers["etag"]
    (answer, after) = on_one_connection(server, ("GET", "/files/sample.bin", {"if-none-match": tag}), ("GET", "/", {}))
    assert answer[0] == 304 and answer[2] == b""
    # a length in a 304 may only be the one the 200 would have had
    assert answer[1].get("content-length", str(len(SAMPLE))) == str(len(SAMPLE))
    assert after[2] == b'{"message":"Hello, World!"}'


@pytest.mark.parametrize(
    "target",
    ["/files/../secret.txt", "/files/..%2Fsecret.txt", "/files/%2e%2e/secret.txt", "/files/sub/../../secret.txt",
     "/files/%2e%2e%2fsecret.txt", "/files/..%5csecret.txt"],
)
def test_path_traversal_refused(server, target):
    # http.client sends the target as written: no client-side dot-segment removal.
    connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=10)
    try:
        connection.request("GET", target)
        response = connection.getresponse()
        body = response.read()
    finally:
        connection.close()
    assert response.status == 403
    assert SECRET not in body


def test_symlink_out_of_the_folder_refused(client):
    response = client.get("/files/leak")
    assert response.status_code == 403 and SECRET not in response.content


def test_disconnect_mid_upload_keeps_serving(server, client):
    boundary = b"cut"
    head = b'--cut\r\ncontent-disposition: form-data; name="f"; filename="big"\r\n\r\n'
    for _ in range(3):
        sock = socket.create_connection(("127.0.0.1", server.port), timeout=10)
        sock.sendall(
            b"POST /upload HTTP/1.1\r\nhost: x\r\ncontent-type: multipart/form-data; boundary=" + boundary
            + b"\r\ncontent-length: 50000000\r\n\r\n" + head + b"x" * 300_000
        )
        time.sleep(0.2)
        sock.close()
    time.sleep(0.2)
    assert server.alive()
    data = os.urandom(1000)
    response = client.post("/upload", files={"file": ("f", data)})
    assert response.json()["files"][0]["sha256"] == hashlib.sha256(data).hexdigest()
    assert client.get("/").status_code == 200


def test_concurrent_requests(server):
    paths = ["/", "/plaintext", "/headers", "/cookies", "/events", "/stream?size=20000", "/files/sample.bin"]

    async def drive():
        limits = httpx.Limits(max_connections=200, max_keepalive_connections=200)
        async with httpx.AsyncClient(base_url=server.url, timeout=60.0, limits=limits) as session:
            async def one(index):
                if index % 8 == 7:
                    response = await session.post("/echo", json={"i": index})
                    return response.status_code == 200 and response.json() == {"i": index}
                response = await session.get(paths[index % len(paths)])
                return response.status_code == 200 and len(response.content) > 0

            return await asyncio.gather(*(one(i) for i in range(200)))

    results = asyncio.run(drive())
    assert all(results), f"{results.count(False)} of 200 requests failed"


def test_the_launcher_sets_the_body_limit():
    limited = start_demo("granian-rsgi", extra=["--max-body-size", "1k"])
    try:
        with httpx.Client(base_url=limited.url, timeout=10) as client:
            big = client.post("/echo", content=b"[" + b"1," * 600 + b"1]", headers={"content-type": "application/json"})
            assert big.status_code == 413
            assert client.post("/echo", json=[1, 2]).json() == [1, 2]
    finally:
        limited.stop()
