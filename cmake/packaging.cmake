# What `cmake --install` puts where, and the packages CPack makes from it:
# on Linux a .deb laid out as Debian expects, for Windows a .zip whose files
# sit side by side, so that unzipping it gives a folder to run vorbex.exe in.
# Included from the top-level CMakeLists.txt after the vorbex target.

include(GNUInstallDirs)

# Both packages carry the version --version prints: the project's version and
# the commit configured from, so a package names the commit it was built at.
set(VORBEX_PACKAGE_VERSION "${PROJECT_VERSION}")
if(NOT VORBEX_COMMIT STREQUAL "unknown")
  string(APPEND VORBEX_PACKAGE_VERSION "+${VORBEX_COMMIT}")
endif()

if(WIN32)
  install(TARGETS vorbex RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION .)
  # A Windows user opens files by their extension.
  install(FILES LICENSE DESTINATION . RENAME LICENSE.txt)

  # Windows has no man; the page goes in as plain text, rendered on the
  # machine that builds. ASCII, without overstriking, reads in any editor.
  find_program(VORBEX_GROFF groff)
  if(VORBEX_GROFF)
    set(VORBEX_MAN_TEXT "${CMAKE_BINARY_DIR}/vorbex.txt")
    add_custom_command(
      OUTPUT "${VORBEX_MAN_TEXT}"
      COMMAND "${VORBEX_GROFF}" -man -Tascii -P-cbu -rHY=0
              "${PROJECT_SOURCE_DIR}/doc/vorbex.1" > "${VORBEX_MAN_TEXT}"
      DEPENDS "${PROJECT_SOURCE_DIR}/doc/vorbex.1"
      COMMENT "Rendering the manual page as text"
      VERBATIM)
    add_custom_target(vorbex_man_text ALL DEPENDS "${VORBEX_MAN_TEXT}")
    install(FILES "${VORBEX_MAN_TEXT}" DESTINATION .)
  else()
    message(WARNING "groff not found: the Windows package will lack the "
                    "manual page (apt-get install groff-base)")
  endif()

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "vorbex-${VORBEX_PACKAGE_VERSION}-win64")
else()
  install(TARGETS vorbex RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # A service per drive, and the conf it reads, as an example to copy into
  # /etc/vorbex: a conf put there by the package would start nothing, and
  # one per drive is the operator's to write.
  install(FILES contrib/systemd/vorbex@.service
          DESTINATION lib/systemd/system)
  install(FILES contrib/systemd/vorbex.conf
          DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

  # Debian keeps its manual pages compressed; -n leaves the name and time out
  # of the header so that two builds of one page are the same bytes.
  find_program(VORBEX_GZIP gzip)
  if(VORBEX_GZIP)
    set(VORBEX_MAN_GZ "${CMAKE_BINARY_DIR}/vorbex.1.gz")
    add_custom_command(
      OUTPUT "${VORBEX_MAN_GZ}"
      COMMAND "${VORBEX_GZIP}" -9nc "${PROJECT_SOURCE_DIR}/doc/vorbex.1"
              > "${VORBEX_MAN_GZ}"
      DEPENDS "${PROJECT_SOURCE_DIR}/doc/vorbex.1"
      VERBATIM)
    add_custom_target(vorbex_man_gz ALL DEPENDS "${VORBEX_MAN_GZ}")
    install(FILES "${VORBEX_MAN_GZ}" DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  else()
    install(FILES doc/vorbex.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # dpkg-shlibdeps (package dpkg-dev) reads the libraries the program links
  # and writes the Depends line with the versions they need.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

set(VORBEX_PACKAGE_MAINTAINER
    "Vorbex maintainers <maintainers@users.noreply.c-seed-74b0ac96.example>"
    CACHE STRING "Maintainer named in the .deb")

set(CPACK_PACKAGE_NAME vorbex)
set(CPACK_PACKAGE_VENDOR "Vorbex")
set(CPACK_PACKAGE_VERSION "${VORBEX_PACKAGE_VERSION}")
set(CPACK_PACKAGE_CONTACT "${VORBEX_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "data-integrity stress tester for disks, volumes and files")
# Debian wants the long description in lines of under 80 characters.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "Vorbex runs concurrent reader and writer threads over one target (a raw"
  "volume or an ordinary file), stamps every block it writes with a"
  "self-describing header and verifies every block it reads back, reporting"
  "lost, torn, misplaced, stale and corrupted writes. It overwrites its"
  "target.")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_RESOURCE_FILE_README "${PROJECT_SOURCE_DIR}/README.md")
set(CPACK_STRIP_FILES ON)
# Packages go to one folder per build tree, whichever way cpack is run.
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/packages")
include(CPack)
