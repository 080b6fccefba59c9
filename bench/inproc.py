"""In-process benchmark: the framework's cost per request, without a network.

A fake server (``_inproc_apps``: scopes shaped like uvicorn's ASGI and
granian's RSGI) drives the same requests through every application: a
framework-free floor per interface, the demo, Starlette and Litestar.  Each
row is an application, an interface and a route; its cost over the floor is
what the framework (and its handler) adds to the fewest calls a hand-written
application makes for the same answer.

    python bench/inproc.py                     # microseconds per request
    python bench/inproc.py --instructions      # and instructions per request (callgrind)

Microseconds: every row runs in one process, in interleaved rounds (every
row once per round); a row's figure is its best round.  Instructions: one
process per application and interface under callgrind (Debian's valgrind),
which also measures that interface's floor; a row's figure is the
difference between a run of 2N and a run of N requests in that process,
divided by N, so start-up, imports and the batch's own set-up cancel out.
Sections are cut by callgrind dumps at a marker call (``os.getppid``, which
nothing else on the path calls).  Counting is deterministic: fixed hash
seed, address-space randomisation off (``setarch -R``), a fixed
environment; every answer is checked once before anything is measured.

Prints a table and writes a chart (``--chart``, default bench/inproc.png).
See docs/benchmarks.md for the method.
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import json
import os
import shutil
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))

import _inproc_apps as apps  # noqa: E402

# Requests per section in the counting runs (N, then 2N), and warm-up
# requests per row before anything is counted or timed.
COUNT = 400
WARMUP = 100
MARKER = "getppid"
MARK = os.getppid


# ---- one process: the rows of one application over one interface --------------------


class Bench:
    """The loop, the started applications and their warmed-up rows of one process."""

    def __init__(self, pairs, routes, warmup=WARMUP):
        self.loop = asyncio.new_event_loop()
        asyncio.set_event_loop(self.loop)
        self.apps = {}
        self.servers = []
        self.routes = list(routes)
        for app, interface in pairs:
            obj = apps.load_app(app, interface)
            self.servers.append(self.loop.run_until_complete(apps.start_server(obj, interface)))
            self.apps[app, interface] = obj
        for (app, interface), obj in self.apps.items():
            for route in self.routes:
                self.loop.run_until_complete(apps.check(obj, interface, route))
        for (app, interface), obj in self.apps.items():
            for route in self.routes:
                self.run(app, interface, route, warmup)
        # Everything made so far (modules, the applications, their caches)
        # is left out of the collector's later passes: a request's share of
        # the collector's work then depends on what requests allocate, not
        # on how much the process imported.
        gc.collect()
        gc.freeze()

    def run(self, app, interface, route, count):
        self.loop.run_until_complete(apps.batch(interface)(self.apps[app, interface], apps.REQUESTS[route], count))

    def close(self):
        for server in self.servers:
            if server is not None:
                self.loop.run_until_complete(server.stop())
        self.loop.close()


def child(args) -> None:
    """The process callgrind counts: for each row a marker, N requests, a
    marker, 2N requests; a last marker; the order of the sections in --layout."""
    pairs = [("floor", args.child[1])] + ([] if args.child[0] == "floor" else [tuple(args.child)])
    bench = Bench(pairs, args.routes.split(","), args.warmup)
    layout = ["setup"]
    for app, interface in pairs:
        for route in bench.routes:
            for section, count in (("first", args.count), ("second", 2 * args.count)):
                MARK()
                bench.run(app, interface, route, count)
                layout.append(f"{app}/{interface}/{route}/{section}")
    MARK()
    layout.append("teardown")
    bench.close()
    if args.layout:
        Path(args.layout).write_text(json.dumps({"count": args.count, "sections": layout}))


# ---- counting under callgrind ----------------------------------------------------------


def require_valgrind():
    if shutil.which("valgrind") is None:
        sys.exit("inproc: valgrind is needed for --instructions (apt-get install valgrind)")


def child_env(pythonpath: str | None = None) -> dict:
    """The child's whole environment: the same for every run, whatever the caller's."""
    env = {
        "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
        "HOME": os.environ.get("HOME", "/root"),
        "LANG": "C.UTF-8",
        "LC_ALL": "C.UTF-8",
        "PYTHONHASHSEED": "0",
        # Compiled modules are cached beside the build, even where the
        # caller's environment turns bytecode writing off.
        "PYTHONPYCACHEPREFIX": str(ROOT / "build" / "inproc" / "pycache"),
    }
    path = os.environ.get("PYTHONPATH") if pythonpath is None else pythonpath
    if path:  # absolute: the child runs in its work directory
        env["PYTHONPATH"] = os.pathsep.join(str(Path(p).resolve()) for p in path.split(os.pathsep) if p)
    return env


def no_aslr() -> list[str]:
    """A prefix that turns address-space randomisation off, where allowed."""
    setarch = shutil.which("setarch")
    if setarch and subprocess.run([setarch, "-R", "true"], capture_output=True).returncode == 0:
        return [setarch, "-R"]
    return []


def child_command(app, interface, routes, count, warmup, layout) -> list[str]:
    return [sys.executable, str(Path(__file__).resolve()), "--child", app, interface, "--routes", ",".join(routes),
            "--count", str(count), "--warmup", str(warmup), "--layout", str(layout)]


def read_parts(out: Path) -> list[int]:
    """Instructions of each dump of one callgrind run, in order."""
    parts = []
    for path in out.parent.glob(out.name + "*"):
        part = total = None
        with open(path) as f:
            for line in f:
                if line.startswith("part:"):
                    part = int(line.split()[1])
                elif line.startswith("summary:") or line.startswith("totals:"):
                    total = int(line.split()[1])
                    break
        if part is None or total is None:
            raise RuntimeError(f"{path}: not a callgrind dump")
        parts.append((part, total))
    return [total for _, total in sorted(parts)]


def callgrind_job(app, interface, routes, count, warmup, workdir: Path, pythonpath=None, extra=(),
                  verbose=True) -> dict:
    """Runs one application's rows (and its interface's floor) natively once
    (answers checked, modules compiled), then under callgrind, in
    ``workdir``; returns {(app, interface, route): {"instructions": per
    request, "first": the first section's instructions per request,
    "dump": the second section's callgrind file}}."""
    env = child_env(pythonpath)
    name = f"{app}-{interface}"
    # Relative names in a fixed directory: the child's arguments are the
    # same from one run to the next.
    layout = f"{name}.layout.json"
    native = subprocess.run(child_command(app, interface, routes, 2, 2, layout), env=env, cwd=workdir,
                            capture_output=True, text=True, stdin=subprocess.DEVNULL)
    if native.returncode != 0:
        raise RuntimeError(f"{name}: the native run failed:\n{native.stderr[-3000:]}")
    out = workdir / f"{name}.out"
    for old in workdir.glob(out.name + "*"):
        old.unlink()
    command = no_aslr() + [
        "valgrind", "--tool=callgrind", f"--callgrind-out-file={out.name}", f"--dump-before=*{MARKER}",
        "--dump-line=no", "--dump-instr=no", *extra,
    ] + child_command(app, interface, routes, count, warmup, layout)
    started = time.monotonic()
    run = subprocess.run(command, env=env, cwd=workdir, capture_output=True, text=True, stdin=subprocess.DEVNULL)
    if verbose:
        print(f"  callgrind {name}: {time.monotonic() - started:.1f} s", flush=True)
    if run.returncode != 0:
        raise RuntimeError(f"{name}: the callgrind run failed:\n{run.stderr[-3000:]}")
    sections = json.loads((workdir / layout).read_text())["sections"]
    parts = read_parts(out)
    if len(parts) != len(sections):
        raise RuntimeError(f"{name}: {len(parts)} dumps for {len(sections)} sections ({MARKER} called elsewhere?)")
    by_section = dict(zip(sections, parts))
    # Every dump but the last is OUT.<part>; the last, at exit, is OUT.
    files = {section: out.parent / (out.name + (f".{i + 1}" if i + 1 < len(sections) else ""))
             for i, section in enumerate(sections)}
    rows = {}
    for row_app in dict.fromkeys(["floor", app]):
        for route in routes:
            first = by_section[f"{row_app}/{interface}/{route}/first"]
            second = by_section[f"{row_app}/{interface}/{route}/second"]
            rows[row_app, interface, route] = {
                "instructions": (second - first) / count,
                "first": first / count,
                "dump": str(files[f"{row_app}/{interface}/{route}/second"]),
            }
    return rows


def count_instructions(jobs, count=COUNT, warmup=WARMUP, parallel=2, workdir=None, pythonpath=None, extra=()):
    """Runs callgrind_job for each (app, interface, routes) of ``jobs``,
    ``parallel`` at a time, in ``workdir`` (default build/inproc/counts);
    returns {(app, interface): rows}."""
    require_valgrind()
    workdir = Path(workdir or ROOT / "build" / "inproc" / "counts").resolve()
    workdir.mkdir(parents=True, exist_ok=True)
    with ThreadPoolExecutor(max_workers=max(1, parallel)) as pool:
        futures = {(app, interface): pool.submit(callgrind_job, app, interface, routes, count, warmup, workdir,
                                                 pythonpath, extra)
                   for app, interface, routes in jobs}
        return {job: future.result() for job, future in futures.items()}


# ---- timing -------------------------------------------------------------------------------


def time_rows(rows, rounds: int, target: float) -> dict:
    """Best microseconds per request of each (app, interface, route) row,
    over ``rounds`` interleaved rounds of about ``target`` seconds per row."""
    pairs = list(dict.fromkeys((app, interface) for app, interface, _ in rows))
    routes = list(dict.fromkeys(route for _, _, route in rows))
    bench = Bench(pairs, routes)
    counts = {}
    for row in rows:
        started = time.perf_counter()
        bench.run(*row, 20)
        per = (time.perf_counter() - started) / 20
        counts[row] = max(20, int(target / max(per, 1e-9)))
    best = {row: float("inf") for row in rows}
    for _ in range(rounds):
        for row in rows:
            started = time.perf_counter()
            bench.run(*row, counts[row])
            best[row] = min(best[row], (time.perf_counter() - started) / counts[row] * 1e6)
    bench.close()
    gc.unfreeze()
    return best


# ---- output ---------------------------------------------------------------------------------


def all_rows(selected_apps, selected_routes):
    return [(app, interface, route) for interface in apps.INTERFACES for app in selected_apps
            if interface in apps.app_interfaces(app) for route in selected_routes]


def print_table(rows, micro, counted):
    header = ["app", "interface", "route", "µs/req", "µs over floor"]
    if counted:
        header += ["instr/req", "instr over floor"]
    lines = [header]
    for app, interface, route in rows:
        floor = ("floor", interface, route)
        line = [app, interface, apps.ROUTE_LABELS[route], f"{micro[app, interface, route]:.2f}",
                "" if app == "floor" else f"{micro[app, interface, route] - micro[floor]:.2f}"]
        if counted:
            row = counted[app, interface, route]
            line += [f"{row['instructions']:,.0f}", "" if app == "floor" else f"{row['over_floor']:,.0f}"]
        lines.append(line)
    widths = [max(len(line[i]) for line in lines) for i in range(len(header))]
    right = {3, 4, 5, 6}
    for n, line in enumerate(lines):
        cells = [cell.rjust(w) if i in right else cell.ljust(w) for i, (cell, w) in enumerate(zip(line, widths))]
        print("| " + " | ".join(cells) + " |")
        if n == 0:
            print("|" + "|".join("-" * (w + 2) for w in widths) + "|")


def chart(rows, micro, counted, path: Path):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no chart")
        return
    series = [r for r in dict.fromkeys((app, interface) for app, interface, _ in rows) if r[0] != "floor"]
    routes = list(dict.fromkeys(route for _, _, route in rows))
    panels = [("µs per request over the floor", lambda row: micro[row] - micro[("floor",) + row[1:]])]
    if counted:
        panels.append(("thousand instructions per request over the floor",
                       lambda row: counted[row]["over_floor"] / 1000))
    colours = {"demo": "#2e7d32", "starlette": "#1565c0", "litestar": "#e65100"}
    fig, axes = plt.subplots(1, len(panels), figsize=(7 * len(panels), 1.2 + 0.32 * len(routes) * len(series)),
                             squeeze=False)
    height = 0.8 / len(series)
    for axis, (title, value) in zip(axes[0], panels):
        for i, (app, interface) in enumerate(series):
            ys = [r + i * height for r in range(len(routes))]
            values = [value((app, interface, route)) for route in routes]
            bars = axis.barh(ys, values, height=height * 0.95, label=f"{app} ({interface})",
                             color=colours.get(app, "#757575"), alpha=1.0 if interface == "asgi" else 0.55)
            axis.bar_label(bars, labels=[f"{v:.1f}" for v in values], fontsize=7, padding=2)
        axis.set_yticks([r + 0.4 - height / 2 for r in range(len(routes))],
                        [apps.ROUTE_LABELS[route] for route in routes], fontsize=8)
        axis.invert_yaxis()
        axis.set_title(title, fontsize=9)
        axis.tick_params(axis="x", labelsize=8)
    axes[0][0].legend(fontsize=8, loc="lower right")
    fig.suptitle("in process, fake uvicorn-shaped ASGI and granian-shaped RSGI servers", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"chart: {path}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--instructions", action="store_true", help="also count instructions with callgrind")
    parser.add_argument("--apps", default=",".join(apps.APPS), help="applications to measure (comma-separated)")
    parser.add_argument("--routes", default=",".join(apps.ROUTES), help="routes (comma-separated)")
    parser.add_argument("--rounds", type=int, default=7, help="timed rounds (best of)")
    parser.add_argument("--target", type=float, default=0.04, help="seconds per row and round")
    parser.add_argument("--count", type=int, default=COUNT, help="requests of the first counted section (N)")
    parser.add_argument("--warmup", type=int, default=WARMUP, help="warm-up requests per row")
    parser.add_argument("--jobs", type=int, default=2, help="callgrind processes at a time")
    parser.add_argument("--chart", default=str(HERE / "inproc.png"), help="chart to write ('' for none)")
    parser.add_argument("--json", type=Path, help="write the figures to this file")
    parser.add_argument("--child", nargs=2, metavar=("APP", "INTERFACE"), help=argparse.SUPPRESS)
    parser.add_argument("--layout", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args)
        return

    selected = [a for a in args.apps.split(",") if a]
    if "floor" not in selected:
        selected.insert(0, "floor")
    routes = [r for r in args.routes.split(",") if r]
    unknown = sorted(set(selected) - set(apps.APPS)) + sorted(set(routes) - set(apps.ROUTES))
    if unknown:
        parser.error(f"unknown application or route: {', '.join(unknown)}")
    if args.instructions:
        require_valgrind()
    rows = all_rows(selected, routes)
    import brindlewick

    print(f"brindlewick from {Path(brindlewick.__file__).parent}; "
          + ", ".join(f"{k} {v}" for k, v in apps.versions().items()))
    began = started = time.monotonic()
    micro = time_rows(rows, args.rounds, args.target)
    timed = time.monotonic() - started
    print(f"timing: {args.rounds} interleaved rounds, {timed:.1f} s")
    counted = None
    if args.instructions:
        started = time.monotonic()
        jobs = [(app, interface, routes) for app, interface in dict.fromkeys((a, i) for a, i, _ in rows)
                if app != "floor"]
        if not jobs:  # the floors alone
            jobs = [("floor", interface, routes) for interface in dict.fromkeys(i for _, i, _ in rows)]
        results = count_instructions(jobs, args.count, args.warmup, args.jobs)
        counted = {}
        for (job_app, interface), job_rows in results.items():
            for (app, _, route), row in job_rows.items():
                floor = job_rows["floor", interface, route]["instructions"]
                row["over_floor"] = row["instructions"] - floor
                # The floor rows shown are the demo's process's (or the first one's).
                if app != "floor" or job_app == "demo" or (app, interface, route) not in counted:
                    counted[app, interface, route] = row
        print(f"instructions: N={args.count}, {len(jobs)} callgrind processes, {args.jobs} at a time, "
              f"{time.monotonic() - started:.1f} s")
    print()
    print_table(rows, micro, counted)
    if args.chart:
        chart(rows, micro, counted, Path(args.chart))
    if args.json:
        data = {"versions": apps.versions(), "rows": [
            {"app": a, "interface": i, "route": r, "us": micro[a, i, r],
             **({"instructions": counted[a, i, r]["instructions"], "over_floor": counted[a, i, r]["over_floor"]}
                if counted else {})} for a, i, r in rows]}
        args.json.write_text(json.dumps(data, indent=1))
    print(f"total: {time.monotonic() - began:.1f} s")


if __name__ == "__main__":
    main()
