# Interoperability tests: dicomtk against independent DICOM programs from
# Debian (DCMTK's dcmdump and dcmconv, pydicom with its sample files). Label
# `interop`; run them alone with `ctest -L interop`.
#
# pydicom is Debian's python3-pydicom, so the tests run Debian's interpreter
# /usr/bin/python3 rather than whatever python3 comes first on PATH. A test
# whose peer is missing reports itself skipped (exit status 77).

set(interop_python /usr/bin/python3)
set(interop_script ${CMAKE_CURRENT_SOURCE_DIR}/interop/interop.py)

# name             subcommand of interop.py
set(interop_cases
    Samples          samples      # pydicom's samples load with the same elements at every depth
    WrittenFiles     written      # files dicomtk writes are read by dcmdump and pydicom
    DcmtkFiles       dcmtk        # files dcmconv writes, defined and undefined lengths, load the same
    UndefinedLength  undefined    # samples with undefined lengths load whole: a table
    Copies           copies       # every sample copied in mode 3 reads the same in dcmdump and pydicom
)

list(LENGTH interop_cases interop_length)
math(EXPR interop_last "${interop_length} - 1")
foreach(index RANGE 0 ${interop_last} 2)
  math(EXPR subcommand_index "${index} + 1")
  list(GET interop_cases ${index} name)
  list(GET interop_cases ${subcommand_index} subcommand)
  add_test(NAME Interop.${name} COMMAND ${interop_python} ${interop_script} ${subcommand} $<TARGET_FILE:dicomtk>)
  set_tests_properties(Interop.${name} PROPERTIES LABELS interop TIMEOUT 600 SKIP_RETURN_CODE 77)
endforeach()
