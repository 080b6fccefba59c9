"""Sustained load: the demo application under wrk for a fixed time, with the
server's resident memory sampled every second.

For each server (granian RSGI, granian ASGI, uvicorn; one worker pinned to
CPU 1, wrk with one thread and 64 connections pinned to CPU 0, as in
bench/e2e.py), wrk sends a mix chosen per request by its Lua script, in a
fixed cycle of ten: six `GET /`, three `POST /echo` (1 KiB of JSON) and one
`POST /upload` (a 1 MiB file in a multipart form). Meanwhile the resident
set (VmRSS of /proc/PID/status) of the server process and all of its
descendants is read once a second.

A server passes when:
- every response was a 2xx, and wrk saw no socket error (connect, read,
  write, timeout);
- its memory is flat once warmed up: the resident set at the end of the run
  exceeds the one at the start of the last two thirds by less than 5% (each
  point is the median of three samples);
- its pools stayed within their bound (512 requests and 512 responses per
  thread): after the run, `GET /_pools` of bench/_load_app.py (the demo's
  routes plus that one) reports the sizes of the serving thread's pools.
  Every object goes back to its pool at the end of its exchange and a pool
  only grows when more exchanges are under way than it holds, so that size
  is the peak number of simultaneous exchanges (the pool drops what it
  cannot hold beyond 512).

Prints the figures per server, writes a plot of memory over time, and exits
non-zero when a check fails.

    python bench/load.py [--duration 60] [--servers granian-rsgi,granian-asgi,uvicorn] [--plot bench/load.png]
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from e2e import CONNECTIONS, WRK_CPU, Server, check, lua_string, make_bodies  # noqa: E402

SERVERS = {"granian-rsgi": "_load_app:rsgi", "granian-asgi": "_load_app:asgi", "uvicorn": "_load_app:asgi"}
POOL_BOUND = 512  # per kind and thread: kMaxFreelistCapacity in native/messages/response_core.hpp
GROWTH_LIMIT = 5.0  # percent
SAMPLE_EVERY = 1.0  # seconds

# One fixed cycle of ten requests: 6 GET /, 3 POST /echo, 1 POST /upload.
LUA = r"""
local cycle = {1, 2, 1, 1, 2, 1, 3, 1, 2, 1}
local kinds = {}
local next_index = 0
local threads = {}

local function slurp(path)
  local f = assert(io.open(path, "rb"))
  local data = f:read("*a")
  f:close()
  return data
end

function setup(thread)
  table.insert(threads, thread)
end

function init(args)
  kinds[1] = wrk.format("GET", "/")
  kinds[2] = wrk.format("POST", "/echo", {["Content-Type"] = "application/json"}, slurp(%(echo)s))
  kinds[3] = wrk.format("POST", "/upload", {["Content-Type"] = %(upload_type)s}, slurp(%(upload)s))
  sent_get, sent_echo, sent_upload, non2xx = 0, 0, 0, 0
end

function request()
  next_index = next_index %% #cycle + 1
  local kind = cycle[next_index]
  if kind == 1 then sent_get = sent_get + 1 elseif kind == 2 then sent_echo = sent_echo + 1
  else sent_upload = sent_upload + 1 end
  return kinds[kind]
end

function response(status, headers, body)
  if status < 200 or status > 299 then non2xx = non2xx + 1 end
end

done = function(summary, latency, requests)
  local get, echo, upload, bad = 0, 0, 0, 0
  for _, t in ipairs(threads) do
    get = get + t:get("sent_get")
    echo = echo + t:get("sent_echo")
    upload = upload + t:get("sent_upload")
    bad = bad + t:get("non2xx")
  end
  local e = summary.errors
  io.write(string.format(
    "RESULT {\"requests\":%%d,\"duration_us\":%%d,\"p50_us\":%%d,\"p99_us\":%%d,\"non2xx\":%%d," ..
    "\"connect\":%%d,\"read\":%%d,\"write\":%%d,\"timeout\":%%d,\"get\":%%d,\"echo\":%%d,\"upload\":%%d}\n",
    summary.requests, summary.duration, latency:percentile(50), latency:percentile(99), bad,
    e.connect, e.read, e.write, e.timeout, get, echo, upload))
