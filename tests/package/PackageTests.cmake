# The Debian packages of cmake/Package.cmake, made with CPack from this build
# into package/ of the build folder once (Package.Build), then checked: their
# files and control data, the service unit, lintian, the unpacked dicomtk at
# work, and its manual page against its help texts.
# A package of the sanitizers' build is none anyone installs: the checks run
# in the plain build.
if(NOT DICOMTOOLKIT_DEBIAN_PACKAGES OR DICOMTOOLKIT_SANITIZE)
  return()
endif()
set(package_check ${CMAKE_CURRENT_SOURCE_DIR}/package/check_package.sh)
set(package_dir ${CMAKE_BINARY_DIR}/package)

add_test(NAME Package.Build COMMAND ${package_check} build ${package_dir} ${CMAKE_CPACK_COMMAND} ${CMAKE_BINARY_DIR})
set_tests_properties(Package.Build PROPERTIES LABELS package TIMEOUT 600 SKIP_RETURN_CODE 77
  FIXTURES_SETUP debian_packages RESOURCE_LOCK debian_packages_build)
add_test(NAME Package.Contents COMMAND ${package_check} contents ${package_dir})
add_test(NAME Package.ServiceUnitVerifies COMMAND ${package_check} unit ${package_dir})
add_test(NAME Package.LintianFindsNoError COMMAND ${package_check} lintian ${package_dir})
add_test(NAME Package.UnpackedDicomtkFindsDictionaryPluginsAndServes
  COMMAND ${package_check} run ${package_dir} $<TARGET_FILE:make_ct>)
add_test(NAME Package.ManualCoversEveryOption COMMAND ${package_check} manual ${package_dir})
set_tests_properties(Package.Contents Package.ServiceUnitVerifies Package.LintianFindsNoError
  Package.UnpackedDicomtkFindsDictionaryPluginsAndServes Package.ManualCoversEveryOption
  PROPERTIES LABELS package TIMEOUT 300 SKIP_RETURN_CODE 77 FIXTURES_REQUIRED debian_packages)
set_tests_properties(Package.Build Package.Contents Package.ServiceUnitVerifies Package.LintianFindsNoError
  Package.UnpackedDicomtkFindsDictionaryPluginsAndServes Package.ManualCoversEveryOption
  PROPERTIES ENVIRONMENT DICOMTOOLKIT_VERSION=${PROJECT_VERSION})
