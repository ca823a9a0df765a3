# Release packages. On Linux: install rules for the whole program (binaries,
# menu entry and icons from src/ui, manual pages, bash completion, Debian
# copyright and changelog) and cpack's DEB generator. In the Windows build:
# the zip of the programs with README, LICENSE and CHANGELOG as .txt with
# CRLF line ends, and libpq.dll with the DLLs it needs and their licences. scripts/package.sh makes both into dist/.

set(QUELMAR_MAINTAINER "Quelmar developers <developers@quelmar.invalid>")
# The files below are read at configure time: edits to them reconfigure.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/README.md
             ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_SOURCE_DIR}/packaging/copyright.in
             ${PROJECT_SOURCE_DIR}/packaging/libpq-licenses.txt)

set(CPACK_PACKAGE_NAME quelmar)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the Quelmar developers")
set(CPACK_PACKAGE_CONTACT "${QUELMAR_MAINTAINER}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)

if(WIN32)
  # Windows users open text files in Notepad: CRLF line ends, .txt names.
  foreach(pair "README.md;README.txt" "LICENSE;LICENSE.txt" "CHANGELOG.md;CHANGELOG.txt")
    list(GET pair 0 from)
    list(GET pair 1 to)
    file(READ ${PROJECT_SOURCE_DIR}/${from} text)
    string(REPLACE "\r\n" "\n" text "${text}")
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE ${PROJECT_BINARY_DIR}/zip/${to} "${text}")
    install(FILES ${PROJECT_BINARY_DIR}/zip/${to} DESTINATION .)
  endforeach()
  # The licences of libpq.dll and the DLLs it needs (src/line ships them):
  # our notes, then the full Apache 2.0 and LGPL 2.1 texts from Debian.
  file(READ ${PROJECT_SOURCE_DIR}/packaging/libpq-licenses.txt text)
  foreach(pair "Apache-2.0;Apache License 2.0 (libssl-3-x64.dll, libcrypto-3-x64.dll)"
               "LGPL-2.1;GNU Lesser General Public License 2.1 (libintl-9.dll, libiconv-2.dll)")
    list(GET pair 0 licence)
    list(GET pair 1 title)
    file(READ /usr/share/common-licenses/${licence} body)
    string(LENGTH "${title}" length)
    string(REPEAT "-" ${length} rule)
    string(APPEND text "\n\n${title}\n${rule}\n\n${body}")
  endforeach()
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE ${PROJECT_BINARY_DIR}/zip/libpq-licenses.txt "${text}")
  install(FILES ${PROJECT_BINARY_DIR}/zip/libpq-licenses.txt DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  # Release files carry no debug information.
  set(CPACK_STRIP_FILES ON)
  set(CPACK_PACKAGE_FILE_NAME "quelmar-${PROJECT_VERSION}-win64")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  include(CPack)
  return()
endif()

if(TARGET quelmar-sim)
  install(TARGETS quelmar-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(FILES ${PROJECT_SOURCE_DIR}/packaging/quelmar-cli.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME quelmar-cli)

# /usr/share/doc/quelmar/copyright in Debian's machine-readable format, the
# licence text indented as that format wants (an empty line is " .").
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
string(STRIP "${licence}" licence)
string(REGEX REPLACE "\n\n" "\n.\n" licence "${licence}")
string(REGEX REPLACE "\n" "\n " QUELMAR_LICENSE_TEXT " ${licence}")
configure_file(${PROJECT_SOURCE_DIR}/packaging/copyright.in ${PROJECT_BINARY_DIR}/doc/copyright @ONLY)

# The Debian changelog, made from CHANGELOG.md.
add_custom_command(
  OUTPUT ${PROJECT_BINARY_DIR}/doc/changelog.gz
  COMMAND ${PROJECT_SOURCE_DIR}/packaging/debian-changelog.sh ${PROJECT_SOURCE_DIR}/CHANGELOG.md
          "${QUELMAR_MAINTAINER}" > ${PROJECT_BINARY_DIR}/doc/changelog
  COMMAND gzip -9nf ${PROJECT_BINARY_DIR}/doc/changelog
  DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_SOURCE_DIR}/packaging/debian-changelog.sh
  VERBATIM)
add_custom_target(quelmar_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/doc/changelog.gz)
install(FILES ${PROJECT_BINARY_DIR}/doc/copyright ${PROJECT_BINARY_DIR}/doc/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Manual pages from each program's --help and --version (help2man).
option(QUELMAR_MAN_PAGES "Make the manual pages with help2man" ON)
find_program(QUELMAR_HELP2MAN help2man)
if(QUELMAR_MAN_PAGES AND NOT QUELMAR_HELP2MAN)
  message(STATUS "help2man not found: no manual pages (scripts/deps.sh installs it)")
elseif(QUELMAR_MAN_PAGES)
  file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/man)
  set(pages)
  foreach(entry
      "quelmar|write firmware into LPC43xx boards (desktop program)"
      "quelmar-cli|write firmware into LPC43xx boards from the command line"
      "quelmar-sim|simulated LPC43xx board bootloader on a pseudo-terminal")
    string(REPLACE "|" ";" entry "${entry}")
    list(GET entry 0 program)
    list(GET entry 1 summary)
    if(NOT TARGET ${program})
      continue()
    endif()
    set(page ${PROJECT_BINARY_DIR}/man/${program}.1)
    set(include_commands)
    set(include_options)
    if(program STREQUAL "quelmar-cli")
      # Each command's own --help, in a COMMANDS section.
      set(include ${PROJECT_BINARY_DIR}/man/${program}.commands)
      set(include_commands COMMAND ${PROJECT_SOURCE_DIR}/packaging/man-commands.sh
                           $<TARGET_FILE:${program}> > ${include})
      set(include_options --include=${include})
    endif()
    add_custom_command(
      OUTPUT ${page}.gz
      ${include_commands}
      COMMAND ${QUELMAR_HELP2MAN} --no-info --no-discard-stderr --section=1
              "--name=${summary}" ${include_options} --output=${page} $<TARGET_FILE:${program}>
      COMMAND gzip -9nf ${page}
      DEPENDS ${program} ${PROJECT_SOURCE_DIR}/packaging/man-commands.sh
      VERBATIM)
    list(APPEND pages ${page}.gz)
  endforeach()
  add_custom_target(quelmar_man ALL DEPENDS ${pages})
  install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# The Debian package: cpack -G DEB in the Linux build.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QUELMAR_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The log view's font; dpkg-shlibdeps adds the libraries.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-dejavu-core")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "write firmware into NXP LPC43xx boards through their serial bootloader")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Quelmar updates boards built around an NXP LPC43xx microcontroller
(LPC4310, LPC4320, LPC4330, LPC4350, LPC4353, LPC4357) through the
board's resident serial bootloader, at 115200 baud: it identifies
bootloader and chip, checks .fcode and .fdata image files, erases and
writes the code flash (banks A and B) and the data flash, and reboots
the board, reporting every step.
.
The package holds the desktop program quelmar, the command-line tool
quelmar-cli (several boards at once, for the production line, and the
packer that makes image files from build output) and quelmar-sim, a
simulated board for training, demos and trying an update before touching
a real board.")
include(CPack)
