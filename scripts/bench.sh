#!/usr/bin/env bash
# Sets everything up (CPython 3.14, venv, build) and runs every benchmark of
# bench/, each printing its table; `scripts/bench.sh bench/bench_x.py` runs one.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/_setup.sh"
cd "$root"
if [[ -f "$root/bench/requirements.txt" ]]; then
    "$python" -m pip install -q --disable-pip-version-check -r "$root/bench/requirements.txt"
fi
files=("$@")
[[ ${#files[@]} -gt 0 ]] || files=(bench/bench_*.py bench/e2e.py)
for f in "${files[@]}"; do
    echo "== $f"
    "$python" "$f"
done
