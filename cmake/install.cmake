# Installation and the Debian package: the program in bin/, its manual page
# in share/man/man1/, under whatever prefix the install or the package uses.
include(GNUInstallDirs)

install(TARGETS korvax RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Manual pages are installed compressed, as Debian's policy asks; -n leaves
# the name and time out of the gzip header, so the package is reproducible.
find_program(GZIP_EXECUTABLE gzip REQUIRED)
set(korvax_manpage ${CMAKE_BINARY_DIR}/korvax.1.gz)
add_custom_command(
  OUTPUT ${korvax_manpage}
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/doc/korvax.1 ${CMAKE_BINARY_DIR}/korvax.1
  COMMAND ${GZIP_EXECUTABLE} -9nf ${CMAKE_BINARY_DIR}/korvax.1
  DEPENDS ${PROJECT_SOURCE_DIR}/doc/korvax.1
  COMMENT "Compressing the manual page"
  VERBATIM)
add_custom_target(manpage ALL DEPENDS ${korvax_manpage})
install(FILES ${korvax_manpage} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The Debian package. Everything below is read by cpack (`cmake --workflow
# --preset package`); `cmake --install` installs the two files above only.
#
# The maintainer's address is the one field a packager must set: the default
# is a placeholder that reaches no one.
set(KORVAX_MAINTAINER_EMAIL "maintainers@users.noreply.c-seed-43527708.example"
    CACHE STRING "E-mail address in the Debian package's Maintainer field")
set(CPACK_PACKAGE_NAME korvax)
set(CPACK_PACKAGE_VENDOR "The KORVAX developers")
set(CPACK_PACKAGE_CONTACT "The KORVAX developers <${KORVAX_MAINTAINER_EMAIL}>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "convert emulator tape images into WAV audio for a real cassette port")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "KORVAX turns the tape images of home-computer emulators into 8-bit mono WAV
audio which, played into the real machine's cassette input, loads the program.
It knows TRS-80 Model I, III and 4 / Video Genie CAS images (250, 500 and 1500
baud), Colour Genie CAS, Homelab HTP, Commodore TAP images (versions 0 to 2;
C64, VIC-20, C16/Plus4; PAL and NTSC) and Commodore 64 program files (PRG, P00
and T64), which it writes as the C64 saves them to tape.
.
It also reads the other way: a tape recorded through a sound card (WAV, AIFF,
FLAC, Ogg or MP3) back into an image, reporting every byte it is unsure of.")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
# Revision 1 of the Debian packaging of upstream version ${PROJECT_VERSION}:
# a non-native package, hence changelog.Debian.gz.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
# The program needs the C and C++ runtime libraries, and libsndfile to read
# recordings. These are the versions dpkg-shlibdeps finds for a build on
# Debian 12 (GLIBC_2.34, libstdc++ of GCC 9, libsndfile's own shlibs entry);
# libgcc-s1 comes in through libstdc++6, which depends on it. A build with a newer toolchain may need higher versions: compare
# with what `cpack -G DEB -D CPACK_DEBIAN_PACKAGE_SHLIBDEPS=ON` finds.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libsndfile1 (>= 1.2.0), libstdc++6 (>= 9)")
set(CPACK_GENERATOR DEB)

# Reproducible packages: cpack gives every file, the tar and ar headers and
# the gzip headers the time SOURCE_DATE_EPOCH when it is set; this file,
# read by cpack before it packages, sets it from the last commit's date when
# the environment does not.
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/package_epoch.cmake)
# After the install into the staging folder: the copyright file, the Debian
# changelog and the lintian overrides, for the package only.
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/package_stage.cmake)
set(CPACK_KORVAX_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_KORVAX_VERSION ${PROJECT_VERSION})
set(CPACK_KORVAX_GZIP ${GZIP_EXECUTABLE})
set(CPACK_KORVAX_OBJCOPY ${CMAKE_OBJCOPY})
include(CPack)
