# The Debian packages, made by CPack from the two install components:
#   dicomtoolkit (component runtime): /usr/bin/dicomtk, the viewer plug-ins in
#     /usr/lib/dicomtoolkit/, the data dictionary in /usr/share/dicomtoolkit/,
#     the man page dicomtk(1), and the dicomtk-serve service with its options
#     in /etc/default/dicomtk-serve;
#   libdicomtoolkit-dev (component dev): what cmake/Install.cmake installs
#     for building against the toolkit (headers, static library, CMake and
#     pkg-config files).
# The runtime rules are left out of a plain `cmake --install`, whose layout
# (plug-ins in lib/, dictionary in share/DicomToolkit/) stays as it is.
#   cmake --build BUILD --target package   (./run package)
# writes dicomtoolkit_VERSION_amd64.deb and libdicomtoolkit-dev_VERSION_amd64.deb
# into BUILD.

set(DICOMTOOLKIT_PACKAGE_PLUGIN_DIR lib/dicomtoolkit)
set(DICOMTOOLKIT_PACKAGE_DICTIONARY_DIR share/dicomtoolkit)
set(packaging_dir ${PROJECT_SOURCE_DIR}/packaging)
set(packaging_build_dir ${PROJECT_BINARY_DIR}/packaging)
set(DICOMTOOLKIT_PACKAGE_MAINTAINER "DicomToolkit developers <dicomtoolkit@example.org>"
  CACHE STRING "Maintainer of the Debian packages, name <address>")

install(TARGETS dicomtk RUNTIME DESTINATION bin COMPONENT runtime EXCLUDE_FROM_ALL)
install(TARGETS lumenar lumenar_interactive tonewell
  LIBRARY DESTINATION ${DICOMTOOLKIT_PACKAGE_PLUGIN_DIR} COMPONENT runtime EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/dictionary/dicom.dic
  DESTINATION ${DICOMTOOLKIT_PACKAGE_DICTIONARY_DIR} COMPONENT runtime EXCLUDE_FROM_ALL)

# The man page and the changelog go in gzip'd without a time stamp, so that
# two builds of the same sources give the same package.
configure_file(${packaging_dir}/changelog ${packaging_build_dir}/changelog @ONLY)
add_custom_command(OUTPUT ${packaging_build_dir}/dicomtk.1.gz ${packaging_build_dir}/changelog.gz
  COMMAND gzip -9nc ${packaging_dir}/dicomtk.1 > ${packaging_build_dir}/dicomtk.1.gz
  COMMAND gzip -9nc ${packaging_build_dir}/changelog > ${packaging_build_dir}/changelog.gz
  DEPENDS ${packaging_dir}/dicomtk.1 ${packaging_build_dir}/changelog
  VERBATIM)
add_custom_target(package_documents ALL DEPENDS ${packaging_build_dir}/dicomtk.1.gz ${packaging_build_dir}/changelog.gz)
install(FILES ${packaging_build_dir}/dicomtk.1.gz DESTINATION share/man/man1 COMPONENT runtime EXCLUDE_FROM_ALL)
foreach(component_package runtime:dicomtoolkit dev:libdicomtoolkit-dev)
  string(REPLACE ":" ";" component_package ${component_package})
  list(GET component_package 0 component)
  list(GET component_package 1 package)
  install(FILES ${packaging_dir}/copyright ${packaging_build_dir}/changelog.gz
    DESTINATION share/doc/${package} COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

# The service. Units and the options file lie outside /usr: /lib/systemd/system
# is where Debian 12's systemd and lintian expect a package's units.
install(FILES ${packaging_dir}/dicomtk-serve.service
  DESTINATION /lib/systemd/system COMPONENT runtime EXCLUDE_FROM_ALL)
install(FILES ${packaging_dir}/dicomtk-serve.default
  DESTINATION /etc/default RENAME dicomtk-serve COMPONENT runtime EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME dicomtoolkit)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "DicomToolkit developers")
set(CPACK_PACKAGE_CONTACT "${DICOMTOOLKIT_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL runtime dev)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME dicomtoolkit)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "DICOM command line tool and storage server
dicomtk reads, writes and converts DICOM files (dump, copy, convert with the
viewer plug-ins) and talks DICOM over the network: echo, store, find, move
and get as a client, serve as a storage server answering C-ECHO, C-STORE,
C-FIND, C-MOVE and C-GET over an indexed folder. The dicomtk-serve service
runs the server as the user dicomtk with its store in /var/lib/dicomtk.")
# The Depends of the shared libraries dicomtk and the plug-ins use, from
# dpkg-shlibdeps; the service's user is made with adduser.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
  ${packaging_dir}/postinst ${packaging_dir}/prerm ${packaging_dir}/postrm ${packaging_dir}/conffiles)

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libdicomtoolkit-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DESCRIPTION "DICOM toolkit, development files
The headers, the static library libDicomToolkit.a, the CMake package
DicomToolkit (target DicomToolkit::DicomToolkit) and the pkg-config file
dicomtoolkit.pc of the DICOM toolkit that dicomtk is built on.")
if(DICOMTOOLKIT_USES_ZLIB)
  # The library is static: programs built with it link zlib themselves.
  set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "zlib1g-dev")
endif()

include(CPack)
set(DICOMTOOLKIT_DEBIAN_PACKAGES ON)
