# Install rules: the shared object with its soname links, the header,
# vmd-detect, a pkg-config file, a CMake package, the report's JSON Schema
# and the fleet files. Everything lands relative to the prefix chosen at
# install time, so `cmake --install build --prefix DIR` works for any DIR.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VMD_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vm_detection)

install(TARGETS vm_detection EXPORT vm_detection_targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/include/vm_detection.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(VMD_BUILD_TOOL)
  install(TARGETS vmd-detect RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/schema/report-v1.schema.json
  DESTINATION ${CMAKE_INSTALL_DATADIR}/vm_detection)

install(EXPORT vm_detection_targets
  NAMESPACE vm_detection::
  FILE vm_detection-targets.cmake
  DESTINATION ${VMD_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/vm_detection-config.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/vm_detection-config.cmake
  INSTALL_DESTINATION ${VMD_CMAKE_DIR}
  PATH_VARS CMAKE_INSTALL_DATADIR)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/vm_detection-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/vm_detection-config.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/vm_detection-config-version.cmake
  DESTINATION ${VMD_CMAKE_DIR})

# The .pc file finds the prefix from its own place, so that it stays right
# whatever prefix the install is given.
set(VMD_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(VMD_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(VMD_PC_LIBDIR "${CMAKE_INSTALL_FULL_LIBDIR}")
  set(VMD_PC_INCLUDEDIR "${CMAKE_INSTALL_FULL_INCLUDEDIR}")
else()
  file(RELATIVE_PATH VMD_PC_UP /${VMD_PC_DIR} /)
  string(REGEX REPLACE "/$" "" VMD_PC_UP "${VMD_PC_UP}")
  set(VMD_PC_PREFIX "\${pcfiledir}/${VMD_PC_UP}")
  set(VMD_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(VMD_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/vm_detection.pc.in
  ${CMAKE_CURRENT_BINARY_DIR}/vm_detection.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/vm_detection.pc DESTINATION ${VMD_PC_DIR})

# Manual pages; each function's name leads to the library's page.
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/man/vmd-detect.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/man/libvm_detection.3
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man3)
file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/man3)
foreach(name IN ITEMS vmd_detect_json vmd_free vmd_version)
  file(CREATE_LINK libvm_detection.3 ${CMAKE_CURRENT_BINARY_DIR}/man3/${name}.3 SYMBOLIC)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/man3/${name}.3 DESTINATION ${CMAKE_INSTALL_MANDIR}/man3)
endforeach()

# The fleet files: the systemd service and timer that write the report for
# node_exporter and Node Feature Discovery, the script the service runs, and
# the Ansible and Facter facts. They name vmd-detect and the script by
# absolute paths, so they are written at install time, for the prefix of
# that install (fleet-files.cmake). Debian passes /lib/systemd/system as the
# unit directory. They run vmd-detect: a build without the tool has none.
if(VMD_BUILD_TOOL)
  set(VMD_SYSTEMD_UNITDIR lib/systemd/system
      CACHE STRING "Where the systemd units go (relative: under the prefix)")
  set(VMD_FLEET_DIR ${CMAKE_INSTALL_DATADIR}/vmd-detect)
  set(VMD_FLEET_OUT ${CMAKE_CURRENT_BINARY_DIR}/fleet)
  install(CODE "
    set(VMD_FLEET_SOURCE \"${CMAKE_CURRENT_SOURCE_DIR}/fleet\")
    set(VMD_FLEET_OUT \"${VMD_FLEET_OUT}\")
    set(VMD_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
    set(VMD_DATADIR \"${CMAKE_INSTALL_DATADIR}\")
    include(\"${CMAKE_CURRENT_LIST_DIR}/fleet-files.cmake\")")
  install(FILES ${VMD_FLEET_OUT}/vmd-detect.service ${CMAKE_CURRENT_SOURCE_DIR}/fleet/vmd-detect.timer
    DESTINATION ${VMD_SYSTEMD_UNITDIR})
  install(PROGRAMS ${VMD_FLEET_OUT}/refresh DESTINATION ${VMD_FLEET_DIR})
  install(PROGRAMS ${VMD_FLEET_OUT}/ansible/vm_detection.fact DESTINATION ${VMD_FLEET_DIR}/ansible)
  install(PROGRAMS ${VMD_FLEET_OUT}/facter/vm_detection DESTINATION ${VMD_FLEET_DIR}/facter)
endif()
