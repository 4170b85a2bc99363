# Install rules and the Debian package (cpack -G DEB, or the "package" target).
#
# cmake --install puts the programs, the example configuration, the man page, the systemd unit
# and the package documentation under CMAKE_INSTALL_PREFIX; the package is that tree with
# prefix /usr plus the maintainer scripts, which create the kormlink user and its data folder.

include(GNUInstallDirs)

set(KORMLINK_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})
# Folders the install creates are rwxr-xr-x whatever the umask of whoever builds the package.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(KORMLINK_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/kormlink)

# The server and its field simulators, which an operator uses to try an installation, go on
# the command path. The benchmark, the soak test and the abuse probe load or attack a server:
# they go to a folder of their own, run by their full path by whoever means to, and find the
# server and the simulators from there.
install(TARGETS kormlink rptsim monsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS klbench klsoak klabuse RUNTIME DESTINATION ${KORMLINK_TOOLS_INSTALL_DIR})

# The example configuration: the package's postinst copies it into the data folder once.
install(FILES examples/Kormlink.ini examples/repeater-config.hex
        DESTINATION ${CMAKE_INSTALL_DATADIR}/kormlink)

# The standby pair's keepalived example, its notify script and health check: examples, active
# only once an operator copies keepalived.conf and kormlink-ha.conf into /etc.
install(FILES packaging/ha/keepalived.conf packaging/ha/kormlink-ha.conf
              packaging/ha/kormlink-ha.service.conf
        DESTINATION ${CMAKE_INSTALL_DATADIR}/kormlink/ha)
install(PROGRAMS packaging/ha/kormlink-ha-notify packaging/ha/kormlink-ha-check
        DESTINATION ${CMAKE_INSTALL_DATADIR}/kormlink/ha)

# Debian wants the man pages and the changelog compressed with gzip -9n (no name, no timestamp,
# so the package's bytes do not depend on when it was built). Every program in /usr/bin has one.
find_program(KORMLINK_GZIP gzip REQUIRED)
set(kormlink_pkg_out ${CMAKE_BINARY_DIR}/packaging)
set(kormlink_pages kormlink.8 rptsim.1 monsim.1)
set(kormlink_compressed "")
foreach(page IN LISTS kormlink_pages ITEMS changelog)
    set(target_name ${page})
    if(page STREQUAL changelog)
        set(target_name changelog.Debian)
    endif()
    add_custom_command(
        OUTPUT ${kormlink_pkg_out}/${target_name}.gz
        COMMAND ${CMAKE_COMMAND} -E make_directory ${kormlink_pkg_out}
        COMMAND ${CMAKE_COMMAND} -E copy ${KORMLINK_PACKAGING_DIR}/${page} ${kormlink_pkg_out}/${target_name}
        COMMAND ${KORMLINK_GZIP} -9nf ${kormlink_pkg_out}/${target_name}
        DEPENDS ${KORMLINK_PACKAGING_DIR}/${page}
        COMMENT "Compressing ${target_name}"
        VERBATIM)
    list(APPEND kormlink_compressed ${kormlink_pkg_out}/${target_name}.gz)
endforeach()
add_custom_target(kormlink_package_docs ALL DEPENDS ${kormlink_compressed})

install(FILES ${kormlink_pkg_out}/kormlink.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${kormlink_pkg_out}/rptsim.1.gz ${kormlink_pkg_out}/monsim.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${KORMLINK_PACKAGING_DIR}/copyright ${kormlink_pkg_out}/changelog.Debian.gz
        DESTINATION ${KORMLINK_DOC_DIR})
install(FILES ${KORMLINK_PACKAGING_DIR}/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME kormlink)

# The unit goes where Debian 12's systemd looks for packaged units: /lib/systemd/system for
# the prefix /usr (or /), <prefix>/lib/systemd/system for any other prefix, so that
# "cmake --install build --prefix /tmp/x" stays inside /tmp/x. The prefix is only known at
# install time, hence the install script; file(INSTALL) adds DESTDIR and records the file in
# the install manifest like the rules above.
install(CODE "
    if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\" OR CMAKE_INSTALL_PREFIX STREQUAL \"/\")
        set(_kormlink_unit_dir \"/lib/systemd/system\")
    else()
        set(_kormlink_unit_dir \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\")
    endif()
    file(INSTALL DESTINATION \"\${_kormlink_unit_dir}\" TYPE FILE
         FILES \"${KORMLINK_PACKAGING_DIR}/kormlink.service\")
")

# --- The Debian package --------------------------------------------------------------------

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kormlink)
set(CPACK_PACKAGE_VENDOR "Kormlink developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Kormlink developers <kormlink@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "relay server for a radio alarm network")
set(CPACK_PACKAGE_DESCRIPTION
"Kormlink is the relay server of a radio alarm network. Repeaters report
their events to it over TCP (one may also hang on a serial port); it
acknowledges every event line, writes daily logs and passes each event
through store-and-forward queues, journaled so that an acknowledged event
survives a crash, to monitoring-station software on its output port or
a serial line.

It runs with a desktop window, or headless as a system service with a
console on standard input. The package also holds the field simulators
rptsim and monsim, and, outside the command path in /usr/lib/kormlink,
the soak test klsoak, the abuse probe klabuse and the benchmark klbench.")
# Binaries without their debug sections: the package is what runs in the field.
set(CPACK_STRIP_FILES ON)
# Absolute install destinations (the unit in /lib/systemd/system) need the DESTDIR way of
# staging the package tree.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)

set(CPACK_DEBIAN_PACKAGE_NAME kormlink)
# The Debian revision: packaging/changelog starts with the entry for <version>-<revision>.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The architecture is left to CPackDeb, which asks dpkg --print-architecture.
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Kormlink developers <kormlink@localhost>")
# dpkg-shlibdeps adds the libraries the programs link (Qt, libstdc++, libc, libsystemd);
# adduser is for the postinst. The maintainer scripts' deb-systemd-helper and deb-systemd-invoke
# are in init-system-helpers, an essential package: always there, never named.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${KORMLINK_PACKAGING_DIR}/postinst
    ${KORMLINK_PACKAGING_DIR}/prerm
    ${KORMLINK_PACKAGING_DIR}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
