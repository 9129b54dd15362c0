# SPDX-License-Identifier: Apache-2.0
# The libraries of the Windows build. Debian ships none of them built for
# MinGW, so they are made here under the names the Linux build finds:
#   pugixml     compiled from Debian's source package, fetched into the build tree
#   libcurl     likewise: SMTP and SMTPS over Schannel, static (the e-mail gateway)
#   gSOAP       its runtime (stdsoap2.cpp) likewise; soapcpp2 is the Linux one
#               from Debian's gsoap package, whose output is the same for
#               every platform
#   spdlog, fmt, nlohmann-json   header-only, through a folder of links to
#               their folders in /usr/include (never /usr/include itself, which
#               holds Linux headers the cross compiler must not see)
#   GoogleTest  compiled from /usr/src/googletest, for the tests

set(third_party ${CMAKE_BINARY_DIR}/third_party)

# 32-bit MinGW on MSVCRT gives time_t 32 bits unless __MINGW_USE_VC2005_COMPAT
# maps time, gmtime, mktime and the rest to their 64-bit forms. The runtimes
# below do their date and time-out arithmetic with time_t, so they get it, as
# private settings: it also widens struct timespec, which Debian's prebuilt
# threads library (and libstdc++'s inline waits over it) read with 32-bit
# seconds, so it must not reach our own C++ files. No time_t crosses from
# those into these runtimes: the SOAP binding has no dates, and we call none
# of curl's date functions.
set(time_t_64 __MINGW_USE_VC2005_COMPAT)

# Debian's source package `package` fetched with `apt-get source` once per
# build tree (scripts/deps win32 adds the deb-src line it needs); `out` is the
# folder of it that matches `pattern` (a glob under the package's folder).
function(talvenix_source_package package pattern out)
  set(fetch ${third_party}/${package})
  file(GLOB found LIST_DIRECTORIES true ${fetch}/${pattern})
  if(NOT found)
    file(MAKE_DIRECTORY ${fetch})
    message(STATUS "Fetching Debian's ${package} source package into ${fetch}")
    execute_process(COMMAND apt-get source -qq ${package} WORKING_DIRECTORY ${fetch}
                    RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
    file(GLOB found LIST_DIRECTORIES true ${fetch}/${pattern})
    if(NOT rc EQUAL 0 OR NOT found)
      message(FATAL_ERROR "apt-get source ${package} failed: run scripts/deps win32 first")
    endif()
  endif()
  set(${out} ${found} PARENT_SCOPE)
endfunction()

talvenix_source_package(pugixml "pugixml-*/src" pugixml_dir)
add_library(talvenix_pugixml STATIC ${pugixml_dir}/pugixml.cpp)
target_include_directories(talvenix_pugixml SYSTEM PUBLIC ${pugixml_dir})
add_library(PkgConfig::PUGIXML ALIAS talvenix_pugixml)

# libcurl, compiled without its configure step: curl's own Windows settings
# (lib/config-win32.h) and the defines below choose Schannel for TLS and SSPI
# for logins (both Windows' own, so no OpenSSL), leave out every protocol but
# SMTP, and every optional library. HTTP stays compiled in, unused: Debian's
# fix for over-long replies has the SMTP reply reader count lines with an HTTP
# function. Files of the protocols and TLS libraries left out compile to nothing.
talvenix_source_package(curl "curl-*/lib" curl_dir)
get_filename_component(curl_root ${curl_dir} DIRECTORY)
file(GLOB curl_sources ${curl_root}/lib/*.c ${curl_root}/lib/vauth/*.c ${curl_root}/lib/vquic/*.c
                       ${curl_root}/lib/vtls/*.c)
add_library(talvenix_curl STATIC ${curl_sources})
target_include_directories(talvenix_curl SYSTEM PUBLIC ${curl_root}/include PRIVATE ${curl_root}/lib)
target_compile_definitions(talvenix_curl PUBLIC CURL_STATICLIB PRIVATE ${time_t_64} BUILDING_LIBCURL
  USE_SCHANNEL USE_WINDOWS_SSPI ENABLE_IPV6 CURL_DISABLE_PROXY CURL_DISABLE_COOKIES CURL_DISABLE_ALTSVC
  CURL_DISABLE_HSTS CURL_DISABLE_NETRC CURL_DISABLE_DICT CURL_DISABLE_FILE CURL_DISABLE_FTP CURL_DISABLE_GOPHER
  CURL_DISABLE_IMAP CURL_DISABLE_LDAP CURL_DISABLE_LDAPS CURL_DISABLE_MQTT CURL_DISABLE_POP3 CURL_DISABLE_RTSP
  CURL_DISABLE_SMB CURL_DISABLE_TELNET CURL_DISABLE_TFTP)
# Not our code: built as its makers build it, without our warnings.
target_compile_options(talvenix_curl PRIVATE -w)
target_link_libraries(talvenix_curl PUBLIC ws2_32 crypt32 secur32 bcrypt advapi32)
add_library(CURL::libcurl ALIAS talvenix_curl)

# gSOAP's runtime without OpenSSL, zlib or the DOM: the MessageMedia gateway
# sends through WinHTTP (its own I/O callbacks), and its binding needs no DOM.
# The sockets remain for the tests' SOAP server.
talvenix_source_package(gsoap "gsoap-*/gsoap" gsoap_dir)
add_library(talvenix_gsoap_runtime STATIC ${gsoap_dir}/stdsoap2.cpp)
target_include_directories(talvenix_gsoap_runtime SYSTEM PUBLIC ${gsoap_dir})
target_compile_options(talvenix_gsoap_runtime PRIVATE -w)  # not our code to keep warning-free
# Without a global namespace table: the generated proxy and service classes
# install theirs on their own contexts.
target_compile_definitions(talvenix_gsoap_runtime PRIVATE ${time_t_64} WITH_NONAMESPACES)
target_link_libraries(talvenix_gsoap_runtime PUBLIC ws2_32)
# Its header brings in <windows.h>: without winuser.h, whose SendMessage macro
# would rename the gateway's own SendMessage.
target_compile_definitions(talvenix_gsoap_runtime PUBLIC WIN32_LEAN_AND_MEAN NOUSER)
find_program(SOAPCPP2 soapcpp2 REQUIRED)

# Header-only libraries through links to their own folders.
set(header_links ${third_party}/include)
file(MAKE_DIRECTORY ${header_links})
foreach(folder spdlog fmt nlohmann)
  if(NOT IS_DIRECTORY /usr/include/${folder})
    message(FATAL_ERROR "/usr/include/${folder} is missing: run scripts/deps win32")
  endif()
  if(NOT IS_SYMLINK ${header_links}/${folder})
    file(CREATE_LINK /usr/include/${folder} ${header_links}/${folder} SYMBOLIC)
  endif()
endforeach()
add_library(spdlog::spdlog INTERFACE IMPORTED)
target_include_directories(spdlog::spdlog SYSTEM INTERFACE ${header_links})
target_compile_definitions(spdlog::spdlog INTERFACE SPDLOG_HEADER_ONLY FMT_HEADER_ONLY)
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
target_include_directories(nlohmann_json::nlohmann_json SYSTEM INTERFACE ${header_links})

if(TALVENIX_TESTS)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  # Its own build names the targets GTest::gtest, GTest::gmock, GTest::gmock_main.
  add_subdirectory(/usr/src/googletest ${third_party}/googletest EXCLUDE_FROM_ALL SYSTEM)
endif()
