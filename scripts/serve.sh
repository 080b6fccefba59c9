#!/usr/bin/env bash
# Sets everything up (CPython 3.14, venv, build, the servers granian and
# uvicorn of requirements-dev.txt; nothing is rebuilt while the sources are
# unchanged) and serves the demo application; arguments go to the demo, e.g.
#   ./scripts/serve.sh --interface asgi --server uvicorn --port 8080 --workers 2
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/_setup.sh"
# No cd: paths given to the demo (--files, --ssl-*) are taken from where it was started.
exec "$python" -m brindlewick.demo "$@"
