# Install rules and packages.
#
#   cmake --install <build>        the programs, the manual page, README,
#                                  copyright and changelog
#   cmake --build <build> --target package
#       Linux:   a Debian package, rousel_<version>_<arch>.deb, whose
#                dependencies dpkg-shlibdeps computes from the binaries
#                (packaging/build-package.sh adds the distribution's build
#                flags; "make package" uses it)
#       Windows: a zip with rousel.exe, a README.txt for Windows users
#                and the LICENSE
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
  # Its README speaks to a Windows user, of the Windows this build runs on
  # and where its tone comes from.  Both texts are read in Notepad, which
  # up to Windows 8.1 shows a file without CR as one long line: CRLF, and
  # ASCII for any code page.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    string(CONCAT ROUSEL_ZIP_WINDOWS
           "This rousel.exe is the 64-bit one: it needs Windows Vista or later,\n"
           "64-bit. The 32-bit zip has the one for Windows 95, 98 and Me, and\n"
           "for 32-bit Windows of the NT family.")
    string(CONCAT ROUSEL_ZIP_SOUND
           "Rousel calls Windows' Beep function for the tone. Windows 7 and\n"
           "later play it on the default sound device, so the volume and mute\n"
           "of the speakers apply. 64-bit Windows Vista has no Beep: there the\n"
           "alarm is silent, and the screen alone tells that it rings.")
  else()
    string(CONCAT ROUSEL_ZIP_WINDOWS
           "This rousel.exe is the 32-bit one: it runs on\n"
           "Windows 95, 98 and Me, and on Windows NT 4.0 and later,\n"
           "64-bit Windows included. Windows 95 needs msvcrt.dll, which\n"
           "Windows 98 brings and later updates of Windows 95 install.")
    string(CONCAT ROUSEL_ZIP_SOUND
           "On Windows 95, 98 and Me, Rousel sounds the PC speaker itself,\n"
           "not the sound card: the volume and mute have no effect on it, and a\n"
           "computer without a speaker stays silent. On the NT family it calls\n"
           "Windows' Beep function: Windows NT 4.0, 2000 and XP sound the PC\n"
           "speaker with it, Windows 7 and later the default sound device (so\n"
           "the volume and mute apply). On Windows Vista Beep may do nothing,\n"
           "and the alarm is then silent.")
  endif()
  # rousel_zip_text(SOURCE NAME): SOURCE as NAME in the zip, its @VARIABLES@
  # replaced first, so that the line ends of the paragraphs above become
  # CRLF too (configure_file's NEWLINE_STYLE leaves those of a value alone).
  set(ROUSEL_ZIP_DIR ${PROJECT_BINARY_DIR}/zip)
  function(rousel_zip_text source name)
    file(READ ${source} content)
    string(CONFIGURE "${content}" content @ONLY)
    file(CONFIGURE OUTPUT ${ROUSEL_ZIP_DIR}/${name} CONTENT "${content}" @ONLY NEWLINE_STYLE CRLF)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
    install(FILES ${ROUSEL_ZIP_DIR}/${name} DESTINATION .)
  endfunction()
  rousel_zip_text(${ROUSEL_PACKAGING_DIR}/windows/README.txt.in README.txt)
  rousel_zip_text(${PROJECT_SOURCE_DIR}/LICENSE LICENSE)
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
# The sound card's library is opened at the first tone, so dpkg-shlibdeps
# cannot see it; without it the tone falls back to the PC speaker or the
# bell, so it is recommended rather than required.  The package that ships
# it here gives its name (libasound2, or libasound2t64 on newer releases).
execute_process(COMMAND dpkg-query -S libasound.so.2
                OUTPUT_VARIABLE ROUSEL_ALSA_OWNER ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
string(REGEX MATCH "^[^:]+" ROUSEL_ALSA_PACKAGE "${ROUSEL_ALSA_OWNER}")
if(ROUSEL_ALSA_PACKAGE)
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "${ROUSEL_ALSA_PACKAGE}")
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# The source tarball: the source tree without build trees or git data.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\.git/" "/build/" "/out/" "\\.swp$")

include(CPack)
