# What the Linux build makes of the inputs of the Windows tests, written into
# windows-reference/ of this build: the Windows build compares the DLLs and
# dicomtk.exe with it (./run hands it over as DICOMTOOLKIT_WINDOWS_REFERENCE).
add_executable(windows_reference windows/WriteReference.cpp)
target_link_libraries(windows_reference PRIVATE DicomToolkit)
add_dependencies(windows_reference lumenar lumenar_interactive tonewell)
if(TARGET dicomtk)
  add_test(NAME WindowsReference
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/windows/write_reference.sh ${CMAKE_BINARY_DIR}/windows-reference
      $<TARGET_FILE:windows_reference> $<TARGET_FILE:make_ct> $<TARGET_FILE:dicomtk>
      $<TARGET_FILE:lumenar> $<TARGET_FILE:lumenar_interactive> $<TARGET_FILE:tonewell>)
  set_tests_properties(WindowsReference PROPERTIES LABELS windows TIMEOUT ${test_timeout})
endif()
