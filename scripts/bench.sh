#!/usr/bin/env bash
# Sets everything up (CPython 3.14, venv, build, the benchmark requirements,
# valgrind) and runs every benchmark of bench/, each printing its table:
#   scripts/bench.sh                                   # bench_*.py, e2e.py, inproc.py --instructions
#   scripts/bench.sh bench/bench_x.py [bench/y.py...]  # some of them
#   scripts/bench.sh bench/inproc.py --instructions    # one, with its arguments
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/_setup.sh"
cd "$root"
install_bench_requirements
# callgrind counts the instructions of bench/inproc.py
if [[ $# -eq 0 || "$*" == *inproc* ]]; then ensure_valgrind; fi
if [[ $# -eq 0 ]]; then
    for f in bench/bench_*.py bench/e2e.py; do
        echo "== $f"
        "$python" "$f"
    done
    echo "== bench/inproc.py --instructions"
    "$python" bench/inproc.py --instructions
elif [[ $# -gt 1 && "$2" == -* ]]; then
    echo "== $*"
    "$python" "$@"
else
    for f in "$@"; do
        echo "== $f"
        "$python" "$f"
    done
fi
