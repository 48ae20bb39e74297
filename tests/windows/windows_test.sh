#!/usr/bin/env bash
# One Windows test program run through Wine, the same way on this machine
# and inside the emulated one: in a fresh working folder RESULTS/NAME/work,
# its standard output, standard error and exit status kept in RESULTS/NAME.
#
#   windows_test.sh run RESULTS NAME [--copy FILE]... [CHECK]... -- PROGRAM [ARGUMENT]...
#       exec, then check: Wine runs the program on this machine.
#   windows_test.sh exec RESULTS NAME [--copy FILE]... -- PROGRAM [ARGUMENT]...
#       Runs `wine PROGRAM ARGUMENT...` (with --copy, FILE is copied into the
#       working folder first). What it printed and its status go to RESULTS/NAME.
#   windows_test.sh check RESULTS NAME [CHECK]...
#       Shows what the program printed; passes when it exited with 0 and
#       every CHECK holds:
#         --stdout EXPECTED     its standard output is the text of EXPECTED
#         --text FILE EXPECTED  the working folder's FILE is the text of EXPECTED
#         --file FILE EXPECTED  the working folder's FILE is EXPECTED byte for byte
#       Texts are compared with CR LF read as LF: a Windows program writes
#       text in text mode, a Linux one does not.
#   windows_test.sh boot RESULTS LIST
#       Empties RESULTS and has one boot of the emulated machine run every
#       exec command of LIST (wine-vm.sh batch); the checks come after.
#
# Wine's environment comes from the caller (WINEPREFIX; WINEDEBUG is -all
# unless set). A program gets DICOMTOOLKIT_WINDOWS_PROGRAM_TIMEOUT seconds
# (default 900).
set -u
here=$(cd "$(dirname "$0")" && pwd)
mode=${1:-}
[ $# -ge 3 ] || { echo "usage: windows_test.sh run|exec|check|boot RESULTS NAME|LIST ..." >&2; exit 2; }
results=$2
name=$3
shift 3

run_program() {
  local folder=$results/$name copies=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do
    case $1 in
      --copy) copies+=("$2"); shift 2 ;;
      *) shift ;;  # a check, for check to read
    esac
  done
  [ "${1:-}" = -- ] || { echo "windows_test.sh: no -- before the program" >&2; return 2; }
  shift
  rm -rf "$folder"
  mkdir -p "$folder/work" || return 2
  local file
  for file in "${copies[@]}"; do
    cp "$file" "$folder/work/" || { echo "cannot copy $file" >"$folder/stderr"; echo 2 >"$folder/status"; return 0; }
  done
  local started=$SECONDS status
  (cd "$folder/work" && WINEDEBUG=${WINEDEBUG:--all} \
    timeout -k 10 "${DICOMTOOLKIT_WINDOWS_PROGRAM_TIMEOUT:-900}" wine "$@") \
    </dev/null >"$folder/stdout" 2>"$folder/stderr"
  status=$?
  echo "$status $((SECONDS - started))" >"$folder/status"
}

# Reads FILE as text written on Windows or on Linux.
as_text() { sed 's/\r$//' "$1"; }

check_results() {
  local folder=$results/$name
  if [ ! -f "$folder/status" ]; then
    echo "$name did not run: no $folder/status"
    return 1
  fi
  local status seconds failures=0
  read -r status seconds <"$folder/status"
  echo "== $name: exit status $status after ${seconds:-?}s"
  echo "== standard output"
  cat "$folder/stdout"
  if [ -s "$folder/stderr" ]; then
    echo "== standard error"
    cat "$folder/stderr"
  fi
  [ "$status" = 0 ] || failures=$((failures + 1))
  while [ $# -gt 0 ]; do
    case $1 in
      --copy) shift 2 ;;
      --stdout)
        if ! cmp -s <(as_text "$folder/stdout") <(as_text "$2"); then
          echo "FAILED: standard output differs from $2:"
          diff <(as_text "$2") <(as_text "$folder/stdout") | head -n 20
          failures=$((failures + 1))
        fi
        shift 2
        ;;
      --text)
        if [ ! -f "$folder/work/$2" ] || ! cmp -s <(as_text "$folder/work/$2") <(as_text "$3"); then
          echo "FAILED: $2 is not the text of $3"
          failures=$((failures + 1))
        fi
        shift 3
        ;;
      --file)
        if ! cmp "$folder/work/$2" "$3"; then
          echo "FAILED: $2 differs from $3"
          failures=$((failures + 1))
        fi
        shift 3
        ;;
      --) break ;;
      *) echo "windows_test.sh: unknown check $1"; return 2 ;;
    esac
  done
  [ $failures -eq 0 ]
}

case $mode in
  exec) run_program "$@" ;;
  check) check_results "$@" ;;
  run)
    run_program "$@" || exit $?
    check_results "$@"
    ;;
  boot)
    list=$name
    rm -rf "$results"
    mkdir -p "$results"
    "$here/wine-vm.sh" batch "$list" "$results"
    ;;
  *)
    echo "usage: windows_test.sh run|exec|check|boot ..." >&2
    exit 2
    ;;
esac
