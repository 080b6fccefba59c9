#!/usr/bin/env bash
# Sets everything up (CPython 3.14, venv, build, the `serve` extras granian and
# uvicorn) and serves the demo application; arguments go to the demo, e.g.
#   ./scripts/serve.sh --interface asgi --server uvicorn --port 8080 --workers 2
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/_setup.sh"
cd "$root"
"$python" -m pip install -q --disable-pip-version-check "granian>=2" "uvicorn>=0.30" \
    || { echo "serve: installing granian and uvicorn failed" >&2; exit 1; }
exec "$python" -m brindlewick.demo "$@"
