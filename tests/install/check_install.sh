#!/usr/bin/env bash
# Installs the build into a scratch prefix, then builds a program against the
# installed package twice, through find_package and through pkg-config, and
# runs it on the installed plug-ins; the installed dicomtk finds the
# installed data dictionary.
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
            lib/cmake/DicomToolkit/DicomToolkitConfig.cmake lib/pkgconfig/dicomtoolkit.pc \
            bin/dicomtk share/DicomToolkit/dicom.dic; do
  [ -e "$prefix/$path" ] || { echo "missing from the install: $path"; exit 1; }
done

# The installed dicomtk finds the installed dictionary by itself, also when
# called through PATH from elsewhere: a bare implicit VR data set holding
# (0010,0010), length 4, "AB^C".
printf '\x10\x00\x10\x00\x04\x00\x00\x00AB^C' > "$work/bare.dcm"
dumped=$(PATH="$prefix/bin:$PATH" dicomtk dump "$work/bare.dcm")
echo "$dumped" | grep -qxF "(0010,0010) PN 4 \"AB^C\" # Patient's Name" \
  || { echo "installed dicomtk without its dictionary: $dumped"; exit 1; }

"$cmake_command" -S "$consumer_dir" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" > "$work/configure.log" \
  || { cat "$work/configure.log"; exit 1; }
"$cmake_command" --build "$work/cmake-build" > "$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
"$work/cmake-build/consumer" "$prefix/lib"

flags=$(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs dicomtoolkit)
# shellcheck disable=SC2086
c++ -std=c++17 -o "$work/consumer-pkg" "$consumer_dir/consumer.cpp" $flags
"$work/consumer-pkg" "$prefix/lib"
