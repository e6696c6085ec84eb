# The install rules and the Debian package as a user gets them: an install
# under a scratch prefix, and the package built from this build tree and
# unpacked into a scratch root. Each must hold exactly the program, which
# runs, and the manual page, compressed, as written in the source tree.
#
# Run by CTest: cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DSCRATCH=...
#   -DCPACK=... -P package_test.cmake

# Fails the test with `message` unless `condition`, an if() condition given
# as one string, holds.
function(expect condition message)
  cmake_language(EVAL CODE "
    if(NOT (${condition}))
      message(FATAL_ERROR [=[${message}]=])
    endif()")
endfunction()

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  set(status "${status}" PARENT_SCOPE)
  set(out "${out}" PARENT_SCOPE)
  set(err "${err}" PARENT_SCOPE)
endfunction()

# `root` is the prefix the files went under (/usr for the package).
function(check_tree root)
  file(GLOB_RECURSE files RELATIVE ${root} ${root}/*)
  list(SORT files)
  expect("files STREQUAL \"bin/korvax;share/man/man1/korvax.1.gz\""
         "${root} holds: ${files}")

  run(${root}/bin/korvax -h)
  string(FIND "${out}" "\nKORVAX v1.1\n" at)
  expect("status EQUAL 1 AND at EQUAL 0"
         "${root}/bin/korvax -h: status ${status}, output:\n${out}${err}")

  run(gzip -dc ${root}/share/man/man1/korvax.1.gz)
  file(READ ${SOURCE_DIR}/doc/korvax.1 source)
  expect("status EQUAL 0 AND out STREQUAL source"
         "${root}/share/man/man1/korvax.1.gz is not doc/korvax.1 compressed")
endfunction()

file(REMOVE_RECURSE ${SCRATCH})

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${SCRATCH}/prefix)
expect("status EQUAL 0" "cmake --install failed:\n${out}${err}")
check_tree(${SCRATCH}/prefix)

find_program(DPKG_DEB dpkg-deb)
if(NOT DPKG_DEB)
  message("skipped: dpkg-deb is not installed, the package is not checked")
  return()
endif()

run(${CPACK} -G DEB -B ${SCRATCH}/deb WORKING_DIRECTORY ${BUILD_DIR})
expect("status EQUAL 0" "cpack failed:\n${out}${err}")
file(GLOB debs ${SCRATCH}/deb/*.deb)
list(LENGTH debs count)
expect("count EQUAL 1" "cpack made: ${debs}")

run(${DPKG_DEB} -x ${debs} ${SCRATCH}/root)
expect("status EQUAL 0" "dpkg-deb -x failed:\n${err}")
check_tree(${SCRATCH}/root/usr)

# Only the C and C++ runtime libraries, whatever their versions.
run(${DPKG_DEB} -f ${debs} Depends)
string(REGEX REPLACE " *\\([^)]*\\)" "" depends "${out}")
string(STRIP "${depends}" depends)
expect("depends STREQUAL \"libc6, libstdc++6\"" "the package depends on: ${out}")
