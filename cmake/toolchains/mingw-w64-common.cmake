# Shared part of the MinGW-w64 cross toolchains.  The including file sets
# ROUSEL_MINGW_TRIPLE and CMAKE_SYSTEM_PROCESSOR first.
set(CMAKE_SYSTEM_NAME Windows)

# Debian ships two thread models per target, each a package of its own.  The
# program starts its one thread with CreateThread and needs nothing of the C++
# thread library, so the including file may prefer one (ROUSEL_MINGW_THREADS:
# "win32" or "posix"); whichever is installed is taken otherwise.  Both link
# statically into the .exe.
if(NOT DEFINED ROUSEL_MINGW_THREADS)
  set(ROUSEL_MINGW_THREADS posix win32)
endif()
set(_rousel_cc_names)
set(_rousel_cxx_names)
foreach(_model IN LISTS ROUSEL_MINGW_THREADS)
  list(APPEND _rousel_cc_names ${ROUSEL_MINGW_TRIPLE}-gcc-${_model})
  list(APPEND _rousel_cxx_names ${ROUSEL_MINGW_TRIPLE}-g++-${_model})
endforeach()
find_program(CMAKE_C_COMPILER NAMES ${_rousel_cc_names} ${ROUSEL_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${_rousel_cxx_names} ${ROUSEL_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${ROUSEL_MINGW_TRIPLE}-windres)
find_program(CMAKE_OBJDUMP NAMES ${ROUSEL_MINGW_TRIPLE}-objdump)

# Libraries and headers only from the target's sysroot, programs from the
# build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${ROUSEL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# CPack strips the zip's program with the target's strip.
find_program(CMAKE_STRIP NAMES ${ROUSEL_MINGW_TRIPLE}-strip)
