"""Regression guard: the demo's instructions per request, against a baseline.

Counts, with bench/inproc.py's callgrind mode, the demo's GET / and POST
/echo (1 KiB) over ASGI and over RSGI, and compares each row's
instructions per request over the floor of its interface with
bench/inproc_baseline.json.  Fails when any row costs more than the
baseline's tolerance (5%) more; says so, without failing, when one costs
that much less (a gain to lock in by updating the baseline).

    python bench/inproc_guard.py                       # compare (CI: scripts/inproc_guard.sh)
    python bench/inproc_guard.py --update --reason "why the cost moved"

``--update`` rewrites the baseline from this run, with the interpreter and
package versions, the date and the reason; commit it on its own, the reason
in the commit message.
"""

from __future__ import annotations

import argparse
import datetime
import json
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import _inproc_apps as apps  # noqa: E402
import inproc  # noqa: E402

BASELINE = HERE / "inproc_baseline.json"
ROUTES = ("hello", "echo")
TOLERANCE = 0.05
COMPARED = "instructions per request over the floor of the same interface (over_floor)"


def toolchain() -> dict[str, str]:
    """The machine and the compiler the package was built with, for the record."""
    import platform
    import subprocess

    found = {"machine": platform.machine()}
    try:
        found["c++"] = subprocess.run(["c++", "--version"], capture_output=True, text=True).stdout.splitlines()[0]
    except (OSError, IndexError):
        pass
    return found


def measure(count: int, parallel: int) -> dict:
    """{"asgi GET /": {"instructions", "floor", "over_floor"}, ...} of this build."""
    results = inproc.count_instructions([("demo", interface, ROUTES) for interface in apps.INTERFACES],
                                        count, inproc.WARMUP, parallel, inproc.ROOT / "build" / "inproc" / "guard")
    rows = {}
    for (_, interface), job in results.items():
        for route in ROUTES:
            demo = job["demo", interface, route]["instructions"]
            floor = job["floor", interface, route]["instructions"]
            rows[f"{interface} {apps.ROUTE_LABELS[route]}"] = {
                "instructions": round(demo), "floor": round(floor), "over_floor": round(demo - floor)}
    return rows


def compare(baseline: dict, rows: dict, tolerance: float):
    """(table lines, rows that rose by more than ``tolerance``, rows that fell
    by more) of this run's ``rows`` against the baseline's; a baseline row
    this run lacks counts as risen."""
    lines = [f"| {'row':<24} | {'baseline':>9} | {'now':>9} | {'change':>7} | verdict |",
             f"|{'-' * 26}|{'-' * 11}|{'-' * 11}|{'-' * 9}|---------|"]
    failed, lower = [], []
    for name, want in baseline.items():
        if name not in rows:
            failed.append(name)
            lines.append(f"| {name:<24} | {want['over_floor']:>9,} | {'-':>9} | {'-':>7} | MISSING |")
            continue
        got = rows[name]["over_floor"]
        change = got / want["over_floor"] - 1
        verdict = "ok"
        if change > tolerance + 1e-12:  # exactly the tolerance passes
            verdict = "FAILED"
            failed.append(name)
        elif change < -tolerance - 1e-12:
            verdict = "lower"
            lower.append(name)
        lines.append(f"| {name:<24} | {want['over_floor']:>9,} | {got:>9,} | {change:>+7.1%} | {verdict:<7} |")
    return lines, failed, lower


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--baseline", type=Path, default=BASELINE)
    parser.add_argument("--update", action="store_true", help="write the baseline from this run")
    parser.add_argument("--reason", help="why the baseline changes (required with --update)")
    parser.add_argument("--jobs", type=int, default=2, help="callgrind processes at a time")
    args = parser.parse_args()
    if args.update and not args.reason:
        parser.error("--update needs --reason")

    baseline = None if args.update else json.loads(args.baseline.read_text())
    count = baseline["count"] if baseline else inproc.COUNT
    tolerance = baseline.get("tolerance", TOLERANCE) if baseline else TOLERANCE
    versions = apps.versions()
    started = time.monotonic()
    rows = measure(count, args.jobs)
    print(f"counted in {time.monotonic() - started:.1f} s (N={count}); "
          + ", ".join(f"{k} {v}" for k, v in versions.items()))

    if args.update:
        data = {
            "about": ("Instructions per request of the demo (bench/inproc.py --instructions), the baseline of "
                      "bench/inproc_guard.py. Update it deliberately: python bench/inproc_guard.py --update "
                      "--reason '...', then commit this file alone with the reason in the commit message."),
            "compared": COMPARED,
            "tolerance": TOLERANCE,
            "taken": datetime.date.today().isoformat(),
            "reason": args.reason,
            "versions": versions,
            "toolchain": toolchain(),
            "count": count,
            "rows": rows,
        }
        args.baseline.write_text(json.dumps(data, indent=2) + "\n")
        for name, row in rows.items():
            print(f"  {name:<24} {row['over_floor']:>9,} over the floor ({row['instructions']:,} in all)")
        print(f"baseline written: {args.baseline}")
        return 0

    lines, failed, lower = compare(baseline["rows"], rows, tolerance)
    print("\n".join(lines))
    differs = {k: (baseline["versions"].get(k), v) for k, v in versions.items()
               if k in ("python", "msgspec") and baseline["versions"].get(k) != v}
    if differs:
        print("note: the baseline was taken with " + ", ".join(f"{k} {old} (now {new})"
                                                              for k, (old, new) in differs.items()))
    if lower:
        print("some rows cost less than the baseline: update it (--update --reason ...) to keep the gain")
    if failed:
        print(f"inproc guard: {', '.join(failed)} rose by more than {tolerance:.0%} over "
              f"{args.baseline.name} (taken {baseline['taken']}: {baseline['reason']})")
        return 1
    print(f"inproc guard: every row within {tolerance:.0%} of the baseline")
    return 0


if __name__ == "__main__":
    sys.exit(main())
