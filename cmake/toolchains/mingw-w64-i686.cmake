# Cross build for 32-bit Windows with MinGW-w64.  This is the build a Windows 95 family system
# needs: only there does the tone program the PC speaker through its ports.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ROUSEL_MINGW_TRIPLE i686-w64-mingw32)
# The win32 thread model first (Debian: g++-mingw-w64-i686-win32): the posix
# one brings winpthreads, whose imports (GetTickCount64, vectored exception
# handlers) no system before Windows Vista has, so the .exe would not even
# load on the systems this build is for.
set(ROUSEL_MINGW_THREADS win32 posix)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
# The header claims Windows 4.0, the Windows 95 family and NT 4.0, which is
# what the import check holds the imports to.
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-Wl,--major-subsystem-version,4,--minor-subsystem-version,0,--major-os-version,4,--minor-os-version,0")
