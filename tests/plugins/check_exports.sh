#!/usr/bin/env bash
# Checks that a plug-in's dynamic symbol table defines Convert and OutputMode
# as functions and nothing else.
set -eu
plugin=$1
defined=$(nm -D --defined-only "$plugin" | awk '{print $2" "$3}' | sort)
expected=$'T Convert\nT OutputMode'
if [ "$defined" != "$expected" ]; then
  echo "$plugin defines:"
  echo "$defined"
  echo "expected exactly:"
  echo "$expected"
  exit 1
fi
echo "$plugin: Convert, OutputMode"
