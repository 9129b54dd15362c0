# SPDX-License-Identifier: Apache-2.0
# The Debian package, made by `cpack -G DEB` from the install rules
# (scripts/package). Dependencies come from the binaries' shared libraries.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME talvenix)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Talvenix developers")
# The identity the team commits with; no project web site exists, so no
# Homepage field.
set(TALVENIX_MAINTAINER "Talvenix maintainers <maintainers@users.noreply.c-seed-c1bcde03.example>")
set(CPACK_PACKAGE_CONTACT "${TALVENIX_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TALVENIX_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "SMS gateway module and daemon with an HTTP API")
# The long description; CPack indents it and puts the summary line above it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Talvenix is the SMS module that a messaging server loads: one shared library
with thirteen plain C exports. It reads qvsmscomms.xml, drives the selected
gateway (GSM modem lines through an AT-command driver, e-mail to SMS, HTTP
and SOAP providers, a network SMS device, or a null gateway for trials),
splits long texts and reports outcomes and incoming messages to the host.

talvenixd runs the module as a systemd service: an HTTP API that accepts
messages into a durable queue and sends each at most once, signed webhooks
for outcomes, status reports and incoming messages, Kannel-style sendsms
URLs, a status page and Prometheus metrics.

This package also holds the talvenix command for trying and configuring the
module, the public C headers with pkg-config and CMake files for hosts, the
man pages and example configurations.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The maintainer scripts use deb-systemd-helper and deb-systemd-invoke.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "init-system-helpers (>= 1.54~)")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/packaging/debian/conffiles ${CMAKE_SOURCE_DIR}/packaging/debian/postinst
    ${CMAKE_SOURCE_DIR}/packaging/debian/prerm ${CMAKE_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The module's own libraries (the SOAP binding) live in its private folder.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
