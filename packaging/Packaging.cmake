# Install rules and packages.
#
#   cmake --install <build>        the program, its manual page and README
#   cmake --build <build> --target package
#       Linux:   a Debian package, rousel_<version>_<arch>.deb, whose
#                dependencies dpkg-shlibdeps computes from the binaries
#       Windows: a zip with rousel.exe and the README
#
# Included at the end of the top-level CMakeLists.txt, once every target
# exists.

include(GNUInstallDirs)

set(ROUSEL_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})
set(ROUSEL_MAINTAINER "Rousel maintainers <rousel@example.org>"
    CACHE STRING "Name and address the packages give as their maintainer")

# The tools that exist in this build: the key-dump tool is built only beside
# the terminal stand-in.
set(ROUSEL_INSTALLED_PROGRAMS rousel)
if(TARGET rousel-keydump)
  list(APPEND ROUSEL_INSTALLED_PROGRAMS rousel-keydump)
endif()

if(WIN32)
  # A Windows user unpacks the zip and runs rousel.exe where it lies: no
  # Unix tree, the program and its README side by side.
  install(TARGETS ${ROUSEL_INSTALLED_PROGRAMS} RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION .)
else()
  install(TARGETS ${ROUSEL_INSTALLED_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

  # The manual page carries the version; the build fills it in.
  set(ROUSEL_MAN_DIR ${PROJECT_BINARY_DIR}/man)
  configure_file(${ROUSEL_PACKAGING_DIR}/rousel.1 ${ROUSEL_MAN_DIR}/rousel.1 @ONLY)

  # Debian policy wants manual pages compressed with gzip -9n: -n leaves the
  # file name and time stamp out, so that two builds give the same bytes.
  # man reads them either way, so without gzip the page goes in as it is.
  find_program(ROUSEL_GZIP gzip)
  mark_as_advanced(ROUSEL_GZIP)
  if(ROUSEL_GZIP)
    set(ROUSEL_MAN_PAGE ${ROUSEL_MAN_DIR}/gz/rousel.1.gz)
    add_custom_command(
      OUTPUT ${ROUSEL_MAN_PAGE}
      COMMAND ${CMAKE_COMMAND} -E copy ${ROUSEL_MAN_DIR}/rousel.1 ${ROUSEL_MAN_DIR}/gz/rousel.1
      COMMAND ${ROUSEL_GZIP} -9nf ${ROUSEL_MAN_DIR}/gz/rousel.1
      DEPENDS ${ROUSEL_MAN_DIR}/rousel.1
      COMMENT "Compressing the manual page"
      VERBATIM)
  else()
    set(ROUSEL_MAN_PAGE ${ROUSEL_MAN_DIR}/rousel.1)
  endif()
  add_custom_target(rousel_manual ALL DEPENDS ${ROUSEL_MAN_PAGE})
  install(FILES ${ROUSEL_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  # The key-dump tool is described in the program's page; a link lets
  # "man rousel-keydump" find it.
  if(TARGET rousel-keydump)
    get_filename_component(ROUSEL_MAN_NAME ${ROUSEL_MAN_PAGE} NAME)
    string(REPLACE "rousel.1" "rousel-keydump.1" ROUSEL_KEYDUMP_MAN_NAME ${ROUSEL_MAN_NAME})
    file(MAKE_DIRECTORY ${ROUSEL_MAN_DIR}/link)
    file(CREATE_LINK ${ROUSEL_MAN_NAME} ${ROUSEL_MAN_DIR}/link/${ROUSEL_KEYDUMP_MAN_NAME} SYMBOLIC)
    install(FILES ${ROUSEL_MAN_DIR}/link/${ROUSEL_KEYDUMP_MAN_NAME}
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endif()

# Packages.
set(CPACK_PACKAGE_NAME rousel)
set(CPACK_PACKAGE_VENDOR "Rousel")
set(CPACK_PACKAGE_CONTACT "${ROUSEL_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "alarm clock for the text console")
# CPack puts the summary in front and indents the lines for Debian, but
# does not wrap them: they are kept short here.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "Rousel waits in a terminal until the alarm time you typed and then\n"
       "rings a 2000 Hz tone until you press ESC or, if you set one, type the\n"
       "password.  While it waits it shows the alarm time, the current time and\n"
       "the time remaining; keys choose how often it looks at the clock.")
set(CPACK_STRIP_FILES ON)
set(CPACK_VERBATIM_VARIABLES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  # CPack would build the .deb without dpkg-shlibdeps too, silently with no
  # dependencies at all; a package that installs and then cannot start is
  # worse than none, so without it the package is a plain tarball.
  find_program(ROUSEL_DPKG_SHLIBDEPS dpkg-shlibdeps)
  find_program(ROUSEL_FILE_PROGRAM file)
  mark_as_advanced(ROUSEL_DPKG_SHLIBDEPS ROUSEL_FILE_PROGRAM)
  if(ROUSEL_DPKG_SHLIBDEPS AND ROUSEL_FILE_PROGRAM)
    set(CPACK_GENERATOR DEB)
  else()
    message(STATUS "Rousel: no dpkg-shlibdeps or file (Debian: dpkg-dev, file); "
                   "the package target makes a tarball, not a .deb")
    set(CPACK_GENERATOR TGZ)
  endif()
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# The source tarball: the source tree without build trees or git data.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\.git/" "/build/" "/out/" "\\.swp$")

include(CPack)
