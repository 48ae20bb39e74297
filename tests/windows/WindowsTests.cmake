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

set(plugin_folder $<TARGET_FILE_DIR:lumenar>)
set(host $<TARGET_FILE:plugin_host>)
windows_program_test(WindowsPlugins.LoadAndConvert LABELS plugins COMMAND ${host} loads ${plugin_folder})
foreach(plugin lumenar lumenar_interactive tonewell)
  windows_program_test(WindowsFaultFilter.${plugin} LABELS plugins COMMAND ${host} fault $<TARGET_FILE:${plugin}>)
endforeach()
windows_program_test(WindowsFaultFilter.WithoutOutputModeTheProcessDies LABELS plugins COMMAND ${host} no-filter)
windows_program_test(WindowsPlugins.MessageBoxOnStandardError LABELS plugins COMMAND ${host} message-box ${plugin_folder})

# The same inputs as the Linux build's, the same outputs byte for byte.
set(reference ${DICOMTOOLKIT_WINDOWS_REFERENCE})
if(reference)
  windows_program_test(WindowsPlugins.RastersAsOnLinux LABELS plugins
    COMMAND ${host} rasters ${plugin_folder} ${reference}/rasters)
  if(TARGET dicomtk)
    set(dicomtk $<TARGET_FILE:dicomtk>)
    windows_program_test(WindowsDicomtk.Dump LABELS tools COPY ${reference}/ct.dcm ${reference}/ct_signed.dcm
      CHECKS --stdout ${reference}/dump.txt COMMAND ${dicomtk} dump ct.dcm ct_signed.dcm)
    foreach(plugin lumenar lumenar_interactive tonewell)
      set(checks --file ct_${plugin}.bmp ${reference}/ct_${plugin}.bmp)
      if(NOT plugin STREQUAL "tonewell")
        list(APPEND checks --text lumenar.tmp ${reference}/ct_${plugin}.log)
      endif()
      windows_program_test(WindowsDicomtk.Convert.${plugin} LABELS tools COPY ${reference}/ct.dcm CHECKS ${checks}
        COMMAND ${dicomtk} convert --plugin ${plugin} ct.dcm ct_${plugin}.bmp)
    endforeach()
    windows_program_test(WindowsDicomtk.Convert.signed_tonewell LABELS tools COPY ${reference}/ct_signed.dcm
      CHECKS --file ct_signed_tonewell.bmp ${reference}/ct_signed_tonewell.bmp
      COMMAND ${dicomtk} convert --plugin tonewell ct_signed.dcm ct_signed_tonewell.bmp)
    foreach(copy implicit:2 explicit:3)
      string(REPLACE ":" ";" copy ${copy})
      list(GET copy 0 kind)
      list(GET copy 1 mode)
      windows_program_test(WindowsDicomtk.Copy.${kind} LABELS tools COPY ${reference}/ct.dcm
        CHECKS --file ct_${kind}.dcm ${reference}/ct_${kind}.dcm COMMAND ${dicomtk} copy --mode ${mode} ct.dcm ct_${kind}.dcm)
    endforeach()
  endif()
elseif(NOT DICOMTOOLKIT_WINDOWS_RUNNER STREQUAL "none")
  add_test(NAME WindowsPlugins.RastersAsOnLinux COMMAND ${CMAKE_COMMAND} -E echo
    "not run: no reference outputs of the Linux build given (DICOMTOOLKIT_WINDOWS_REFERENCE; ./run writes them)")
  set_tests_properties(WindowsPlugins.RastersAsOnLinux PROPERTIES LABELS windows TIMEOUT ${test_timeout}
    SKIP_REGULAR_EXPRESSION "not run")
endif()

if(DICOMTOOLKIT_WINDOWS_RUNNER STREQUAL "emulator")
  # One boot runs every program; each program's test then checks what it left.
  get_property(lines GLOBAL PROPERTY windows_emulator_list)
  string(REPLACE ";" "\n" lines "${lines}")
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/windows-emulator-list.txt CONTENT "${lines}\n")
  add_test(NAME WindowsEmulator.Boot COMMAND ${windows_test_script} boot ${windows_results}
    ${CMAKE_BINARY_DIR}/windows-emulator-list.txt)
  set_tests_properties(WindowsEmulator.Boot PROPERTIES LABELS windows TIMEOUT 3600 FIXTURES_SETUP windows_emulator)
elseif(DICOMTOOLKIT_WINDOWS_RUNNER STREQUAL "none")
  add_test(NAME WindowsPrograms.NotRun COMMAND ${CMAKE_COMMAND} -E echo
    "not run: the Windows test programs were built, but neither Wine nor the emulator can run them on this machine")
  set_tests_properties(WindowsPrograms.NotRun PROPERTIES LABELS windows TIMEOUT ${test_timeout}
    SKIP_REGULAR_EXPRESSION "not run")
endif()
