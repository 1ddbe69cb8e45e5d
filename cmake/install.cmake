# Install rules: the header, the shared library with its SONAME link, the
# static archive, a pkg-config file and a CMake package, so a host can build
# against an installed copy either way; the tool with its man page and
# service unit, and the Python package. The components are the Debian
# packages (cmake/package.cmake): Runtime, Development, Tool, Python.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QC_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/quilmarn_crontab)
set(QC_MAN_PAGE ${PROJECT_BINARY_DIR}/man/quilmarn-cron.1)

# Compresses `from` into `to` at configure time as Debian's tools do: best
# compression, no name or time stamp, so that a rebuild gives the same bytes.
find_program(QC_GZIP gzip REQUIRED)
function(qc_gzip from to)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${from})
  execute_process(COMMAND ${QC_GZIP} -9nc ${from} OUTPUT_FILE ${to} COMMAND_ERROR_IS_FATAL ANY)
endfunction()

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
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/quilmarn_crontab.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development)

install(EXPORT quilmarn_crontab_targets
  NAMESPACE quilmarn_crontab::
  FILE quilmarn_crontabTargets.cmake
  DESTINATION ${QC_CMAKE_DIR} COMPONENT Development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/quilmarn_crontabConfig.cmake.in
  ${PROJECT_BINARY_DIR}/quilmarn_crontabConfig.cmake
  INSTALL_DESTINATION ${QC_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/quilmarn_crontabConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/quilmarn_crontabConfig.cmake
  ${PROJECT_BINARY_DIR}/quilmarn_crontabConfigVersion.cmake
  DESTINATION ${QC_CMAKE_DIR} COMPONENT Development)

# The .pc file is written at install time, when CMAKE_INSTALL_PREFIX holds
# the prefix actually installed to (`cmake --install --prefix DIR` may differ
# from the configured one).
set(QC_PC_IN ${CMAKE_CURRENT_LIST_DIR}/quilmarn-crontab.pc.in)
set(QC_PC_EXTRA_LIBS "")
if(NOT WIN32)
  set(QC_PC_EXTRA_LIBS "-lcctz ")  # the static archive's zone library
endif()
set(QC_PC_OUT ${PROJECT_BINARY_DIR}/quilmarn-crontab.pc)
install(CODE "
  set(PROJECT_VERSION ${PROJECT_VERSION})
  set(CMAKE_INSTALL_LIBDIR ${CMAKE_INSTALL_LIBDIR})
  set(CMAKE_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR})
  set(QC_PC_EXTRA_LIBS \"${QC_PC_EXTRA_LIBS}\")
  configure_file(${QC_PC_IN} ${QC_PC_OUT} @ONLY)
" COMPONENT Development)
install(FILES ${QC_PC_OUT} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT Development)

if(TARGET quilmarn-cron)
  if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    # Elsewhere than /usr the library may not be on the loader's path.
    set_target_properties(quilmarn-cron PROPERTIES
      INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  endif()
  install(TARGETS quilmarn-cron RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Tool)
  # The page's header names the version.
  configure_file(${PROJECT_SOURCE_DIR}/man/quilmarn-cron.1.in ${QC_MAN_PAGE} @ONLY)
  # Installed compressed, as man pages are on Debian.
  qc_gzip(${QC_MAN_PAGE} ${QC_MAN_PAGE}.gz)
  install(FILES ${QC_MAN_PAGE}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT Tool)
  # The unit names the installed tool, wherever the prefix puts it.
  set(QC_SYSTEMD_UNITDIR lib/systemd/system CACHE STRING
    "Where systemd units go, relative to the prefix (or absolute)")
  configure_file(${PROJECT_SOURCE_DIR}/packaging/quilmarn-cron@.service.in
    ${PROJECT_BINARY_DIR}/quilmarn-cron@.service @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/quilmarn-cron@.service
    DESTINATION ${QC_SYSTEMD_UNITDIR} COMPONENT Tool)
endif()

# The Python package, where the system's Python 3 looks: Debian's looks in
# lib/python3/dist-packages under /usr and lib/python3.N/dist-packages
# under /usr/local.
if(NOT WIN32)
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(qc_python_dir lib/python3/dist-packages)
  else()
    find_package(Python3 COMPONENTS Interpreter)
    if(Python3_FOUND)
      set(qc_python_dir lib/python${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}/dist-packages)
    else()
      set(qc_python_dir lib/python3/dist-packages)
    endif()
  endif()
  set(QC_INSTALL_PYTHONDIR ${qc_python_dir} CACHE STRING
    "Where the Python package goes, relative to the prefix (or absolute)")
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/bindings/python/quilmarn_crontab
    DESTINATION ${QC_INSTALL_PYTHONDIR} COMPONENT Python
    FILES_MATCHING PATTERN "*.py" PATTERN "py.typed" PATTERN "__pycache__" EXCLUDE)
  # The package finds the library of its own install first, so an install
  # into any prefix imports without ldconfig or LD_LIBRARY_PATH.
  install(CODE "
    set(dir \"${QC_INSTALL_PYTHONDIR}\")
    set(libdir \"${CMAKE_INSTALL_LIBDIR}\")
    foreach(v dir libdir)
      if(NOT IS_ABSOLUTE \"\${\${v}}\")
        set(\${v} \"\${CMAKE_INSTALL_PREFIX}/\${\${v}}\")
      endif()
    endforeach()
    file(WRITE \"\$ENV{DESTDIR}\${dir}/quilmarn_crontab/_install.py\"
      \"# Written by cmake --install.\\nLIBDIR = '\${libdir}'\\n\")
  " COMPONENT Python)
endif()
