"""Where the demo's instructions go: callgrind profiles of its requests.

Builds the package with debugging symbols (the Release flags plus -g, which
leaves the generated code as it is) into build/profile, runs
bench/inproc.py's counting processes on that build for the demo's GET / and
POST /echo over ASGI and RSGI, and prints for each row, per request (the
counted section of 2N requests divided by 2N):

- the top functions by exclusive and by inclusive instructions
  (callgrind_annotate);
- the split by object: the interpreter binary (which runs every line of
  Python, the demo's and the fake server's, and the C API the native code
  calls), the package's own native modules, msgspec, the C library; beside
  the floor of the same interface, so the difference is what the demo adds.

    python bench/profile_inproc.py                          # all four rows, top 25
    python bench/profile_inproc.py --interfaces asgi --routes hello --top 40

The callgrind files stay in build/profile/callgrind (one per section; the
row's file is named in the output) for callgrind_annotate or KCachegrind.
The interpreter Debian ships is stripped: its internal (static) functions
show as addresses in python3.14, its C API functions by name.
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
from collections import defaultdict
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import _inproc_apps as apps  # noqa: E402
import inproc  # noqa: E402

BUILD = inproc.ROOT / "build" / "profile"


def build_with_symbols(jobs: int) -> Path:
    """The importable tree of a Release build with -g, built incrementally."""
    cache = BUILD / "CMakeCache.txt"
    if not cache.exists() or not re.search(r"^CMAKE_CXX_FLAGS:STRING=.*-g\b", cache.read_text(), re.M):
        subprocess.run(["cmake", "-S", str(inproc.ROOT), "-B", str(BUILD), "-G", "Ninja",
                        "-DCMAKE_BUILD_TYPE=Release", "-DCMAKE_CXX_FLAGS=-g",
                        f"-DPython_EXECUTABLE={sys.executable}"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(BUILD), "-j", str(jobs)], check=True, stdout=subprocess.DEVNULL)
    return BUILD / "pkg"


_NAME = re.compile(r"\((\d+)\)(?: (.*))?")


def exclusive_costs(path: Path) -> dict[tuple[str, str], int]:
    """Exclusive instructions of each (object file, function) of one callgrind
    dump.  The cost line after a ``calls=`` line is the call's inclusive
    cost, not the caller's own: left out, even for the calls still running
    when the dump was taken (``calls=0``), which callgrind_annotate 3.19
    counts as the caller's own cost."""
    names: dict[tuple[str, str], str] = {}
    totals: dict[tuple[str, str], int] = defaultdict(int)
    obj, fn = "?", "?"
    after_calls = False

    def name(kind, text):
        match = _NAME.fullmatch(text)
        if not match:
            return text
        key = (kind, match.group(1))
        if match.group(2) is not None:
            names[key] = match.group(2)
        return names.get(key, text)

    with open(path) as f:
        for line in f:
            if line[0].isdigit() or line[0] in "+-*":
                if after_calls:
                    after_calls = False
                    continue
                parts = line.split()
                if len(parts) >= 2:
                    totals[obj, fn] += int(parts[1])
            elif line.startswith("ob="):
                obj = name("ob", line[3:].strip())
            elif line.startswith("fn="):
                fn = name("fn", line[3:].strip())
            elif line.startswith("cob="):
                name("ob", line[4:].strip())  # a compressed name seen first here
            elif line.startswith("cfn="):
                name("fn", line[4:].strip())
            elif line.startswith("calls="):
                after_calls = True
    return totals


def object_kind(obj: str) -> str:
    base = os.path.basename(obj)
    if "/brindlewick/" in obj or base.startswith("_brindlewick_core"):
        return f"brindlewick {base.split('.')[0]}"
    if "msgspec" in obj:
        return "msgspec"
    if base.startswith("python3"):
        return "interpreter (python3.14)"
    if base.startswith("libc.so") or base.startswith("libm.so"):
        return "C library"
    if base.startswith("ld-linux"):
        return "dynamic loader"
    return base


