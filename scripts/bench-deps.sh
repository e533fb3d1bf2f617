#!/usr/bin/env bash
# The C peers of the benchmarks (liquid-dsp, VOLK, libfec), from Debian. Only libfec
# is needed by the tests too (the coding cross-checks), so setup.sh installs it as
# well. Safe to re-run: installed packages are skipped.
set -euo pipefail
debs=(libliquid-dev libvolk2-dev libfec-dev)
missing=()
for d in "${debs[@]}"; do
    [ "$(dpkg-query -W -f='${Status}' "$d" 2>/dev/null)" = "install ok installed" ] || missing+=("$d")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "bench-deps: installing ${missing[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
