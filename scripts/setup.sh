#!/usr/bin/env bash
# Installs what kolvane needs on a fresh Debian machine and builds the package into
# a virtual environment. Safe to re-run: installed pieces are skipped.
#   scripts/setup.sh [venv-dir] [sanitizers]
set -euo pipefail
cd "$(dirname "$0")/.."
venv=${1:-.venv}
sanitize=${2:-}

debs=(libfftw3-dev libnats-dev libcjson-dev nats-server g++ libfec-dev)
# clang with its sanitizer and libFuzzer runtimes builds the fuzz harnesses
# that the test command runs (scripts/fuzz.sh).
debs+=(clang libclang-rt-14-dev)
# When python3 is Debian's own interpreter it needs its headers and venv module
# from Debian too; an interpreter installed elsewhere brings both.
if [ "$(command -v python3)" = /usr/bin/python3 ]; then
    debs+=(python3-dev python3-venv)
fi
missing=()
for d in "${debs[@]}"; do
    # `dpkg -s` also succeeds for a removed package whose configuration is left behind.
    [ "$(dpkg-query -W -f='${Status}' "$d" 2>/dev/null)" = "install ok installed" ] || missing+=("$d")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# A venv left without pip by an interrupted or failed first run is made again.
if ! "$venv/bin/python" -m pip --version >/dev/null 2>&1; then
    rm -rf "$venv"
    python3 -m venv "$venv"
fi
py="$venv/bin/python"
stamp="$venv/.deps-installed"
if [ ! -f "$stamp" ] || [ requirements-dev.txt -nt "$stamp" ]; then
    "$py" -m pip install -q --upgrade pip
    "$py" -m pip install -q -r requirements-dev.txt
    touch "$stamp"
fi

# Build and install the package itself (the build dir keeps incremental builds fast).
builddir="build/${venv##*/}"
KOLVANE_SANITIZE="$sanitize" "$py" -m pip install -q --no-build-isolation --no-deps \
    -C build-dir="$builddir" .
