# SPDX-License-Identifier: Apache-2.0
# What `cmake --install` puts where. The module lives in a folder of its own,
# $libdir/talvenix/, with the AT driver beside it (where the module looks
# first) and the SOAP binding it links (found through RUNPATH $ORIGIN). Test
# peers (the simulator driver, the device simulator) are never installed.

include(CMakePackageConfigHelpers)

install(TARGETS Talvenix talvenix_soap atdriver LIBRARY DESTINATION ${TALVENIX_INSTALL_MODULEDIR})
install(TARGETS talvenix RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY include/talvenix DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(TALVENIX_DAEMON)
  # The daemon, its systemd unit, and its settings as a conffile.
  install(TARGETS talvenixd RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  configure_file(daemon/talvenixd.service.in ${CMAKE_BINARY_DIR}/talvenixd.service @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/talvenixd.service DESTINATION lib/systemd/system)
  install(FILES daemon/talvenixd.ini DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/talvenix)
endif()

# The module's configuration for the null gateway that the package's postinst
# puts into the daemon's state folder on the first install (packaging/debian).
install(FILES examples/qvsmscomms.xml DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/talvenix)

set(talvenix_docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/talvenix)
install(FILES examples/qvsmscomms.xml DESTINATION ${talvenix_docdir}/examples)
install(FILES examples/host/host.c examples/host/CMakeLists.txt DESTINATION ${talvenix_docdir}/examples/host)
install(FILES packaging/copyright packaging/THIRD-PARTY-NOTICES.txt DESTINATION ${talvenix_docdir})

# Man pages and the package's change log, compressed as Debian keeps them.
function(talvenix_gzip source output destination)
  add_custom_command(OUTPUT ${output}
    COMMAND gzip -9n -c ${source} > ${output}
    DEPENDS ${source} VERBATIM)
  install(FILES ${output} DESTINATION ${destination})
  list(APPEND talvenix_gzipped ${output})
  set(talvenix_gzipped ${talvenix_gzipped} PARENT_SCOPE)
endfunction()
set(gz ${CMAKE_BINARY_DIR}/gz)
file(MAKE_DIRECTORY ${gz})
talvenix_gzip(${CMAKE_SOURCE_DIR}/docs/man/talvenix.1 ${gz}/talvenix.1.gz ${CMAKE_INSTALL_MANDIR}/man1)
talvenix_gzip(${CMAKE_SOURCE_DIR}/docs/man/talvenix-config.5 ${gz}/talvenix-config.5.gz ${CMAKE_INSTALL_MANDIR}/man5)
talvenix_gzip(${CMAKE_SOURCE_DIR}/docs/man/talvenixd.8 ${gz}/talvenixd.8.gz ${CMAKE_INSTALL_MANDIR}/man8)
talvenix_gzip(${CMAKE_SOURCE_DIR}/packaging/changelog ${gz}/changelog.Debian.gz ${talvenix_docdir})
add_custom_target(talvenix_compressed_docs ALL DEPENDS ${talvenix_gzipped})

# pkg-config: Cflags for the headers, moduledir for hosts that dlopen the module.
configure_file(packaging/talvenix.pc.in ${CMAKE_BINARY_DIR}/talvenix.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/talvenix.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# find_package(Talvenix): Talvenix::headers and TALVENIX_MODULE.
set(talvenix_cmakedir ${CMAKE_INSTALL_LIBDIR}/cmake/Talvenix)
configure_package_config_file(packaging/TalvenixConfig.cmake.in ${CMAKE_BINARY_DIR}/TalvenixConfig.cmake
  INSTALL_DESTINATION ${talvenix_cmakedir}
  PATH_VARS CMAKE_INSTALL_INCLUDEDIR TALVENIX_INSTALL_MODULEDIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/TalvenixConfigVersion.cmake COMPATIBILITY SameMajorVersion
                                 ARCH_INDEPENDENT)
install(FILES ${CMAKE_BINARY_DIR}/TalvenixConfig.cmake ${CMAKE_BINARY_DIR}/TalvenixConfigVersion.cmake
        DESTINATION ${talvenix_cmakedir})
