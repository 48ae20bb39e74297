#!/usr/bin/env bash
# Time and peak memory of dicomtk on one large multi-frame object (200 MiB;
# about 2 GB with --huge), beside dcmdump and storescu/storescp and the
# file's size: dump, load, copy, and receiving it with dicomtk serve from
# dicomtk store and from storescu. Installs DCMTK and GNU time when missing
# (as root, through apt-get), builds the release tools in build-release/ (or
# --build DIR) and runs bench/large_objects.py, which prints each run and a
# table. A few minutes by default; --huge needs about 8 GB of disk and
# several times as long.
#
#   bench/large_objects.sh [--huge] [--runs N] [--build DIR] [--work DIR]
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

packages=(cmake make g++ libbenchmark-dev python3 dcmtk time)
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
cmake --build "$build" -j "$jobs" --target dicomtk make_large_object load_files >/dev/null
exec /usr/bin/python3 "$root/bench/large_objects.py" --build "$build" ${arguments[@]+"${arguments[@]}"}
