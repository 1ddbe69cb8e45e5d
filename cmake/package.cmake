# Debian packages from the install rules (cpack -G DEB; scripts/package-deb.sh
# configures with the prefix /usr). One binary package per component, as
# Debian splits libraries: hosts depend on the runtime package alone, which
# is named after the SONAME so that a later ABI can be installed beside it.
#   libquilmarn-crontab1       the shared library
#   libquilmarn-crontab-dev    header, static archive, SONAME link, .pc, CMake package
#   quilmarn-cron              the tool and daemon, its man page and service unit
#   python3-quilmarn-crontab   the Python package
set(CPACK_PACKAGE_NAME quilmarn-crontab)
set(CPACK_PACKAGE_VENDOR "quilmarn-crontab developers")
set(CPACK_PACKAGE_CONTACT "quilmarn-crontab developers <maintainers@quilmarn-crontab.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "schedule shell commands by cron expressions inside a host program")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://quilmarn-crontab.invalid/")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL Runtime Development Tool Python)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_STRIP_FILES ON)
# The packages of this build depend on each other in their exact version.
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# Dependencies from what the binaries link; the runtime package says which
# version of it a binary linked against it needs.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The tool links the library of this build, which dpkg-shlibdeps does not
# know yet: it depends on the runtime package by name instead.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/src)

set(qc_deb ${PROJECT_SOURCE_DIR}/packaging/debian)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libquilmarn-crontab1)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "schedule shell commands by cron expressions - library
 A shared library with a plain C API that schedules shell commands by cron
 expressions and runs them in the background of a host program, keeping its
 jobs in a JSON store in a data directory.")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${qc_deb}/triggers)
# libpq is loaded only when a host joins a cluster: recommended, not required.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_RECOMMENDS libpq5)

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libquilmarn-crontab-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "schedule shell commands by cron expressions - development files
 The C header, the static archive, the pkg-config file and the CMake
 package for building hosts of libquilmarn-crontab.")
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS Runtime)
# A host linked with the static archive links the zone library too.
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS libcctz-dev)

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME quilmarn-cron)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_TOOL_DESCRIPTION "schedule shell commands by cron expressions - tool and daemon
 quilmarn-cron manages the jobs of a data directory and runs them as a
 daemon, alone or as the systemd service quilmarn-cron@NAME.")
set(CPACK_COMPONENT_TOOL_DEPENDS Runtime)
# The daemon's HTTP listener; the library and its hosts never link it.
set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS "libmicrohttpd12")
set(CPACK_DEBIAN_TOOL_PACKAGE_CONTROL_EXTRA "${qc_deb}/quilmarn-cron/postinst;${qc_deb}/quilmarn-cron/postrm")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-quilmarn-crontab)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_DESCRIPTION "schedule shell commands by cron expressions - Python 3
 The quilmarn_crontab module: the library's scheduler and expression
 services from Python, on ctypes.")
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3:any")
set(CPACK_COMPONENT_PYTHON_DEPENDS Runtime)
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA "${qc_deb}/python3-quilmarn-crontab/postinst;${qc_deb}/python3-quilmarn-crontab/prerm")

# Every package carries the license, in Debian's machine-readable form.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE QC_LICENSE_TEXT)
string(STRIP "${QC_LICENSE_TEXT}" QC_LICENSE_TEXT)
string(REGEX REPLACE "\n\n" "\n.\n" QC_LICENSE_TEXT "${QC_LICENSE_TEXT}")
string(REGEX REPLACE "\n" "\n " QC_LICENSE_TEXT " ${QC_LICENSE_TEXT}")
configure_file(${qc_deb}/copyright.in ${PROJECT_BINARY_DIR}/debian-copyright @ONLY)
foreach(c Runtime Development Tool Python)
  string(TOUPPER ${c} C)
  install(FILES ${PROJECT_BINARY_DIR}/debian-copyright RENAME copyright
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${C}_PACKAGE_NAME}
    COMPONENT ${c} EXCLUDE_FROM_ALL)
endforeach()

include(CPack)
