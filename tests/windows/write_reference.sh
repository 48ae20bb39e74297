#!/usr/bin/env bash
# Writes into FOLDER what the Linux build makes of the inputs that the
# Windows tests give the DLLs and dicomtk.exe, for them to be compared with:
#   rasters/        the plug-ins' rasters and logs of the images of RasterCases.h
#   ct.dcm, ct_signed.dcm   make_ct's slices, the Windows dicomtk's input too
#   dump.txt        dicomtk dump ct.dcm ct_signed.dcm
#   ct_PLUGIN.bmp, ct_PLUGIN.log, ct_signed_tonewell.bmp   dicomtk convert
#   ct_implicit.dcm, ct_explicit.dcm   dicomtk copy --mode 2 and --mode 3
#
#   write_reference.sh FOLDER WINDOWS_REFERENCE MAKE_CT DICOMTK LUMENAR LUMENAR_INTERACTIVE TONEWELL
set -eu
folder=$1 reference=$2 make_ct=$3 dicomtk=$4
shift 4
rm -rf "$folder"
mkdir -p "$folder"
"$reference" "$folder/rasters" "$@"
cd "$folder"
"$make_ct" . >/dev/null
"$dicomtk" dump ct.dcm ct_signed.dcm >dump.txt
for plugin in lumenar lumenar_interactive tonewell; do
  rm -f lumenar.tmp
  "$dicomtk" convert --plugin $plugin ct.dcm ct_$plugin.bmp
  if [ $plugin != tonewell ]; then mv lumenar.tmp ct_$plugin.log; fi
done
"$dicomtk" convert --plugin tonewell ct_signed.dcm ct_signed_tonewell.bmp
"$dicomtk" copy --mode 2 ct.dcm ct_implicit.dcm
"$dicomtk" copy --mode 3 ct.dcm ct_explicit.dcm
echo "reference outputs in $folder: $(ls rasters | wc -l) raster files, $(ls | grep -vc rasters) files"
