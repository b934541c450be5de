# What `cmake --install` puts where, and the packages CPack makes from it:
# a Debian package on Linux, a zip for the 32-bit Windows build.

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

if(WIN32)
  # Everything in one folder; the texts with Windows line ends, the example
  # as it is.
  set(windows_dir ${PROJECT_BINARY_DIR}/windows)
  configure_file(packaging/README-windows.txt ${windows_dir}/README.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(LICENSE ${windows_dir}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  install(TARGETS tovalise RUNTIME DESTINATION .)
  install(FILES ${windows_dir}/README.txt ${windows_dir}/LICENSE.txt DESTINATION .)
  install(FILES example/notes.txt example/script.txt DESTINATION example)
else()
  include(GNUInstallDirs)
  install(TARGETS tovalise RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_BINARY_DIR}/tovalise.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES example/notes.txt example/script.txt DESTINATION ${CMAKE_INSTALL_DOCDIR}/example)
endif()

set(CPACK_PACKAGE_NAME tovalise)
set(CPACK_PACKAGE_VENDOR "the Tovalise developers")
set(CPACK_PACKAGE_CONTACT "Tovalise developers <tovalise@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "replace literal text in files, in place, safely")
set(CPACK_PACKAGE_DESCRIPTION
"Tovalise rewrites a file with every occurrence of a search text replaced by a
replacement text, or runs a script of such replacements over several files.
Matching is literal, byte for byte and case-sensitive, within each line; line
ends are kept as they are.

Each file is streamed through a fixed amount of memory, whatever its size or
the length of its lines, and each rewrite is committed atomically and
durably: after a crash or a power cut the file holds its whole old or its
whole new content, and a failed rewrite leaves the file as it was.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/packaging/cpack_options.cmake)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/deb_tree.cmake)
set(CPACK_TOVALISE_SOURCE_DIR ${PROJECT_SOURCE_DIR})

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME tovalise-${PROJECT_VERSION}-win32)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
