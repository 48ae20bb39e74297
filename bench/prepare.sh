# Sourced by the bench scripts after they set packages=(...) and
# targets=(...): takes --build DIR out of the arguments (build, default
# build-release; the rest stay in arguments), installs the missing packages
# (as root, through apt-get) and builds the targets in release mode.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=build-release
arguments=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    *) arguments+=("$1"); shift ;;
  esac
done
case "$build" in /*) ;; *) build="$root/$build" ;; esac

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

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DDICOMTOOLKIT_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "${DICOMTOOLKIT_BUILD_JOBS:-2}" --target "${targets[@]}" >/dev/null
