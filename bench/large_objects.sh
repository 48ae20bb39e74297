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
packages=(cmake make g++ libbenchmark-dev python3 dcmtk time)
targets=(dicomtk make_large_object load_files)
source "$(dirname "$0")/prepare.sh" "$@"
exec /usr/bin/python3 "$root/bench/large_objects.py" --build "$build" ${arguments[@]+"${arguments[@]}"}
