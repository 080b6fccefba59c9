"""End-to-end benchmark: real servers, a real load generator (wrk).

wrk runs with one thread pinned to CPU 0 and 64 connections; the server runs
with one worker pinned to CPU 1. Each row is a warm-up, then a measured run.
Rows: the raw floors (JSON bytes written straight to granian RSGI, granian
ASGI and uvicorn), the demo's GET / on the three, Starlette's JSONResponse
route on the two ASGI servers, and POST /echo (1 KiB JSON) and POST /upload
(a 1 MiB file) against Starlette's equivalents on the same server.

Prints requests/s, p50 and p99 latency, the ratio of the demo's RSGI row to
the RSGI floor, and each framework's cost per request over the floor of its
own server (1/rps - 1/rps_floor, in µs); writes a bar chart to bench/e2e.png.

    python bench/e2e.py [--duration 10] [--warmup 1] [--chart bench/e2e.png]
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request
from pathlib import Path

HERE = Path(__file__).resolve().parent
CONNECTIONS = 64
WRK_CPU = "0"
SERVER_CPU = "1"

SERVERS = {
    "granian-rsgi": ["-m", "granian", "--interface", "rsgi", "--workers", "1", "--log-level", "warning",
                     "--no-access-log"],
    "granian-asgi": ["-m", "granian", "--interface", "asgi", "--workers", "1", "--log-level", "warning",
                     "--no-access-log"],
    "uvicorn": ["-m", "uvicorn", "--workers", "1", "--log-level", "warning", "--no-access-log", "--lifespan", "on"],
}

LUA = r"""
local method, body, content_type = %(method)s, %(body)s, %(content_type)s
wrk.method = method
if body ~= nil then
  local f = assert(io.open(body, "rb"))
  wrk.body = f:read("*a")
  f:close()
  wrk.headers["Content-Type"] = content_type
end
done = function(summary, latency, requests)
  local e = summary.errors
  io.write(string.format(
    "RESULT {\"requests\":%%d,\"duration_us\":%%d,\"p50_us\":%%d,\"p99_us\":%%d,\"errors\":%%d}\n",
    summary.requests, summary.duration, latency:percentile(50), latency:percentile(99),
    e.connect + e.read + e.write + e.status + e.timeout))