end
"""


def descendants(pid: int) -> list[int]:
    """pid and every process below it, from the parent ids in /proc."""
    children: dict[int, list[int]] = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        # The command name (field 2) is in parentheses and may hold spaces.
        parent = int(stat[stat.rindex(")") + 2 :].split()[1])
        children.setdefault(parent, []).append(int(entry))
    found, todo = [], [pid]
    while todo:
        current = todo.pop()
        found.append(current)
        todo.extend(children.get(current, ()))
    return found


def rss_kib(pid: int) -> int:
    """Resident set of pid and its descendants, in KiB."""
    total = 0
    for p in descendants(pid):
        try:
            with open(f"/proc/{p}/status") as f:
                for line in f:
                    if line.startswith("VmRSS:"):
                        total += int(line.split()[1])
                        break
        except OSError:
            pass  # exited meanwhile
    return total


def run_load(server: Server, duration: int, bodies) -> tuple[dict, list[tuple[float, int]]]:
    echo, upload, upload_type = bodies
    with tempfile.NamedTemporaryFile("w", suffix=".lua", delete=False) as script:
        script.write(LUA % {"echo": lua_string(str(echo)), "upload": lua_string(str(upload)),
                            "upload_type": lua_string(upload_type)})
    command = ["taskset", "-c", WRK_CPU, "wrk", "-t1", f"-c{CONNECTIONS}", f"-d{duration}s", "--timeout", "10s",
               "-s", script.name, f"http://127.0.0.1:{server.port}/"]
    samples: list[tuple[float, int]] = []
    try:
        with tempfile.TemporaryFile("w+") as out:
            started = time.monotonic()
            wrk = subprocess.Popen(command, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, text=True)
            deadline = started + duration + 30
            tick = started
            while wrk.poll() is None:
                now = time.monotonic()
                if now > deadline:
                    wrk.kill()
                    wrk.wait()
                    raise RuntimeError(f"wrk did not finish within {duration + 30} s")
                if now >= tick:
                    samples.append((now - started, rss_kib(server.process.pid)))
                    tick += SAMPLE_EVERY
                time.sleep(min(0.05, max(0.0, tick - time.monotonic())))
            out.seek(0)
            output = out.read()
    finally:
        os.unlink(script.name)
    if wrk.returncode != 0:
        raise RuntimeError(f"wrk exited with {wrk.returncode}:\n{output}")
    for line in output.splitlines():
        if line.startswith("RESULT "):
            return json.loads(line[7:]), samples
    raise RuntimeError(f"wrk printed no result:\n{output}")


def median_at(samples, t: float) -> float:
    """Median of the three samples nearest to time t."""
    nearest = sorted(samples, key=lambda s: abs(s[0] - t))[:3]
    return statistics.median(rss for _, rss in nearest)


def pools(port: int) -> dict:
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/_pools", timeout=10) as response:
        return json.loads(response.read())


def evaluate(name: str, result: dict, samples, pool_sizes: dict, duration: int) -> dict:
    window_start = duration / 3
    at_10 = median_at(samples, min(10.0, duration))
    at_start = median_at(samples, window_start)
    at_end = median_at(samples, samples[-1][0])
    growth = (at_end - at_start) / at_start * 100
    socket_errors = result["connect"] + result["read"] + result["write"] + result["timeout"]
    failures = []
    if result["requests"] == 0:
        failures.append("no request completed")
    if result["non2xx"]:
        failures.append(f"{result['non2xx']} non-2xx responses")
    if socket_errors:
        failures.append(f"{socket_errors} socket errors")
    if growth >= GROWTH_LIMIT:
        failures.append(f"memory grew {growth:.1f}% over the last two thirds (limit {GROWTH_LIMIT}%)")
    if max(pool_sizes.values()) > POOL_BOUND:
        failures.append(f"pools above their bound of {POOL_BOUND}: {pool_sizes}")
    return {
        "server": name, "requests": result["requests"], "rps": result["requests"] / (result["duration_us"] / 1e6),
        "mix": (result["get"], result["echo"], result["upload"]), "non2xx": result["non2xx"],
        "socket_errors": socket_errors, "p50_ms": result["p50_us"] / 1000, "p99_ms": result["p99_us"] / 1000,
        "rss_10_mib": at_10 / 1024, "rss_start_mib": at_start / 1024, "rss_end_mib": at_end / 1024,
        "growth": growth, "pools": pool_sizes, "failures": failures, "samples": samples,
    }


def report(rows, duration: int) -> None:
    print()
    print(f"wrk: 1 thread on CPU {WRK_CPU}, {CONNECTIONS} connections, {duration} s; mix per 10 requests: "
          f"6 GET /, 3 POST /echo (1 KiB), 1 POST /upload (1 MiB); server: 1 worker on CPU 1")
    header = (f"| {'server':<13} | {'requests':>9} | {'req/s':>7} | {'non-2xx':>7} | {'sock err':>8} "
              f"| {'RSS 10 s':>8} | {'RSS ' + str(round(duration / 3)) + ' s':>8} | {'RSS end':>8} | {'growth':>7} "
              f"| {'pool peak req/resp':>18} | {'result':<6} |")
    print(header)
    print("|" + "|".join("-" * len(c) for c in header.split("|")[1:-1]) + "|")
    for r in rows:
        verdict = "ok" if not r["failures"] else "FAIL"
        print(f"| {r['server']:<13} | {r['requests']:9d} | {r['rps']:7.0f} | {r['non2xx']:7d} | {r['socket_errors']:8d} "
              f"| {r['rss_10_mib']:6.1f} M | {r['rss_start_mib']:6.1f} M | {r['rss_end_mib']:6.1f} M "
              f"| {r['growth']:+6.2f}% | {r['pools']['requests']:>8}/{r['pools']['responses']:<9} | {verdict:<6} |")
    for r in rows:
        for failure in r["failures"]:
            print(f"{r['server']}: {failure}")


def plot(rows, duration: int, path: Path) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no plot")
        return
    fig, axis = plt.subplots(figsize=(9, 4.2))
    for r in rows:
        times = [t for t, _ in r["samples"]]
        mib = [rss / 1024 for _, rss in r["samples"]]
        axis.plot(times, mib, label=f"{r['server']} ({r['growth']:+.1f}%)", linewidth=1.4)
    axis.set_xlim(0, duration)
    axis.set_ylim(bottom=0, top=axis.get_ylim()[1] * 1.12)
    axis.axvline(duration / 3, color="#757575", linestyle="--", linewidth=1)
    axis.text(duration / 3, axis.get_ylim()[1] * 0.97, "  growth measured from here", fontsize=8, color="#616161",
              va="top")
    axis.set_xlabel("seconds under load")
    axis.set_ylabel("resident memory (MiB), server and workers")
    axis.grid(alpha=0.3)
    axis.legend(fontsize=8, loc="lower right")
    axis.set_title(f"demo app under wrk, {CONNECTIONS} connections, GET / + POST /echo + POST /upload 1 MiB",
                   fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"plot: {path}")


def main() -> int:
    parser = argparse.ArgumentParser(description="sustained load on the demo app with memory sampling")
    parser.add_argument("--duration", type=int, default=60, help="seconds of load per server (default: 60)")
    parser.add_argument("--servers", default=",".join(SERVERS),
                        help=f"comma-separated, from {', '.join(SERVERS)} (default: all)")
    parser.add_argument("--plot", type=Path, default=HERE / "load.png", help="PNG plot (default: bench/load.png)")
    args = parser.parse_args()
    names = [n.strip() for n in args.servers.split(",") if n.strip()]
    unknown = [n for n in names if n not in SERVERS]
    if unknown or not names:
        parser.error(f"--servers: unknown {', '.join(unknown) or '(none given)'}; choose from {', '.join(SERVERS)}")
    if args.duration < 6:
        parser.error("--duration must be at least 6 seconds")
    if shutil.which("wrk") is None or shutil.which("taskset") is None:
        sys.exit("load: needs wrk and taskset (apt-get install wrk util-linux)")
    if (os.cpu_count() or 1) < 2:
        sys.exit("load: needs two CPUs (the load generator and the server each get one)")

    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        bodies = make_bodies(Path(tmp))
        echo, upload, upload_type = bodies
        for name in names:
            with Server(name, SERVERS[name]) as server:
                check(server.port, "/")
                check(server.port, "/echo", method="POST", body_file=str(echo), content_type="application/json")
                check(server.port, "/upload", method="POST", body_file=str(upload), content_type=upload_type)
                result, samples = run_load(server, args.duration, bodies)
                pool_sizes = pools(server.port)
                if server.process.poll() is not None:
                    raise RuntimeError(f"{name} exited during the run")
            row = evaluate(name, result, samples, pool_sizes, args.duration)
            rows.append(row)
            print(f"  {name:<13} {row['requests']:8d} requests, RSS {row['rss_start_mib']:.1f} -> "
                  f"{row['rss_end_mib']:.1f} MiB ({row['growth']:+.2f}%)", flush=True)
    report(rows, args.duration)
    plot(rows, args.duration, args.plot)
    return 1 if any(r["failures"] for r in rows) else 0


if __name__ == "__main__":
    sys.exit(main())
