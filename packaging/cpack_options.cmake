# Read by CPack before it makes each package. The files in a package are
# dated from the last commit, so that two builds of one commit give the same
# bytes; a SOURCE_DATE_EPOCH already set wins, and outside a git checkout the
# packages carry the time they were made.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(
    COMMAND git -C ${CPACK_TOVALISE_SOURCE_DIR} log -1 --format=%ct
    OUTPUT_VARIABLE commit_time OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE git_failed ERROR_QUIET)
  if(NOT git_failed AND commit_time MATCHES "^[0-9]+$")
    set(ENV{SOURCE_DATE_EPOCH} ${commit_time})
  endif()
endif()
