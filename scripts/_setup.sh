# Sourced by test.sh, bench.sh, serve.sh and load.sh: provisions CPython 3.14
# and a venv, installs the development requirements and builds and installs
# the package, unless the venv already holds an install of these very sources
# (the hash in .venv/.brindlewick-installed). Sets $python to the venv's
# interpreter.
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# The content hash of everything an install depends on: the requirements and
# the sources pip builds the package from.
source_hash() {
    (cd "$root" && find requirements-dev.txt pyproject.toml CMakeLists.txt cmake native src -type f \
        ! -path '*/__pycache__/*' ! -name '*.pyc' -print0 | LC_ALL=C sort -z | xargs -0 sha256sum) \
        | sha256sum | cut -d' ' -f1
}

# install_into PYTHON: requirements, then the package itself; skipped when the
# environment's stamp holds the hash of the same sources and the installed
# package still imports (isolated: no PYTHONPATH, no checkout on sys.path).
install_into() {
    local py="$1" stamp hash
    stamp="$(cd "$(dirname "$py")/.." && pwd)/.brindlewick-installed"
    hash="$(source_hash)"
    if [[ -f "$stamp" && "$(cat "$stamp")" == "$hash" ]] \
        && (cd / && "$py" -I -c 'import brindlewick.messages, brindlewick.scribe') 2>/dev/null; then
        return 0
    fi
    rm -f "$stamp"
    "$py" -m pip install -q --disable-pip-version-check -r "$root/requirements-dev.txt" \
        || { echo "setup: installing requirements-dev.txt failed" >&2; return 1; }
    "$py" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps "$root" \
        || { echo "setup: building brindlewick failed" >&2; return 1; }
    echo "$hash" > "$stamp"
}

python="$("$root/scripts/provision-python.sh")"
install_into "$python"

# The newest older CPython that pyenv has (3.13 or newer), for a second run.
older_python() {
    command -v pyenv >/dev/null 2>&1 || return 0
    local v
    v=$(pyenv versions --bare 2>/dev/null | grep -E '^3\.(1[3-9])\.[0-9]+$' | grep -v '^3\.14' | sort -V | tail -n1)
    [[ -n "$v" ]] || return 0
    local prefix
    prefix=$(pyenv prefix "$v" 2>/dev/null) || return 0
    local minor=${v%.*}
    [[ -x "$prefix/bin/python$minor" ]] && echo "$prefix/bin/python$minor"
}

install_bench_requirements() {  # the benchmarks' peers and chart library, into $python's venv
    "$python" -m pip install -q --disable-pip-version-check -r "$root/bench/requirements.txt" \
        || { echo "setup: installing bench/requirements.txt failed" >&2; return 1; }
}

ensure_valgrind() {  # Debian's valgrind (callgrind), installed with apt-get when missing
    command -v valgrind >/dev/null 2>&1 && command -v callgrind_annotate >/dev/null 2>&1 && return 0
    if [[ $(id -u) -ne 0 ]]; then
        echo "setup: valgrind is needed (apt-get install valgrind) and this user cannot install it" >&2
        return 1
    fi
    echo "setup: installing valgrind" >&2
    apt-get update -qq >&2 || { echo "setup: apt-get update failed" >&2; return 1; }
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq valgrind >&2 \
        || { echo "setup: apt-get install valgrind failed" >&2; return 1; }
}
