# Installing the relay (cmake --install) and packaging it as a .deb (cpack -G DEB, see
# scripts/package): the program, the admin page in share/tnlrelay/ (where the program looks when
# the page is not beside it), and on Linux the unit, the manual page and the maintainer scripts.
include(GNUInstallDirs)

install(TARGETS tnlrelay RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(NOT WIN32 AND CMAKE_OBJCOPY)
    # The compilers' version notes serve no one at run time; Debian's own packages drop them.
    install(CODE "execute_process(COMMAND ${CMAKE_OBJCOPY} --remove-section=.comment
                  \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/tnlrelay\")")
endif()
install(FILES ${ADMIN_PAGE} DESTINATION ${CMAKE_INSTALL_DATADIR}/tnlrelay)

if(WIN32)
    return()
endif()

# The unit: lib/systemd/system under the prefix, which systemd reads when the prefix is /usr.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/tnlrelay.service DESTINATION lib/systemd/system)

# What a Debian package needs beside the program: a copyright file and a compressed changelog.
set(PACKAGE_DOC_DIR ${CMAKE_CURRENT_BINARY_DIR}/package-doc)
file(MAKE_DIRECTORY ${PACKAGE_DOC_DIR})
configure_file(${CMAKE_CURRENT_LIST_DIR}/copyright ${PACKAGE_DOC_DIR}/copyright COPYONLY)
string(TIMESTAMP PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in ${PACKAGE_DOC_DIR}/changelog @ONLY)
add_custom_command(OUTPUT ${PACKAGE_DOC_DIR}/changelog.gz
                   COMMAND gzip -n -9 -c ${PACKAGE_DOC_DIR}/changelog > ${PACKAGE_DOC_DIR}/changelog.gz
                   DEPENDS ${PACKAGE_DOC_DIR}/changelog)
add_custom_target(package_doc ALL DEPENDS ${PACKAGE_DOC_DIR}/changelog.gz)
install(FILES ${PACKAGE_DOC_DIR}/copyright ${PACKAGE_DOC_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tnlrelay)

# What lintian says of this package that is so by design, each with its reason.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/tnlrelay.lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME tnlrelay)

# The manual page, compressed as Debian wants it.
add_custom_command(OUTPUT ${PACKAGE_DOC_DIR}/tnlrelay.1.gz
                   COMMAND gzip -n -9 -c ${CMAKE_CURRENT_LIST_DIR}/tnlrelay.1 > ${PACKAGE_DOC_DIR}/tnlrelay.1.gz
                   DEPENDS ${CMAKE_CURRENT_LIST_DIR}/tnlrelay.1)
add_custom_target(package_man ALL DEPENDS ${PACKAGE_DOC_DIR}/tnlrelay.1.gz)
install(FILES ${PACKAGE_DOC_DIR}/tnlrelay.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tnlrelay)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "tnlrelay maintainers <maintainers@tnlrelay.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "multiplayer relay server for games")
set(CPACK_PACKAGE_DESCRIPTION
    "Game clients list rooms over HTTP and join them over WebSocket; every\n\
message a member sends is relayed to the other members of its room. A\n\
loopback-only admin page shows rooms, players, bans and the log with live\n\
charts, and serves Prometheus metrics.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
# The package manages its unit as Debian's own services do: enabled and started on install,
# restarted on upgrade, stopped on removal, masked until purged, its data deleted on purge.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/postinst
    ${CMAKE_CURRENT_LIST_DIR}/prerm ${CMAKE_CURRENT_LIST_DIR}/postrm)
# The scripts call deb-systemd-helper and deb-systemd-invoke, which come from here.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "init-system-helpers (>= 1.54~)")
# Directories owned by the base system are not the package's to set permissions on.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
