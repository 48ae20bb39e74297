#!/usr/bin/env bash
# Checks a plug-in DLL without running it: a 32-bit PE whose export table
# holds exactly Convert and OutputMode (plain names, no decoration), and which
# imports nothing but system DLLs.
#   check_dll.sh OBJDUMP DLL ALLOWED_DLL...
set -eu
objdump=$1
dll=$2
shift 2
headers=$("$objdump" -p "$dll")
grep -q 'file format pei-i386' <<<"$headers" || { echo "$dll is not a 32-bit PE"; exit 1; }
exports=$(awk '/\[Ordinal\/Name Pointer\] Table/{table=1; next} table && /^[ \t]*\[/{print $NF; next} table{exit}' <<<"$headers" | sort)
if [ "$exports" != $'Convert\nOutputMode' ]; then
  echo "$dll exports:"; echo "$exports"; exit 1
fi
imports=$(awk '/DLL Name:/{print toupper($3)}' <<<"$headers" | sort -u)
for import in $imports; do
  allowed=no
  for name in "$@"; do [ "$import" = "$(tr a-z A-Z <<<"$name")" ] && allowed=yes; done
  [ $allowed = yes ] || { echo "$dll imports $import, which the viewer's machine may lack"; exit 1; }
done
echo "$dll: exports Convert, OutputMode; imports" $imports
