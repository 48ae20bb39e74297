# The plug-ins loaded with dlopen as the viewer loads them, on Linux.
add_test_program(plugin_tests plugins
  plugins/LumenarTest.cpp
  plugins/TonewellTest.cpp
  plugins/OutputModeTest.cpp
)
target_compile_definitions(plugin_tests PRIVATE
  LUMENAR_PATH="$<TARGET_FILE:lumenar>"
  LUMENAR_INTERACTIVE_PATH="$<TARGET_FILE:lumenar_interactive>"
  TONEWELL_PATH="$<TARGET_FILE:tonewell>"
)
find_package(Threads REQUIRED)
target_link_libraries(plugin_tests PRIVATE Threads::Threads)
add_dependencies(plugin_tests lumenar lumenar_interactive tonewell)

# Each plug-in makes exactly Convert and OutputMode visible.
foreach(plugin lumenar lumenar_interactive tonewell)
  add_test(NAME PluginExports.${plugin}
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/plugins/check_exports.sh $<TARGET_FILE:${plugin}>)
  set_tests_properties(PluginExports.${plugin} PROPERTIES LABELS plugins TIMEOUT ${test_timeout})
endforeach()

# The installed package serves a program written against its public names.
if(NOT DICOMTOOLKIT_SANITIZE)
  add_test(NAME InstalledPackage
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/install/check_install.sh
      ${CMAKE_BINARY_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/install/consumer ${CMAKE_COMMAND})
  set_tests_properties(InstalledPackage PROPERTIES LABELS install TIMEOUT 120)
endif()
