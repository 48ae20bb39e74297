#!/usr/bin/env bash
# dicomtk beside DCMTK and beside the machine's limits, in one run: C-STORE
# and C-ECHO over loopback, dump and loading of 200 CT slices, the plug-ins'
# Convert, and the storage server's memory. Installs DCMTK when missing (as
# root, through apt-get), builds the release tools in build-release/ (or
# --build DIR) and runs bench/peers.py, which prints each run and a table of
# medians and ratios. About 3 minutes on 2 cores; --quick takes 2 runs of
# each instead of 7, and 1,000 associations instead of 10,000.
#
#   bench/peers.sh [--quick] [--runs N] [--build DIR] [--work DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=build-release
arguments=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    *) arguments+=("$1"); shift ;;
  esac
done
case "$build" in /*) ;; *) build="$root/$build" ;; esac

packages=(cmake make g++ libbenchmark-dev python3 dcmtk)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q >/dev/null
  apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
fi

jobs=${DICOMTOOLKIT_BUILD_JOBS:-2}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DDICOMTOOLKIT_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target dicomtk make_ct_series durable_write_ceiling load_files plugin_bench \
  echo_associations >/dev/null
exec /usr/bin/python3 "$root/bench/peers.py" --build "$build" ${arguments[@]+"${arguments[@]}"}
