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

# dicomtk copy --mode 3 of every pydicom sample, with and without
# --keep-undefined-lengths: pydicom finds each copy equal to its source at
# every depth, group length elements included (equal_copies.py).
add_test(NAME Interop.EqualCopies
  COMMAND ${interop_python} ${CMAKE_CURRENT_SOURCE_DIR}/interop/equal_copies.py $<TARGET_FILE:dicomtk>)
set_tests_properties(Interop.EqualCopies PROPERTIES LABELS interop TIMEOUT 120 SKIP_RETURN_CODE 77)

# dicomtk echo, store and serve with DCMTK's echoscu, storescu and storescp
# on 127.0.0.1, pydicom comparing what arrived with what was sent
# (network_interop.py; its cases are listed in its usage text).
set(network_interop_script ${CMAKE_CURRENT_SOURCE_DIR}/interop/network_interop.py)
set(network_interop_cases
    ServeEchoscu       serve-echoscu      # echoscu verifies dicomtk serve
    ServeStorescu      serve-storescu     # storescu: five SOP classes, three transfer syntaxes, one association
    ServeDefaultAec    serve-default-aec  # storescu with DCMTK's default called AE title
    EchoStorescp       echo-storescp      # dicomtk echo verifies storescp
    StoreStorescp      store-storescp     # dicomtk store to storescp: every file received, values equal
    StoreConverts      store-converts     # dicomtk store of big endian files to storescp +xi: converted, values equal
    StoreServe         store-serve        # dicomtk store to dicomtk serve
    EchoNothing        echo-nothing       # dicomtk echo where nothing listens: one line, status not 0
    ServeKeepsSamples  serve-keeps-samples # every pydicom sample stored by serve compares equal at every depth
)
list(LENGTH network_interop_cases network_interop_length)
math(EXPR network_interop_last "${network_interop_length} - 1")
foreach(index RANGE 0 ${network_interop_last} 2)
  math(EXPR case_index "${index} + 1")
  list(GET network_interop_cases ${index} name)
  list(GET network_interop_cases ${case_index} case)
  add_test(NAME Interop.EchoStoreServe.${name}
           COMMAND ${interop_python} ${network_interop_script} ${case} $<TARGET_FILE:dicomtk>)
  # A case takes a few seconds; network_interop.py gives each program 30 s.
  set_tests_properties(Interop.EchoStoreServe.${name} PROPERTIES LABELS interop TIMEOUT 120 SKIP_RETURN_CODE 77)
endforeach()

# dicomtk serve, find and move with DCMTK's findscu, movescu, storescp and
# dcmqrscp on 127.0.0.1, and a raw client sending dicomtk serve malformed
# queries (query_interop.py; its cases are listed in its usage text).
set(query_interop_script ${CMAKE_CURRENT_SOURCE_DIR}/interop/query_interop.py)
set(query_interop_cases
    ServeFindscu      serve-findscu     # findscu -P and -S at each level: exactly the expected matches
    ServeMovescu      serve-movescu     # movescu to storescp: every instance of the selection arrives, values equal
    ServeGetscu       serve-getscu      # getscu with C-GET at each level, both models: every selected instance arrives, values equal
    FindDcmqrscp      find-dcmqrscp     # dicomtk find against dcmqrscp: exactly the expected matches
    MoveDcmqrscp      move-dcmqrscp     # dicomtk move from dcmqrscp to a dicomtk serve: instances arrive, values equal
    ServeBadInput     serve-bad-input   # absurd lengths, odd Move Destinations, missing levels: refused, serve goes on
    ServeMoveSyntaxes serve-move-syntaxes # big endian converted for storescp +xi, JPEG 2000 refused; compressed samples as they are
    ServeGetSyntaxes  serve-get-syntaxes  # the same over C-GET: big endian converted, JPEG 2000 as it is for getscu +xw
    ServeCancel       serve-cancel      # findscu and movescu --cancel 1: Cancel (0xFE00) with the counts so far, serve goes on
)
list(LENGTH query_interop_cases query_interop_length)
math(EXPR query_interop_last "${query_interop_length} - 1")
foreach(index RANGE 0 ${query_interop_last} 2)
  math(EXPR case_index "${index} + 1")
  list(GET query_interop_cases ${index} name)
  list(GET query_interop_cases ${case_index} case)
  add_test(NAME Interop.QueryRetrieve.${name}
           COMMAND ${interop_python} ${query_interop_script} ${case} $<TARGET_FILE:dicomtk>)
  # A case takes a few seconds; query_interop.py gives each program 30 s.
  set_tests_properties(Interop.QueryRetrieve.${name} PROPERTIES LABELS interop TIMEOUT 120 SKIP_RETURN_CODE 77)
endforeach()

# dicomtk get from DCMTK's dcmqrscp on 127.0.0.1, pydicom comparing what
# arrived with what was stored (get_interop.py; its cases are listed in its
# usage text).
set(get_interop_script ${CMAKE_CURRENT_SOURCE_DIR}/interop/get_interop.py)
set(get_interop_cases
    GetDcmqrscp   get-dcmqrscp   # -P and -S at each level: exactly the selected instances arrive, values equal
    GetRefused    get-refused    # dcmqrscp without C-GET: refused, a message, nothing written
)
list(LENGTH get_interop_cases get_interop_length)
math(EXPR get_interop_last "${get_interop_length} - 1")
foreach(index RANGE 0 ${get_interop_last} 2)
  math(EXPR case_index "${index} + 1")
  list(GET get_interop_cases ${index} name)
  list(GET get_interop_cases ${case_index} case)
  add_test(NAME Interop.QueryRetrieve.${name}
           COMMAND ${interop_python} ${get_interop_script} ${case} $<TARGET_FILE:dicomtk>)
  # A case takes a few seconds; the scripts give each program 30 s.
  set_tests_properties(Interop.QueryRetrieve.${name} PROPERTIES LABELS interop TIMEOUT 120 SKIP_RETURN_CODE 77)
endforeach()
