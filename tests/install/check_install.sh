#!/usr/bin/env bash
# Installs the build into a scratch prefix, then builds a program against the
# installed package twice, through find_package and through pkg-config, and
# runs it on the installed plug-ins.
set -eu
build_dir=$1
consumer_dir=$2
cmake_command=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cd "$work"
"$cmake_command" --install "$build_dir" --prefix "$prefix" > "$work/install.log"
for path in include/DicomToolkit/DicomToolkit.h lib/libDicomToolkit.a lib/liblumenar.so \
            lib/liblumenar_interactive.so lib/libtonewell.so \
            lib/cmake/DicomToolkit/DicomToolkitConfig.cmake lib/pkgconfig/dicomtoolkit.pc; do
  [ -e "$prefix/$path" ] || { echo "missing from the install: $path"; exit 1; }
done

"$cmake_command" -S "$consumer_dir" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" > "$work/configure.log" \
  || { cat "$work/configure.log"; exit 1; }
"$cmake_command" --build "$work/cmake-build" > "$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
"$work/cmake-build/consumer" "$prefix/lib"

flags=$(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs dicomtoolkit)
# shellcheck disable=SC2086
c++ -std=c++17 -o "$work/consumer-pkg" "$consumer_dir/consumer.cpp" $flags
"$work/consumer-pkg" "$prefix/lib"
