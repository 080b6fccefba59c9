"""What reaches the wire on real servers when a response cannot be sent as
it stands: statuses out of range, bodies on bodiless answers, HEAD of an
endless stream, headers built from request input."""

import http.client
import json
import time

import pytest

pytest.importorskip("granian")
pytest.importorskip("uvicorn")
httpx = pytest.importorskip("httpx")

from _servers import SERVERS, start_app  # noqa: E402

pytestmark = pytest.mark.timeout(90)


@pytest.fixture(scope="module", params=sorted(SERVERS))
def server(request):
    running = start_app(request.param, "_wire_app")
    request.addfinalizer(running.stop)
    return running


@pytest.fixture
def client(server):
    with httpx.Client(base_url=server.url, timeout=10) as session:
        yield session


@pytest.mark.parametrize("code", [0, 99, 100, 1000, 65536, -1])
def test_the_server_survives_every_status(server, client, code):
    assert client.get("/status", params={"code": code}).status_code == 500
    assert server.alive()
    assert client.get("/").text == "ok"


@pytest.mark.parametrize("code", [204, 304])
def test_a_body_on_a_bodiless_answer_cannot_desync_the_connection(server, code):
    connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=10)
    try:
        for _ in range(2):
            connection.request("GET", f"/no-content?code={code}")
            response = connection.getresponse()
            assert (response.status, response.read()) == (code, b"")
            connection.request("GET", "/")
            response = connection.getresponse()
            assert (response.status, response.read()) == (200, b"ok")
    finally:
        connection.close()


def test_head_of_an_endless_stream_answers_at_once(client):
    started = time.monotonic()
    response = client.head("/stream")
    assert (response.status_code, response.content) == (200, b"")
    assert time.monotonic() - started < 0.05


def test_a_location_with_crlf_is_a_500_without_location(server, client):
    response = client.get("/redirect", params={"to": "/next\r\nset-cookie: sid=stolen"}, follow_redirects=False)
    assert response.status_code == 500
    assert "location" not in response.headers and "set-cookie" not in response.headers
    assert "Invalid value for header b'location'" in server.output()
    assert client.get("/redirect", params={"to": "/next"}, follow_redirects=False).headers["location"] == "/next"


RECORDED = [
    ("GET", "/record/a%20b/caf%C3%A9?q=a+b&q=%2B&e=%C3%A9", None),
    ("GET", "/record/x%2Fy%25z/../w", None),
    ("POST", "/record/post", b'{"k": 1}'),
]


@pytest.fixture(scope="module")
def all_servers():
    running = {name: start_app(name, "_wire_app") for name in sorted(SERVERS)}
    yield running
    for server in running.values():
        server.stop()


@pytest.mark.parametrize(("method", "target", "body"), RECORDED)
def test_every_server_gives_the_same_request(all_servers, method, target, body):
    answers = {}
    for name, server in all_servers.items():
        connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=10)
        try:
            headers = {"Host": "example.org", "Cookie": "a=1;b=2", "X-Rep": "1"}
            if body is not None:
                headers["Content-Type"] = "application/json"
            connection.request(method, target, body=body, headers=headers)
            response = connection.getresponse()
            assert response.status == 200, (name, response.read())
            answers[name] = json.loads(response.read())
        finally:
            connection.close()
    first, *others = answers.values()
    assert all(other == first for other in others), answers
    assert first["client_ip"] == "127.0.0.1" and first["scheme"] == "http"
