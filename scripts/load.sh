#!/usr/bin/env bash
# Sets everything up (CPython 3.14, venv, build, the benchmark requirements,
# wrk) and runs the sustained load check bench/load.py; arguments go to it:
#   ./scripts/load.sh                  # 60 s per server, granian RSGI, granian ASGI, uvicorn
#   ./scripts/load.sh --duration 15    # the CI length
# Fails when a server answers anything but 2xx, a connection fails, or the
# server's memory grows by 5% or more after warm-up (see docs/hardening.md).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/_setup.sh"
cd "$root"
"$python" -m pip install -q --disable-pip-version-check -r "$root/bench/requirements.txt" \
    || { echo "load: installing bench/requirements.txt failed" >&2; exit 1; }
if ! command -v wrk >/dev/null 2>&1 || ! command -v taskset >/dev/null 2>&1; then
    if [[ $(id -u) -ne 0 ]]; then
        echo "load: wrk and taskset are needed (apt-get install wrk util-linux) and this user cannot install them" >&2
        exit 1
    fi
    echo "load: installing wrk" >&2
    apt-get update -qq >&2 || { echo "load: apt-get update failed" >&2; exit 1; }
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq wrk util-linux >&2 \
        || { echo "load: apt-get install wrk failed" >&2; exit 1; }
fi
exec "$python" bench/load.py "$@"
