# Install rules and packages.
#
#   cmake --install <build>        the programs, the manual page, README,
#                                  copyright and changelog
#   cmake --build <build> --target package
#       Linux:   a Debian package, rousel_<version>_<arch>.deb, whose
#                dependencies dpkg-shlibdeps computes from the binaries
#                (packaging/build-package.sh adds the distribution's build
#                flags; "make package" uses it)
#       Windows: a zip with rousel.exe, the README and the LICENSE
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
  # A stripped install (CPack strips) drops what plain strip leaves: the
  # compiler's .comment and the .note section, as Debian's packages do.
  if(CMAKE_STRIP)
    foreach(program ${ROUSEL_INSTALLED_PROGRAMS})
      install(CODE "
        if(CMAKE_INSTALL_DO_STRIP)
          execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment
                                  --remove-section=.note --strip-unneeded
                                  \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${program}\"
                          COMMAND_ERROR_IS_FATAL ANY)
        endif()")
    endforeach()
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

  # The licence as a machine-readable copyright file: the text of LICENSE
  # below its copyright line, in the file's continuation-line form (one
  # leading blank, " ." for an empty line).
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE ROUSEL_LICENSE)
  string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" ROUSEL_COPYRIGHT_LINE "${ROUSEL_LICENSE}")
  set(ROUSEL_COPYRIGHT_HOLDER ${CMAKE_MATCH_1})
  string(FIND "${ROUSEL_LICENSE}" "${ROUSEL_COPYRIGHT_LINE}" ROUSEL_AT)
  string(LENGTH "${ROUSEL_COPYRIGHT_LINE}" ROUSEL_LENGTH)
  math(EXPR ROUSEL_AT "${ROUSEL_AT} + ${ROUSEL_LENGTH}")
  string(SUBSTRING "${ROUSEL_LICENSE}" ${ROUSEL_AT} -1 ROUSEL_LICENSE_TEXT)
  string(STRIP "${ROUSEL_LICENSE_TEXT}" ROUSEL_LICENSE_TEXT)
  string(REPLACE "\n" "\n " ROUSEL_LICENSE_TEXT "${ROUSEL_LICENSE_TEXT}")
  string(REPLACE "\n \n" "\n .\n" ROUSEL_LICENSE_TEXT "${ROUSEL_LICENSE_TEXT}")
  set(ROUSEL_DOC_DIR ${PROJECT_BINARY_DIR}/doc)
  file(CONFIGURE OUTPUT ${ROUSEL_DOC_DIR}/copyright @ONLY CONTENT [[
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: rousel

Files: *
Copyright: @ROUSEL_COPYRIGHT_HOLDER@
License: Expat
 @ROUSEL_LICENSE_TEXT@
]])
  install(FILES ${ROUSEL_DOC_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

  # The manual page is installed as it stands in the source.
  set(ROUSEL_MAN_DIR ${PROJECT_BINARY_DIR}/man)
  configure_file(${ROUSEL_PACKAGING_DIR}/rousel.1 ${ROUSEL_MAN_DIR}/rousel.1 COPYONLY)

  # Debian policy wants manual pages and changelogs compressed with gzip -9n:
  # -n leaves the file name and time stamp out, so that two builds give the
  # same bytes.  Without gzip both go in as they are.
  find_program(ROUSEL_GZIP gzip)
  mark_as_advanced(ROUSEL_GZIP)
  if(ROUSEL_GZIP)
    # A native package's changelog is changelog.gz.
    set(ROUSEL_CHANGELOG ${ROUSEL_DOC_DIR}/changelog.gz)
    add_custom_command(
      OUTPUT ${ROUSEL_CHANGELOG}
      COMMAND ${CMAKE_COMMAND} -E copy ${ROUSEL_PACKAGING_DIR}/changelog ${ROUSEL_DOC_DIR}/changelog
      COMMAND ${ROUSEL_GZIP} -9nf ${ROUSEL_DOC_DIR}/changelog
      DEPENDS ${ROUSEL_PACKAGING_DIR}/changelog
      COMMENT "Compressing the changelog"
      VERBATIM)
    add_custom_target(rousel_changelog ALL DEPENDS ${ROUSEL_CHANGELOG})
    install(FILES ${ROUSEL_CHANGELOG} DESTINATION ${CMAKE_INSTALL_DOCDIR})

    set(ROUSEL_MAN_PAGE ${ROUSEL_MAN_DIR}/gz/rousel.1.gz)
    add_custom_command(
      OUTPUT ${ROUSEL_MAN_PAGE}
      COMMAND ${CMAKE_COMMAND} -E copy ${ROUSEL_MAN_DIR}/rousel.1 ${ROUSEL_MAN_DIR}/gz/rousel.1
      COMMAND ${ROUSEL_GZIP} -9nf ${ROUSEL_MAN_DIR}/gz/rousel.1
      DEPENDS ${ROUSEL_MAN_DIR}/rousel.1
      COMMENT "Compressing the manual page"
      VERBATIM)
  else()
    install(FILES ${ROUSEL_PACKAGING_DIR}/changelog DESTINATION ${CMAKE_INSTALL_DOCDIR})
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
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
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
