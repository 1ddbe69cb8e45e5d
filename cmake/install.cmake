# Install rules: the header, the shared library with its SONAME link, the
# static archive, a pkg-config file and a CMake package, so a host can build
# against an installed copy either way.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QC_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/quilmarn_crontab)

# Both library targets are exported under the namespace quilmarn_crontab::.
set_target_properties(quilmarn_crontab_static PROPERTIES
  OUTPUT_NAME quilmarn_crontab EXPORT_NAME quilmarn_crontab_static)
# The archive holds C++ code: a host linked by the C compiler driver needs
# the C++ runtime named.
if(NOT MSVC)
  target_link_libraries(quilmarn_crontab_static INTERFACE "$<$<LINK_LANGUAGE:C>:stdc++;m>")
endif()

install(TARGETS quilmarn_crontab quilmarn_crontab_static
  EXPORT quilmarn_crontab_targets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/quilmarn_crontab.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(EXPORT quilmarn_crontab_targets
  NAMESPACE quilmarn_crontab::
  FILE quilmarn_crontabTargets.cmake
  DESTINATION ${QC_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/quilmarn_crontabConfig.cmake.in
  ${PROJECT_BINARY_DIR}/quilmarn_crontabConfig.cmake
  INSTALL_DESTINATION ${QC_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/quilmarn_crontabConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/quilmarn_crontabConfig.cmake
  ${PROJECT_BINARY_DIR}/quilmarn_crontabConfigVersion.cmake
  DESTINATION ${QC_CMAKE_DIR})

# The .pc file is written at install time, when CMAKE_INSTALL_PREFIX holds
# the prefix actually installed to (`cmake --install --prefix DIR` may differ
# from the configured one).
set(QC_PC_IN ${CMAKE_CURRENT_LIST_DIR}/quilmarn-crontab.pc.in)
set(QC_PC_OUT ${PROJECT_BINARY_DIR}/quilmarn-crontab.pc)
install(CODE "
  set(PROJECT_VERSION ${PROJECT_VERSION})
  set(CMAKE_INSTALL_LIBDIR ${CMAKE_INSTALL_LIBDIR})
  set(CMAKE_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR})
  configure_file(${QC_PC_IN} ${QC_PC_OUT} @ONLY)
")
install(FILES ${QC_PC_OUT} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(TARGET quilmarn-cron)
  set_target_properties(quilmarn-cron PROPERTIES
    INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  install(TARGETS quilmarn-cron RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
