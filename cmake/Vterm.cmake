# libvterm, the terminal the renderer's tests and the console fuzz target
# check the renderer's bytes against.  Found with pkg-config; without it the
# configure stops and names the Debian package.
if(NOT TARGET PkgConfig::VTERM)
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(VTERM QUIET IMPORTED_TARGET GLOBAL vterm)
  endif()
  if(NOT VTERM_FOUND)
    message(FATAL_ERROR
      "The renderer's tests and the fuzz targets need libvterm: install the Debian packages "
      "libvterm-dev and pkg-config (scripts/deps.sh test), or configure with -DROUSEL_TESTS=OFF "
      "and without ROUSEL_FUZZ.")
  endif()
endif()
