# Fuzzing.  The targets in fuzz/ are built in every native build: with
# ROUSEL_FUZZ as libFuzzer executables (clang only), which scripts/fuzz.sh
# runs for a bounded time; otherwise each is linked with a small replay
# driver and run over its seed corpus as a test, so that the targets keep
# compiling and every seed (and every crash input added to a corpus) keeps
# passing under the sanitizers of that build.
if(ROUSEL_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "ROUSEL_FUZZ needs clang (libFuzzer): use the fuzz preset")
  endif()
  # Coverage for libFuzzer in every library the targets link, with the
  # sanitizers that turn silent corruption into a crash the fuzzer keeps.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# Targets named in target_link_libraries are resolved when the build is
# generated, so the fuzz targets may be declared before the libraries they
# link (and before tests/ declares the in-memory console).  A build without
# the tests (a package) has no use for the replay drivers.
if(NOT WIN32 AND NOT CMAKE_CROSSCOMPILING AND (ROUSEL_FUZZ OR ROUSEL_TESTS))
  add_subdirectory(${PROJECT_SOURCE_DIR}/fuzz ${PROJECT_BINARY_DIR}/fuzz)
endif()
