"""GET /events as a browser's EventSource sees it, on granian (RSGI, ASGI)
and uvicorn: a client that parses the event stream by the browsers' rules
and reconnects as they do (after `retry`, with Last-Event-ID, until a 204),
and, where Chromium is installed, a real headless browser."""

import http.client
import json
import re
import shutil
import subprocess
import time

import pytest

pytest.importorskip("granian")
pytest.importorskip("uvicorn")
httpx = pytest.importorskip("httpx")

from _servers import SERVERS, start_demo  # noqa: E402

pytestmark = pytest.mark.timeout(60)

COUNT = 5
_LINE_END = re.compile(r"\r\n|\r|\n")


class EventStream:
    """The event-stream parser of the HTML standard: lines end in CR LF, LF
    or CR (also across chunk boundaries), a leading BOM is dropped, comments
    begin with a colon, one space after the colon is not part of the value,
    `id` without NUL sets the last event id, `retry` of digits only sets the
    reconnection time, and a blank line dispatches an event that has data."""

    def __init__(self, last_id="", retry=3000):
        self.last_id = last_id
        self.retry = retry
        self.events = []
        self._pending = ""
        self._started = False
        self._data, self._type, self._id = [], "", last_id

    def feed(self, text):
        if not self._started and text:
            self._started = True
            text = text.removeprefix("\ufeff")
        text = self._pending + text
        start = 0
        for end in _LINE_END.finditer(text):
            if end.group() == "\r" and end.end() == len(text):
                break  # its LF may come in the next chunk
            self._line(text[start : end.start()])
            start = end.end()
        self._pending = text[start:]

    def close(self):
        if self._pending.endswith("\r"):
            self._line(self._pending[:-1])
        self._pending = ""  # an unterminated last event is dropped

    def _line(self, line):
        if line == "":
            self.last_id = self._id
            if self._data:
                self.events.append((self._type or "message", "\n".join(self._data), self.last_id))
            self._data, self._type = [], ""
            return
        if line.startswith(":"):
            return
        field, _, value = line.partition(":")
        value = value.removeprefix(" ")
        if field == "event":
            self._type = value
        elif field == "data":
            self._data.append(value)
        elif field == "id" and "\0" not in value:
            self._id = value
        elif field == "retry" and value.isascii() and value.isdigit():
            self.retry = int(value)


def test_the_parser_by_the_rules():
    text = "\ufeff: hi\r\nretry: 70\rid: 7\nevent: a\ndata:x\u2028\ndata:  y\n\nid: 8\n\n\ndata\nretry: 1x\n\ndata: z"
    for cut in range(len(text) + 1):
        stream = EventStream()
        stream.feed(text[:cut])
        stream.feed(text[cut:])
        stream.close()
        assert stream.events == [("a", "x\u2028\n y", "7"), ("message", "", "8")], cut
        assert stream.retry == 70 and stream.last_id == "8"


def event_source(url, drop_after=None, limit=6):
    """Runs an EventSource against ``url`` until the server answers 204:
    the (id, payload) of every event, the statuses of the connections, and the
    reconnection time. ``drop_after`` closes the first connection after that
    many events, as a network failure would."""
    stream = EventStream()
    statuses = []
    received = []
    with httpx.Client(timeout=10) as client:
        while len(statuses) < limit:
            headers = {"accept": "text/event-stream", "cache-control": "no-cache"}
            if stream.last_id:
                headers["last-event-id"] = stream.last_id
            with client.stream("GET", url, headers=headers) as response:
                statuses.append(response.status_code)
                if response.status_code == 204:
                    return received, statuses, stream.retry
                assert response.status_code == 200
                assert response.headers["content-type"].split(";")[0] == "text/event-stream"
                for text in response.iter_text():
                    stream.feed(text)
                    while len(received) < len(stream.events):
                        kind, data, last = stream.events[len(received)]
                        assert kind == "tick"
                        received.append((last, json.loads(data)))
                    if drop_after is not None and len(received) >= drop_after:
                        drop_after = None
                        break
                else:
                    stream.close()
            time.sleep(stream.retry / 1000)
    raise AssertionError(f"the stream never ended: {statuses}")


@pytest.fixture(scope="module", params=sorted(SERVERS))
def server(request, tmp_path_factory):
    files = tmp_path_factory.mktemp("sse")
    (files / "events.html").write_text(PAGE)
    running = start_demo(request.param, files)
    request.addfinalizer(running.stop)
    return running


EXPECTED = [(str(n), {"n": n, "of": COUNT}) for n in range(1, COUNT + 1)]


def test_every_event_once_then_204(server):
    received, statuses, retry = event_source(server.url + "/events")
    assert received == EXPECTED
    assert statuses == [200, 204]
    assert retry == 1000


def test_a_dropped_stream_resumes_after_the_last_id(server):
    received, statuses, _ = event_source(server.url + "/events", drop_after=2)
    assert received == EXPECTED
    assert statuses == [200, 200, 204]


def test_the_final_204_is_framed_without_a_body(server):
    connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=10)
    try:
        connection.request("GET", "/events", headers={"last-event-id": str(COUNT)})
        response = connection.getresponse()
        assert (response.status, response.read()) == (204, b"")
        assert response.getheader("content-length") is None and response.getheader("transfer-encoding") is None
        connection.request("GET", "/")
        assert connection.getresponse().read() == b'{"message":"Hello, World!"}'
    finally:
        connection.close()


PAGE = """<!doctype html><meta charset="utf-8"><title>events</title><pre id="log">waiting</pre><script>
const seen = []; let opens = 0;
const source = new EventSource("/events");
source.onopen = () => { opens += 1; };
source.addEventListener("tick", (e) => { seen.push([e.lastEventId, JSON.parse(e.data)]); });
source.onerror = () => {
  if (source.readyState === EventSource.CLOSED) {
    document.getElementById("log").textContent = "RESULT " + JSON.stringify({seen, opens});
  }
};
</script>
"""

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser") or shutil.which("google-chrome")


@pytest.mark.skipif(CHROMIUM is None, reason="Chromium is not installed")
def test_headless_chromium_event_source(server):
    # Virtual time runs the reconnection delay at once; the page writes its
    # result when EventSource has closed for good (after the 204).
    page = subprocess.run(
        [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--virtual-time-budget=20000",
         "--dump-dom", server.url + "/files/events.html"],
        capture_output=True, text=True, timeout=50, stdin=subprocess.DEVNULL,
    )
    marker = '<pre id="log">RESULT '
    assert marker in page.stdout, page.stdout[-2000:] + page.stderr[-2000:]
    result = json.loads(page.stdout.split(marker, 1)[1].split("</pre>", 1)[0])
    assert [(last, data) for last, data in result["seen"]] == EXPECTED
    assert result["opens"] == 1
