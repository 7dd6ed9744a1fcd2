# Cross build for 64-bit Windows with MinGW-w64 (Debian:
# g++-mingw-w64-x86-64-posix).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ROUSEL_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
# Debian packages this compiler with the posix thread model only, whose
# winpthreads imports GetTickCount64: the .exe loads on Windows Vista and
# later, and its header says so, as a loader that checks it expects.
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-Wl,--major-subsystem-version,6,--minor-subsystem-version,0,--major-os-version,6,--minor-os-version,0")
