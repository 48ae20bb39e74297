# How the Windows test programs run: through Wine on this machine (wine),
# through Wine inside an emulated machine for a machine that cannot execute
# 32-bit code (emulator, tests/windows/wine-vm.sh: one boot runs them all),
# or not at all (none: they are built, and one test says why they did not run).
# ./run finds out which works; a build configured by hand runs them through
# the Wine it finds.
if(CMAKE_CROSSCOMPILING_EMULATOR)
  set(runner_default wine)
else()
  set(runner_default none)
endif()
set(DICOMTOOLKIT_WINDOWS_RUNNER ${runner_default} CACHE STRING "How the Windows test programs run: wine, emulator or none")
set_property(CACHE DICOMTOOLKIT_WINDOWS_RUNNER PROPERTY STRINGS wine emulator none)
# The folder of the Linux build's reference outputs (tests/windows/write_reference.sh).
set(DICOMTOOLKIT_WINDOWS_REFERENCE "" CACHE PATH "Outputs of the Linux build for the Windows tests to compare with")

set(windows_results ${CMAKE_BINARY_DIR}/windows-results)
set(windows_test_script ${CMAKE_CURRENT_SOURCE_DIR}/windows/windows_test.sh)

# windows_program_test(NAME [LABELS label...] [TIMEOUT seconds] [COPY file...]
#                      [CHECKS check...] COMMAND program [argument...])
# One Windows program run as one test; the checks are windows_test.sh's.
# Under the emulator the program runs in the one boot, and the test checks
# what it left.
function(windows_program_test name)
  cmake_parse_arguments(PARSE_ARGV 1 test "" "TIMEOUT" "LABELS;COPY;CHECKS;COMMAND")
  if(NOT test_TIMEOUT)
    set(test_TIMEOUT ${test_timeout})
  endif()
  set(copies)
  foreach(file IN LISTS test_COPY)
    list(APPEND copies --copy ${file})
  endforeach()
  if(DICOMTOOLKIT_WINDOWS_RUNNER STREQUAL "wine")
    add_test(NAME ${name} COMMAND ${windows_test_script} run ${windows_results} ${name}
      ${copies} ${test_CHECKS} -- ${test_COMMAND})
  elseif(DICOMTOOLKIT_WINDOWS_RUNNER STREQUAL "emulator")
    add_test(NAME ${name} COMMAND ${windows_test_script} check ${windows_results} ${name} ${test_CHECKS})
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED windows_emulator)
    set(test_TIMEOUT ${test_timeout})
    # The boot's list: one exec command a line, its words separated by tabs.
    string(REPLACE ";" "\t" line "${windows_test_script};exec;${windows_results};${name};${copies};--;${test_COMMAND}")
    set_property(GLOBAL APPEND PROPERTY windows_emulator_list "${line}")
  else()
    return()
  endif()
  set_tests_properties(${name} PROPERTIES LABELS "windows;${test_LABELS}" TIMEOUT ${test_TIMEOUT})
endfunction()
