# Cross build for 64-bit Windows with Debian's mingw-w64 (package
# g++-mingw-w64-x86-64-posix). The posix thread model is required: the win32
# one has no std::thread or std::mutex.
#
#   cmake --preset mingw      (CMakePresets.json: build/mingw)
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QC_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QC_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QC_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QC_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${QC_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${QC_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${QC_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under Wine; ctest prefixes every test command with this.
find_program(QC_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(QC_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${QC_WINE})
endif()
