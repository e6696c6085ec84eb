# Read by cpack (CPACK_PROJECT_CONFIG_FILE) before it builds the package.
# cpack stamps every file, the tar and ar headers and the gzip headers with
# SOURCE_DATE_EPOCH when the environment holds it, and the changelog's date
# comes from it (cmake/package_stage.cmake), so two builds of one commit give
# the same bytes. A value already in the environment wins; otherwise the last
# commit's date; outside a git checkout, the time of the source's
# CMakeLists.txt, which an unpacked release archive keeps.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH} OR "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  find_program(KORVAX_GIT git)
  set(epoch "")
  if(KORVAX_GIT)
    execute_process(
      COMMAND ${KORVAX_GIT} -C ${CPACK_KORVAX_SOURCE_DIR} log -1 --format=%ct
      RESULT_VARIABLE status OUTPUT_VARIABLE epoch ERROR_QUIET
      OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT status EQUAL 0)
      set(epoch "")
    endif()
  endif()
  if(NOT epoch MATCHES "^[0-9]+$")
    file(TIMESTAMP ${CPACK_KORVAX_SOURCE_DIR}/CMakeLists.txt epoch "%s" UTC)
    message(STATUS "SOURCE_DATE_EPOCH from the time of CMakeLists.txt: ${epoch}")
  endif()
  set(ENV{SOURCE_DATE_EPOCH} ${epoch})
endif()
