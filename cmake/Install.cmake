# Installs the toolkit as a package: headers under include/DicomToolkit/, the
# static library and the plug-ins under lib/, the data dictionary under
# share/DicomToolkit/, a CMake package giving
# DicomToolkit::DicomToolkit, and a pkg-config file. What a program needs to
# build against the toolkit is the component dev, which is also the package
# libdicomtoolkit-dev (cmake/Package.cmake).
include(CMakePackageConfigHelpers)

set(DICOMTOOLKIT_CMAKE_DIR lib/cmake/DicomToolkit)

install(TARGETS DicomToolkit EXPORT DicomToolkitTargets
  ARCHIVE DESTINATION lib COMPONENT dev
  INCLUDES DESTINATION include)
install(TARGETS lumenar lumenar_interactive tonewell
  LIBRARY DESTINATION lib
  RUNTIME DESTINATION lib)
install(FILES ${PROJECT_SOURCE_DIR}/dictionary/dicom.dic DESTINATION ${DICOMTOOLKIT_DICTIONARY_DIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/toolkit/
  DESTINATION include/DicomToolkit COMPONENT dev
  FILES_MATCHING PATTERN "*.h"
  PATTERN "platform" EXCLUDE
  # The codecs' internal pieces: no public header includes them.
  PATTERN "CodecSupport.h" EXCLUDE
  PATTERN "StandardCodecs.h" EXCLUDE)

install(EXPORT DicomToolkitTargets
  NAMESPACE DicomToolkit::
  DESTINATION ${DICOMTOOLKIT_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/DicomToolkitConfig.cmake.in
  ${PROJECT_BINARY_DIR}/DicomToolkitConfig.cmake
  INSTALL_DESTINATION ${DICOMTOOLKIT_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/DicomToolkitConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/DicomToolkitConfig.cmake
  ${PROJECT_BINARY_DIR}/DicomToolkitConfigVersion.cmake
  DESTINATION ${DICOMTOOLKIT_CMAKE_DIR} COMPONENT dev)

set(DICOMTOOLKIT_PC_LIBS "")
if(CMAKE_DL_LIBS)
  set(DICOMTOOLKIT_PC_LIBS "-l${CMAKE_DL_LIBS}")
endif()
if(DICOMTOOLKIT_USES_ZLIB)
  # The library is static: its users link zlib themselves.
  string(APPEND DICOMTOOLKIT_PC_LIBS " -lz")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/dicomtoolkit.pc.in ${PROJECT_BINARY_DIR}/dicomtoolkit.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/dicomtoolkit.pc DESTINATION lib/pkgconfig COMPONENT dev)
