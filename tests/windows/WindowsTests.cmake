# The plug-in DLLs checked as files, then loaded by a Windows host under Wine.
foreach(plugin lumenar lumenar_interactive tonewell)
  set(allowed KERNEL32.dll msvcrt.dll)
  if(plugin STREQUAL "lumenar_interactive")
    list(APPEND allowed USER32.dll)
  endif()
  add_test(NAME WindowsDll.${plugin}
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/windows/check_dll.sh ${CMAKE_OBJDUMP} $<TARGET_FILE:${plugin}> ${allowed})
  set_tests_properties(WindowsDll.${plugin} PROPERTIES LABELS windows TIMEOUT ${test_timeout})
endforeach()

add_executable(plugin_host windows/PluginHost.cpp)
target_link_libraries(plugin_host PRIVATE DicomToolkit)
add_dependencies(plugin_host lumenar lumenar_interactive tonewell)

if(windows_tests_skipped)
  add_test(NAME WindowsPrograms.SkippedWithoutWine COMMAND ${CMAKE_COMMAND} -E echo
    "Wine cannot run 32-bit programs on this machine: the Windows test programs were built but not run")
  set_tests_properties(WindowsPrograms.SkippedWithoutWine PROPERTIES LABELS windows TIMEOUT ${test_timeout}
    SKIP_REGULAR_EXPRESSION "not run")
else()
  add_test(NAME WindowsPluginHost COMMAND plugin_host $<TARGET_FILE_DIR:lumenar>)
  set_tests_properties(WindowsPluginHost PROPERTIES LABELS windows TIMEOUT 120)
endif()
