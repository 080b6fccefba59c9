#!/usr/bin/env bash
# Sets everything up (CPython 3.14, venv, build) and runs the test suite;
# then does the same on the newest older CPython found through pyenv.
# Extra arguments go to pytest.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/_setup.sh"
cd "$root"
# pyproject.toml already runs pytest with -q; every further -q would take
# verbosity below the level at which pytest prints its closing pass/fail line,
# so each one given here is balanced by a -v.
args=("$@")
for arg in "$@"; do
    case "$arg" in
        --quiet) args+=(-v) ;;
        --*) ;;
        -*[!a-zA-Z]*) ;;
        -*q*) quiet="${arg//[!q]/}"; for ((i = 0; i < ${#quiet}; i++)); do args+=(-v); done ;;
    esac
done
status=0
echo "== tests on $("$python" -c 'import sys; print(sys.version.split()[0])')"
"$python" -m pytest tests "${args[@]}" || status=$?

if [[ "${BRINDLEWICK_ONLY_314:-}" != 1 ]]; then
    older="$(older_python || true)"
    if [[ -n "$older" ]]; then
        venv="$root/.venv-$("$older" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
        [[ -x "$venv/bin/python" ]] || "$older" -m venv "$venv"
        install_into "$venv/bin/python"
        echo "== tests on $("$venv/bin/python" -c 'import sys; print(sys.version.split()[0])')"
        "$venv/bin/python" -m pytest tests "${args[@]}" || status=$?
    fi
fi
exit $status
