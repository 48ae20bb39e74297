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
packages=(cmake make g++ libbenchmark-dev python3 dcmtk)
targets=(dicomtk make_ct_series durable_write_ceiling load_files plugin_bench echo_associations)
source "$(dirname "$0")/prepare.sh" "$@"
exec /usr/bin/python3 "$root/bench/peers.py" --build "$build" ${arguments[@]+"${arguments[@]}"}
