# SPDX-License-Identifier: Apache-2.0
# The Debian package, made by `cpack -G DEB` from the install rules
# (scripts/package). Dependencies come from the binaries' shared libraries.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME talvenix)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Talvenix developers")
set(CPACK_PACKAGE_CONTACT "Talvenix developers <developers@talvenix.example.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "SMS gateway module for messaging servers")
# The long description; CPack indents it and puts the summary line above it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Talvenix is the SMS module that a messaging server loads: one shared library
with thirteen plain C exports. It reads qvsmscomms.xml, drives the selected
gateway (GSM modem lines through an AT-command driver, e-mail to SMS, HTTP
and SOAP providers, a network SMS device, or a null gateway for trials),
splits long texts and reports outcomes and incoming messages to the host.

This package holds the module with its AT-command driver, the talvenix
command for trying and configuring it, the public C headers with pkg-config
and CMake files for hosts, the man pages and an example configuration.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The module's own libraries (the SOAP binding) live in its private folder.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
