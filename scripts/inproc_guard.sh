#!/usr/bin/env bash
# Sets everything up (CPython 3.14, venv, build, valgrind) and runs the
# instruction-count regression guard bench/inproc_guard.py; arguments go to
# it.  Fails when the demo's GET / or POST /echo costs more than 5% more
# instructions per request over the floor than bench/inproc_baseline.json
# says (see docs/benchmarks.md).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/_setup.sh"
cd "$root"
# The guard counts the demo and the floors only: it needs none of
# bench/requirements.txt (the peers and matplotlib take minutes to install
# on a fresh machine).
ensure_valgrind
exec "$python" bench/inproc_guard.py "$@"
