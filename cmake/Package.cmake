# The Debian package: `cmake --build build --target package` writes
# build/parlora_<version>_amd64.deb from what `cmake --install` puts in place.

# The program calls itself "3.2b": a revision after 3.2, not a pre-release,
# so it stays as it is (Debian sorts 3.2 < 3.2a < 3.2b < 3.3). No Debian
# revision: the project packages itself (a native package).
set(PARLORA_PACKAGE_VERSION 3.2b)
# The software-centre id, also the desktop entry's name. The project has no
# public home yet: the id and the screenshots' address use the reserved
# .example domain until it has one.
set(PARLORA_APP_ID example.parlora.Parlora)
set(PARLORA_REPOSITORY_URL https://parlora.example/parlora
    CACHE STRING "Public address of the repository (screenshots in the AppStream file)")
set(PARLORA_MAINTAINER "Parlora maintainers <maintainers@users.noreply.c-seed-e6467781.example>")
# Date of the package's changelog entry (RFC 5322), moved with the version.
set(PARLORA_RELEASE_DATE "Wed, 09 Dec 2026 00:00:00 +0000")
set(PARLORA_RELEASE_DAY 2026-12-09)

include(GNUInstallDirs)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The shipped programs resolve their symbols at start, so the relocation
# tables can be made read-only at once (as Debian's own builds do).
target_link_options(parlora PRIVATE LINKER:-z,relro,-z,now)
target_link_options(parlora-cli PRIVATE LINKER:-z,relro,-z,now)

# Manual pages and the changelog go in gzip-compressed (-n: no name or time
# stamp, so the package is the same for the same sources).
find_program(PARLORA_GZIP gzip REQUIRED)
set(pkgdir ${CMAKE_BINARY_DIR}/package)
configure_file(${CMAKE_SOURCE_DIR}/data/changelog.in ${pkgdir}/changelog @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/data/parlora.metainfo.xml.in
               ${pkgdir}/${PARLORA_APP_ID}.metainfo.xml @ONLY)
set(compressed)
foreach(src data/man/parlora.1 data/man/parlora-cli.1 ${pkgdir}/changelog)
  get_filename_component(name ${src} NAME)
  get_filename_component(abs ${src} ABSOLUTE BASE_DIR ${CMAKE_SOURCE_DIR})
  add_custom_command(OUTPUT ${pkgdir}/${name}.gz
    COMMAND ${PARLORA_GZIP} -9 -n -c ${abs} > ${pkgdir}/${name}.gz
    DEPENDS ${abs} VERBATIM)
  list(APPEND compressed ${pkgdir}/${name}.gz)
endforeach()
add_custom_target(parlora_package_files ALL DEPENDS ${compressed})

install(FILES ${pkgdir}/parlora.1.gz ${pkgdir}/parlora-cli.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${pkgdir}/${PARLORA_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES data/copyright ${pkgdir}/changelog.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/parlora)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME parlora)
set(CPACK_PACKAGE_VERSION ${PARLORA_PACKAGE_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT ${PARLORA_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "chat with a small group on a LAN or the Internet")
set(CPACK_PACKAGE_DESCRIPTION_FILE ${CMAKE_SOURCE_DIR}/data/package-description.txt)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Libraries from the binaries; the rest is what the program reads at run
# time without linking it: the fonts its windows ask for (through its
# fontconfig aliases), Qt's Japanese texts for the standard dialogs and the
# freedesktop theme whose event sound libcanberra plays on an arrival, and
# the authorities the FTP server's TLS certificate is checked against.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "fonts-ipafont-gothic, fonts-urw-base35, qt6-translations-l10n, sound-theme-freedesktop, ca-certificates")
include(CPack)
