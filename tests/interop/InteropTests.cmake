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
    Samples          samples      # pydicom's samples load with the same elements
    WrittenFiles     written      # files dicomtk writes are read by dcmdump and pydicom
    DcmtkFiles       dcmtk        # files dcmconv writes load with the same elements
    UndefinedLength  undefined    # report on elements of undefined length; fails on crashes only
)

list(LENGTH interop_cases interop_length)
math(EXPR interop_last "${interop_length} - 1")
foreach(index RANGE 0 ${interop_last} 2)
  math(EXPR subcommand_index "${index} + 1")
  list(GET interop_cases ${index} name)
  list(GET interop_cases ${subcommand_index} subcommand)
  add_test(NAME Interop.${name} COMMAND ${interop_python} ${interop_script} ${subcommand} $<TARGET_FILE:dicomtk>)
  # A whole case takes under 2 s, under the sanitizers too; interop.py gives
  # each program it runs 30 s.
  set_tests_properties(Interop.${name} PROPERTIES LABELS interop TIMEOUT 120 SKIP_RETURN_CODE 77)
endforeach()

# The upper layer against DCMTK's echoscu, storescu and storescp as child
# processes on 127.0.0.1; a test whose tool is missing reports itself skipped.
add_executable(association_interop_tests interop/AssociationInteropTest.cpp)
target_link_libraries(association_interop_tests PRIVATE DicomToolkit GTest::gtest GTest::gtest_main)
gtest_discover_tests(association_interop_tests PROPERTIES LABELS interop TIMEOUT 120 DISCOVERY_TIMEOUT 60)

# The configured association service as acceptor for DCMTK's echoscu and
# storescu (child processes on 127.0.0.1; skipped when DCMTK is missing).
add_executable(configured_service_interop_tests interop/ConfiguredServiceInteropTest.cpp)
target_link_libraries(configured_service_interop_tests PRIVATE DicomToolkit GTest::gtest GTest::gtest_main)
target_compile_definitions(configured_service_interop_tests PRIVATE
  DICOMTOOLKIT_DICTIONARY="${PROJECT_SOURCE_DIR}/dictionary/dicom.dic")
gtest_discover_tests(configured_service_interop_tests PROPERTIES LABELS interop TIMEOUT 120 DISCOVERY_TIMEOUT 60)

# dicomtk copy --explicit on pydicom's implicit VR samples, read back by
# dcmdump and pydicom with the dictionary's VRs.
add_test(NAME Interop.ExplicitCopy
  COMMAND ${interop_python} ${CMAKE_CURRENT_SOURCE_DIR}/interop/explicit_copy.py
    $<TARGET_FILE:dicomtk> ${PROJECT_SOURCE_DIR}/dictionary/dicom.dic)
set_tests_properties(Interop.ExplicitCopy PROPERTIES LABELS interop TIMEOUT 120 SKIP_RETURN_CODE 77)
