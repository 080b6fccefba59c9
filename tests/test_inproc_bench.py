"""bench/inproc.py's own logic: the fake servers' answers for every application
and route, the reading of callgrind dumps, and the guard's verdict (the
counting itself needs valgrind and runs by hand and in CI)."""

import asyncio
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench"))

import _inproc_apps as apps  # noqa: E402
import inproc  # noqa: E402
import inproc_guard  # noqa: E402
import profile_inproc  # noqa: E402

pytestmark = pytest.mark.timeout(60)

PEERS = {"starlette": "starlette", "litestar": "litestar"}


@pytest.mark.parametrize("app, interface", [(a, i) for a in apps.APPS for i in apps.app_interfaces(a)])
def test_every_application_answers_every_route(app, interface):
    if app in PEERS:
        pytest.importorskip(PEERS[app])

    async def run():
        served = apps.load_app(app, interface)
        server = await apps.start_server(served, interface)
        for route in apps.ROUTES:
            await apps.check(served, interface, route)
            await apps.batch(interface)(served, apps.REQUESTS[route], 3)
        if server is not None:
            await server.stop()

    asyncio.run(run())


@pytest.mark.parametrize("interface", apps.INTERFACES)
def test_a_wrong_answer_is_caught(interface):
    async def asgi(scope, receive, send):
        await send({"type": "http.response.start", "status": 200, "headers": [(b"content-type", b"application/json")]})
        await send({"type": "http.response.body", "body": b'{"message":"Hello, world!"}'})

    class RSGI:
        async def __rsgi__(self, scope, protocol):
            protocol.response_bytes(500, [("content-type", "application/json")], b"{}")

    app = asgi if interface == "asgi" else RSGI()
    with pytest.raises(AssertionError, match="body" if interface == "asgi" else "status 500"):
        asyncio.run(apps.check(app, interface, "hello"))


DUMP = """# callgrind format
version: 1
part: {part}
positions: line
events: Ir
summary: {summary}

ob=(1) /usr/bin/python3.14
fl=(1) ???
fn=(1) main
0 5
cob=(2) /x/brindlewick/scribe.so
cfi=(2) ???
cfn=(2) write
calls=0 0
0 90
fn=(3) PyDict_SetItem
0 7
ob=(2)
fl=(2)
fn=(2)
0 30
cob=(1)
cfn=(3)
calls=4 0
0 60
0 20
"""


def test_dumps_read_in_part_order_and_calls_left_out_of_the_caller(tmp_path):
    out = tmp_path / "demo-asgi.out"
    for part, summary in ((1, 100), (2, 5), (10, 7), (3, 11)):
        name = out.name + ("" if part == 10 else f".{part}")
        (tmp_path / name).write_text(DUMP.format(part=part, summary=summary))
    assert inproc.read_parts(out) == [100, 5, 11, 7]
    costs = profile_inproc.exclusive_costs(out)
    # main's own 5 (its running call, calls=0, is write's cost, not main's),
    # PyDict_SetItem's 7, write's 30 + 20 (the 60 of its call excluded).
    assert costs == {("/usr/bin/python3.14", "main"): 5, ("/usr/bin/python3.14", "PyDict_SetItem"): 7,
                     ("/x/brindlewick/scribe.so", "write"): 50}


@pytest.mark.parametrize(
    "now, failed, lower",
    [(1000, [], []), (1050, [], []), (1051, ["asgi GET /"], []), (949, [], ["asgi GET /"]), (None, ["asgi GET /"], [])],
)
def test_guard_verdict(now, failed, lower):
    baseline = {"asgi GET /": {"over_floor": 1000}, "rsgi GET /": {"over_floor": 2000}}
    rows = {"rsgi GET /": {"over_floor": 2000}}
    if now is not None:
        rows["asgi GET /"] = {"over_floor": now}
    lines, got_failed, got_lower = inproc_guard.compare(baseline, rows, 0.05)
    assert (got_failed, got_lower) == (failed, lower)
    assert len(lines) == 2 + len(baseline)


def test_committed_baseline_has_what_the_guard_reads():
    import json

    data = json.loads(inproc_guard.BASELINE.read_text())
    assert data["reason"] and data["taken"] and data["versions"]["python"]
    assert set(data["rows"]) == {f"{i} {apps.ROUTE_LABELS[r]}" for i in apps.INTERFACES for r in inproc_guard.ROUTES}
    assert all(row["over_floor"] > 0 for row in data["rows"].values())
