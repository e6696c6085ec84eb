# Run by cpack (CPACK_PRE_BUILD_SCRIPTS) once the program and its manual page
# are installed in the staging folder and before the package is made: adds
# what a Debian package needs besides, and `cmake --install` does not install.
#   usr/share/doc/korvax/copyright             (machine-readable, DEP-5)
#   usr/share/doc/korvax/changelog.Debian.gz   (dated SOURCE_DATE_EPOCH)
#   usr/share/lintian/overrides/korvax         (each override explained)
set(root ${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX})
if(NOT IS_DIRECTORY ${root}/bin)
  message(FATAL_ERROR "package_stage: no staged install at ${root}")
endif()
set(src ${CPACK_KORVAX_SOURCE_DIR})

# cpack's strip keeps the compilers' .comment section; Debian's own strip step
# removes it, and so does this.
execute_process(COMMAND ${CPACK_KORVAX_OBJCOPY} --remove-section=.comment ${root}/bin/korvax
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "package_stage: objcopy failed")
endif()
set(work ${CPACK_TOPLEVEL_DIRECTORY}/korvax_stage)
file(REMOVE_RECURSE ${work})
file(MAKE_DIRECTORY ${work})

# The changelog's date, RFC 5322 style in UTC; names spelt out here so that
# no locale can change them. string(TIMESTAMP) follows SOURCE_DATE_EPOCH.
string(TIMESTAMP weekday "%w" UTC)
string(TIMESTAMP month "%m" UTC)
string(TIMESTAMP rest "%d @ %Y %H:%M:%S +0000" UTC)
set(days Sun Mon Tue Wed Thu Fri Sat)
set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
list(GET days ${weekday} weekday)
math(EXPR month "${month} - 1")
list(GET months ${month} month)
string(REPLACE "@" "${month}" rest "${rest}")
set(KORVAX_DEB_DATE "${weekday}, ${rest}")
set(KORVAX_DEB_VERSION "${CPACK_PACKAGE_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")
set(KORVAX_VERSION "${CPACK_KORVAX_VERSION}")
set(KORVAX_DEB_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
configure_file(${src}/packaging/changelog.in ${work}/changelog.Debian @ONLY)
execute_process(COMMAND ${CPACK_KORVAX_GZIP} -9nf ${work}/changelog.Debian
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "package_stage: gzip failed")
endif()

# file(INSTALL) would put cpack's DESTDIR in front of the staging folder again.
set(destdir "$ENV{DESTDIR}")
set(ENV{DESTDIR} "")
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(mode PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(INSTALL ${src}/packaging/copyright ${work}/changelog.Debian.gz
     DESTINATION ${root}/share/doc/korvax ${mode})
file(INSTALL ${src}/packaging/lintian-overrides
     DESTINATION ${root}/share/lintian/overrides ${mode}
     RENAME korvax)
set(ENV{DESTDIR} "${destdir}")
