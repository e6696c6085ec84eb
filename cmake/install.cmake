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

set(CPACK_PACKAGE_NAME korvax)
set(CPACK_PACKAGE_CONTACT
    "KORVAX maintainers <maintainers@users.noreply.c-seed-43527708.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "convert emulator tape images into WAV audio for a real cassette port")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "KORVAX turns the tape images of home-computer emulators into 8-bit mono WAV
audio which, played into the real machine's cassette input, loads the program.
It knows TRS-80 Model I / Video Genie CAS, Colour Genie CAS, Homelab HTP and
Commodore TAP images (versions 0 to 2; C64, VIC-20, C16/Plus4; PAL and NTSC).")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
# The program needs only the C and C++ runtime libraries. These are the
# versions dpkg-shlibdeps finds for a build on Debian 12 (GLIBC_2.34,
# libstdc++ of GCC 9); libgcc-s1 comes in through libstdc++6, which depends
# on it. A build with a newer toolchain may need higher versions: compare
# with what `cpack -G DEB -D CPACK_DEBIAN_PACKAGE_SHLIBDEPS=ON` finds.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 9)")
set(CPACK_GENERATOR DEB)
include(CPack)
