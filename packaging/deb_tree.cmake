# Run by CPack on the staged files before it packs them: gives the Debian
# package what Debian asks of every package (a compressed man page, a
# changelog and the copyright file in its documentation folder). Other
# package formats are left as installed.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

set(root ${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX})
set(doc_dir ${root}/share/doc/${CPACK_PACKAGE_NAME})

# gzip -n keeps the name and time out of the header, so the bytes depend on
# the content alone.
function(compress file)
  execute_process(COMMAND gzip -9 -n -f ${file} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "could not compress ${file}")
  endif()
endfunction()

compress(${root}/share/man/man1/tovalise.1)

# The copyright file in Debian's machine-readable form, from LICENSE: its
# copyright line, then the license text below it with each line indented and
# each empty line a lone dot.
file(READ ${CPACK_RESOURCE_FILE_LICENSE} license)
if(NOT license MATCHES "Copyright \\(c\\) ([^\n]*)\n\n(.*)$")
  message(FATAL_ERROR "LICENSE has no copyright line")
endif()
set(holder "${CMAKE_MATCH_1}")
string(REPLACE "\n\n" "\n.\n" license_body "${CMAKE_MATCH_2}")
string(REGEX REPLACE "([^\n]*)\n" " \\1\n" license_body "${license_body}")
file(WRITE ${doc_dir}/copyright
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
  "Upstream-Name: ${CPACK_PACKAGE_NAME}\n"
  "Upstream-Contact: ${CPACK_PACKAGE_CONTACT}\n"
  "\n"
  "Files: *\n"
  "Copyright: ${holder}\n"
  "License: Expat\n"
  "${license_body}")

# One entry for this version, dated like the rest of the package (from
# SOURCE_DATE_EPOCH when it is set).
string(TIMESTAMP changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${doc_dir}/changelog
  "${CPACK_PACKAGE_NAME} (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium\n"
  "\n"
  "  * Release ${CPACK_PACKAGE_VERSION}; README.md says what it does.\n"
  "\n"
  " -- ${CPACK_PACKAGE_CONTACT}  ${changelog_date}\n")
compress(${doc_dir}/changelog)

# The files and folders staged follow the umask of whoever builds; a package must
# not carry it (a folder of mode 700 under /usr) nor differ with it.
execute_process(COMMAND chmod -R u=rwX,go=rX ${CPACK_TEMPORARY_DIRECTORY} RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "could not set the permissions of the staged files")
endif()