def annotate_inclusive(path: Path, requests: int, top: int) -> list[str]:
    """The top functions of one dump by inclusive instructions per request
    (callgrind_annotate), less the frames every section runs under."""
    command = ["callgrind_annotate", "--threshold=100", "--inclusive=yes", str(path)]
    output = subprocess.run(command, capture_output=True, text=True, check=True).stdout
    rows = []
    started = False
    for line in output.splitlines():
        if "file:function" in line:
            started = True
            continue
        match = re.match(r"^\s*([\d,]+)\s+\(\s*([\d.]+)%\)\s+(.*)$", line)
        if not started or not match or float(match.group(2)) >= 99.5:
            continue  # main, the event loop, the fake server's batch
        count = int(match.group(1).replace(",", ""))
        rows.append(f"{count / requests:>10,.0f}  {match.group(2):>5}%  {shorten(match.group(3))}")
        if len(rows) == top:
            break
    return rows


def shorten(function: str) -> str:
    function = function.replace(str(inproc.ROOT) + "/", "")
    function = re.sub(r"\[(/[^\]]*/)([^/\]]+)\]$", r"[\2]", function)
    return function


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--interfaces", default="asgi,rsgi")
    parser.add_argument("--routes", default="hello,echo")
    parser.add_argument("--top", type=int, default=25)
    parser.add_argument("--count", type=int, default=inproc.COUNT, help="N (the profiled section has 2N requests)")
    parser.add_argument("--inclusive", action="store_true", help="also the top functions by inclusive instructions")
    parser.add_argument("--jobs", type=int, default=int(os.environ.get("JOBS", 2)))
    args = parser.parse_args()
    inproc.require_valgrind()
    if shutil.which("callgrind_annotate") is None:
        sys.exit("profile: callgrind_annotate is needed (apt-get install valgrind)")
    routes = args.routes.split(",")
    pkg = build_with_symbols(args.jobs)
    jobs = [("demo", interface, routes) for interface in args.interfaces.split(",")]
    results = inproc.count_instructions(jobs, args.count, inproc.WARMUP, args.jobs, BUILD / "callgrind",
                                        pythonpath=str(pkg))
    requests = 2 * args.count
    for (_, interface), rows in results.items():
        for route in routes:
            demo, floor = rows["demo", interface, route], rows["floor", interface, route]
            title = f"demo, {interface.upper()}, {apps.ROUTE_LABELS[route]}"
            print(f"\n== {title}: {demo['instructions']:,.0f} instructions per request, "
                  f"{demo['instructions'] - floor['instructions']:,.0f} over the floor ({floor['instructions']:,.0f})")
            print(f"   profile of {requests} requests: {demo['dump']}")
            mine, base = exclusive_costs(Path(demo["dump"])), exclusive_costs(Path(floor["dump"]))
            kinds: dict[str, list[float]] = defaultdict(lambda: [0.0, 0.0])
            for (obj, _), count in mine.items():
                kinds[object_kind(obj)][0] += count / requests
            for (obj, _), count in base.items():
                kinds[object_kind(obj)][1] += count / requests
            print(f"   {'exclusive instructions per request by object':<44} {'demo':>9} {'floor':>9} {'added':>9}")
            for kind, (d, f) in sorted(kinds.items(), key=lambda item: -item[1][0]):
                if d >= 1 or f >= 1:
                    print(f"   {kind:<44} {d:>9,.0f} {f:>9,.0f} {d - f:>9,.0f}")
            total = sum(mine.values())
            print(f"   top {args.top} functions by exclusive instructions per request "
                  f"(demo, floor, added; share of the demo's):")
            ranked = sorted(mine.items(), key=lambda item: -item[1])[: args.top]
            for (obj, fn), count in ranked:
                d, f = count / requests, base.get((obj, fn), 0) / requests
                print(f"   {d:>8,.0f} {f:>8,.0f} {d - f:>8,.0f}  {count / total:>6.1%}  "
                      f"{shorten(fn)} [{object_kind(obj)}]")
            if args.inclusive:
                print(f"   top {args.top} functions by inclusive instructions per request:")
                for line in annotate_inclusive(Path(demo["dump"]), requests, args.top):
                    print("   " + line)


if __name__ == "__main__":
    main()