end
"""


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


class Server:
    def __init__(self, server: str, target: str):
        self.port = free_port()
        self.server = server
        if target == "demo":
            interface = "rsgi" if server == "granian-rsgi" else "asgi"
            name = "uvicorn" if server == "uvicorn" else "granian"
            args = ["-m", "brindlewick.demo", "--server", name, "--interface", interface, "--log-level", "warning"]
        else:
            args = SERVERS[server] + [target]
        args += ["--host", "127.0.0.1", "--port", str(self.port)]
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(HERE), env.get("PYTHONPATH")]))
        self.log = tempfile.TemporaryFile()
        self.process = subprocess.Popen(["taskset", "-c", SERVER_CPU, sys.executable, *args], env=env,
                                        stdout=self.log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 30
        while True:
            if self.process.poll() is not None:
                self.log.seek(0)
                raise RuntimeError(f"{server} {target} exited:\n{self.log.read().decode()}")
            try:
                urllib.request.urlopen(f"http://127.0.0.1:{self.port}/", timeout=1).read()
                return
            except OSError:
                if time.monotonic() > deadline:
                    self.stop()
                    raise RuntimeError(f"{server} {target} did not answer")
                time.sleep(0.1)

    def stop(self):
        if self.process.poll() is None:
            os.kill(self.process.pid, signal.SIGTERM)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                os.kill(self.process.pid, signal.SIGKILL)
                self.process.wait(10)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def lua_string(value):
    return "nil" if value is None else json.dumps(value)


def wrk(port: int, path: str, seconds: float, method="GET", body_file=None, content_type=None) -> dict:
    with tempfile.NamedTemporaryFile("w", suffix=".lua", delete=False) as script:
        script.write(LUA % {"method": lua_string(method), "body": lua_string(body_file),
                            "content_type": lua_string(content_type)})
    try:
        command = ["taskset", "-c", WRK_CPU, "wrk", "-t1", f"-c{CONNECTIONS}", f"-d{max(1, round(seconds))}s", "-s", script.name,
                   f"http://127.0.0.1:{port}{path}"]
        output = subprocess.run(command, capture_output=True, text=True, check=True, timeout=seconds + 30).stdout
    finally:
        os.unlink(script.name)
    for line in output.splitlines():
        if line.startswith("RESULT "):
            result = json.loads(line[7:])
            result["rps"] = result["requests"] / (result["duration_us"] / 1e6)
            return result
    raise RuntimeError(f"wrk printed no result:\n{output}")


def measure(port, path, duration, warmup, **kwargs):
    if warmup > 0:
        wrk(port, path, warmup, **kwargs)
    return wrk(port, path, duration, **kwargs)


def make_bodies(directory: Path):
    echo = directory / "echo.json"
    items = []
    while len(json.dumps({"items": items}, separators=(",", ":"))) < 1024:
        items.append({"id": len(items), "name": f"item-{len(items)}", "ok": True})
    echo.write_bytes(json.dumps({"items": items}, separators=(",", ":")).encode())
    boundary = "benchboundary7MA4YWxkTrZu0gW"
    data = os.urandom(1 << 20)
    upload = directory / "upload.bin"
    upload.write_bytes(
        f'--{boundary}\r\ncontent-disposition: form-data; name="title"\r\n\r\nbench\r\n'
        f'--{boundary}\r\ncontent-disposition: form-data; name="file"; filename="blob.bin"\r\n'
        f"content-type: application/octet-stream\r\n\r\n".encode() + data + f"\r\n--{boundary}--\r\n".encode()
    )
    return echo, upload, f"multipart/form-data; boundary={boundary}"


def check(port, path, method="GET", body_file=None, content_type=None):
    """One request before the load, so that a broken route is not measured."""
    data = Path(body_file).read_bytes() if body_file else None
    request = urllib.request.Request(f"http://127.0.0.1:{port}{path}", data=data, method=method)
    if content_type:
        request.add_header("Content-Type", content_type)
    with urllib.request.urlopen(request, timeout=30) as response:
        if response.status != 200:
            raise RuntimeError(f"{path} answered {response.status}")
        return response.read()


def main():
    parser = argparse.ArgumentParser(description="end-to-end benchmark against peers")
    parser.add_argument("--duration", type=int, default=10)
    parser.add_argument("--warmup", type=int, default=1)
    parser.add_argument("--chart", type=Path, default=HERE / "e2e.png")
    args = parser.parse_args()
    if shutil.which("wrk") is None or shutil.which("taskset") is None:
        sys.exit("e2e: needs wrk and taskset (apt-get install wrk util-linux)")
    if (os.cpu_count() or 1) < 2:
        sys.exit("e2e: needs two CPUs (the load generator and the server each get one)")

    results = {}
    started = time.monotonic()
    with tempfile.TemporaryDirectory() as tmp:
        echo, upload, upload_type = make_bodies(Path(tmp))
        post_echo = dict(method="POST", body_file=str(echo), content_type="application/json")
        post_upload = dict(method="POST", body_file=str(upload), content_type=upload_type)
        plan = [
            ("granian-rsgi", "_e2e_apps:raw_rsgi", [("floor", "/", {})]),
            ("granian-rsgi", "demo", [("hello", "/", {})]),
            ("granian-asgi", "_e2e_apps:raw_asgi", [("floor", "/", {})]),
            ("granian-asgi", "demo", [("hello", "/", {}), ("echo", "/echo", post_echo),
                                      ("upload", "/upload", post_upload)]),
            ("granian-asgi", "_e2e_apps:starlette_app", [("hello", "/", {}), ("echo", "/echo", post_echo),
                                                         ("upload", "/upload", post_upload)]),
            ("uvicorn", "_e2e_apps:raw_asgi", [("floor", "/", {})]),
            ("uvicorn", "demo", [("hello", "/", {})]),
            ("uvicorn", "_e2e_apps:starlette_app", [("hello", "/", {})]),
        ]
        for server, target, runs in plan:
            framework = {"demo": "brindlewick", "_e2e_apps:starlette_app": "starlette"}.get(target, "raw")
            with Server(server, target) as running:
                for route, path, kwargs in runs:
                    check(running.port, path, **kwargs)
                    result = measure(running.port, path, args.duration, args.warmup, **kwargs)
                    results[(server, framework, route)] = result
                    print(f"  {server:<13} {framework:<12} {route:<7} {result['rps']:9.0f} req/s", flush=True)
    elapsed = time.monotonic() - started
    report(results, elapsed)
    chart(results, args.chart)


def cost_us(rps, floor_rps):
    return (1 / rps - 1 / floor_rps) * 1e6


def report(results, elapsed):
    print()
    print(f"wrk: 1 thread on CPU {WRK_CPU}, {CONNECTIONS} connections; server: 1 worker on CPU {SERVER_CPU}; "
          f"total {elapsed:.0f} s")
    header = (f"| {'server':<13} | {'app':<12} | {'route':<13} | {'req/s':>8} | {'p50 ms':>6} | {'p99 ms':>6} "
              f"| {'errors':>6} | {'µs/req over floor':>17} |")
    print(header)
    print("|" + "|".join("-" * len(c) for c in header.split("|")[1:-1]) + "|")
    routes = {"floor": "GET / (raw)", "hello": "GET /", "echo": "POST /echo 1K", "upload": "POST /upload 1M"}
    for (server, framework, route), r in results.items():
        floor = results.get((server, "raw", "floor"))
        over = "" if framework == "raw" or route != "hello" or floor is None else f"{cost_us(r['rps'], floor['rps']):.1f}"
        print(f"| {server:<13} | {framework:<12} | {routes[route]:<13} | {r['rps']:8.0f} | {r['p50_us'] / 1000:6.2f} "
              f"| {r['p99_us'] / 1000:6.2f} | {r['errors']:6d} | {over:>17} |")
    print()

    def rps(*key):
        return results[key]["rps"]

    ratio = rps("granian-rsgi", "brindlewick", "hello") / rps("granian-rsgi", "raw", "floor")
    print(f"b/a (demo GET / on granian RSGI over the raw RSGI floor): {ratio:.3f}  (target >= 0.9)")
    for server in ("granian-asgi", "uvicorn"):
        floor = rps(server, "raw", "floor")
        ours = cost_us(rps(server, "brindlewick", "hello"), floor)
        theirs = cost_us(rps(server, "starlette", "hello"), floor)
        print(f"cost per request on {server}: brindlewick {ours:.1f} µs, starlette {theirs:.1f} µs, "
              f"ratio {ours / theirs:.3f}  (target <= 0.25)")
    for route, target in (("echo", 2.5), ("upload", 1.5)):
        times = rps("granian-asgi", "brindlewick", route) / rps("granian-asgi", "starlette", route)
        print(f"POST /{route} on granian-asgi: {times:.2f} x starlette's req/s  (target >= {target})")


def chart(results, path: Path):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no chart")
        return
    groups = [("GET / on granian RSGI", "granian-rsgi", "hello", ("raw", "brindlewick")),
              ("GET / on granian ASGI", "granian-asgi", "hello", ("raw", "brindlewick", "starlette")),
              ("GET / on uvicorn", "uvicorn", "hello", ("raw", "brindlewick", "starlette")),
              ("POST /echo 1 KiB (granian ASGI)", "granian-asgi", "echo", ("brindlewick", "starlette")),
              ("POST /upload 1 MiB (granian ASGI)", "granian-asgi", "upload", ("brindlewick", "starlette"))]
    colours = {"raw": "#9e9e9e", "brindlewick": "#2e7d32", "starlette": "#1565c0"}
    fig, axes = plt.subplots(1, len(groups), figsize=(16, 4.2))
    for axis, (title, server, route, frameworks) in zip(axes, groups):
        values = [results[(server, f, "floor" if f == "raw" else route)]["rps"] for f in frameworks]
        bars = axis.bar(frameworks, values, color=[colours[f] for f in frameworks])
        axis.bar_label(bars, labels=[f"{v / 1000:.1f}k" if v >= 1000 else f"{v:.0f}" for v in values], fontsize=8)
        axis.set_title(title, fontsize=9)
        axis.tick_params(axis="x", labelsize=8)
        axis.set_ylabel("requests/s" if axis is axes[0] else "")
    fig.suptitle("wrk, 64 connections, 1 server worker (one CPU each)", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"chart: {path}")


if __name__ == "__main__":
    main()
