# The libraries of the Windows build. Debian ships none of them built for
# MinGW, so they are made here under the names the Linux build finds:
#   pugixml     compiled from Debian's source package, fetched into the build tree
#   libcurl     likewise: SMTP and SMTPS over Schannel, static (the e-mail gateway)
#   spdlog, fmt, nlohmann-json   header-only, through a folder of links to
#               their folders in /usr/include (never /usr/include itself, which
#               holds Linux headers the cross compiler must not see)
#   GoogleTest  compiled from /usr/src/googletest, for the tests

set(third_party ${CMAKE_BINARY_DIR}/third_party)

# pugixml: `apt-get source` once per build tree (scripts/deps win32 adds the
# deb-src line it needs).
set(pugixml_fetch ${third_party}/pugixml)
file(GLOB pugixml_dir LIST_DIRECTORIES true ${pugixml_fetch}/pugixml-*/src)
if(NOT pugixml_dir)
  file(MAKE_DIRECTORY ${pugixml_fetch})
  message(STATUS "Fetching Debian's pugixml source package into ${pugixml_fetch}")
  execute_process(COMMAND apt-get source -qq pugixml WORKING_DIRECTORY ${pugixml_fetch}
                  RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
  file(GLOB pugixml_dir LIST_DIRECTORIES true ${pugixml_fetch}/pugixml-*/src)
  if(NOT rc EQUAL 0 OR NOT pugixml_dir)
    message(FATAL_ERROR "apt-get source pugixml failed: run scripts/deps win32 first")
  endif()
endif()
add_library(talvenix_pugixml STATIC ${pugixml_dir}/pugixml.cpp)
target_include_directories(talvenix_pugixml SYSTEM PUBLIC ${pugixml_dir})
add_library(PkgConfig::PUGIXML ALIAS talvenix_pugixml)

# libcurl: `apt-get source` like pugixml, compiled without its configure
# step: curl's own Windows settings (lib/config-win32.h) and the defines below
# choose Schannel for TLS and SSPI for logins (both Windows' own, so no
# OpenSSL), leave out every protocol but SMTP, and every optional library.
# HTTP stays compiled in, unused: Debian's fix for over-long replies has the
# SMTP reply reader count lines with an HTTP function. Files of the protocols
# and TLS libraries left out compile to nothing.
set(curl_fetch ${third_party}/curl)
file(GLOB curl_dir LIST_DIRECTORIES true ${curl_fetch}/curl-*/lib)
if(NOT curl_dir)
  file(MAKE_DIRECTORY ${curl_fetch})
  message(STATUS "Fetching Debian's curl source package into ${curl_fetch}")
  execute_process(COMMAND apt-get source -qq curl WORKING_DIRECTORY ${curl_fetch}
                  RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
  file(GLOB curl_dir LIST_DIRECTORIES true ${curl_fetch}/curl-*/lib)
  if(NOT rc EQUAL 0 OR NOT curl_dir)
    message(FATAL_ERROR "apt-get source curl failed: run scripts/deps win32 first")
  endif()
endif()
get_filename_component(curl_root ${curl_dir} DIRECTORY)
file(GLOB curl_sources ${curl_root}/lib/*.c ${curl_root}/lib/vauth/*.c ${curl_root}/lib/vquic/*.c
                       ${curl_root}/lib/vtls/*.c)
add_library(talvenix_curl STATIC ${curl_sources})
target_include_directories(talvenix_curl SYSTEM PUBLIC ${curl_root}/include PRIVATE ${curl_root}/lib)
target_compile_definitions(talvenix_curl PUBLIC CURL_STATICLIB PRIVATE BUILDING_LIBCURL
  USE_SCHANNEL USE_WINDOWS_SSPI ENABLE_IPV6 CURL_DISABLE_PROXY CURL_DISABLE_COOKIES CURL_DISABLE_ALTSVC
  CURL_DISABLE_HSTS CURL_DISABLE_NETRC CURL_DISABLE_DICT CURL_DISABLE_FILE CURL_DISABLE_FTP CURL_DISABLE_GOPHER
  CURL_DISABLE_IMAP CURL_DISABLE_LDAP CURL_DISABLE_LDAPS CURL_DISABLE_MQTT CURL_DISABLE_POP3 CURL_DISABLE_RTSP
  CURL_DISABLE_SMB CURL_DISABLE_TELNET CURL_DISABLE_TFTP)
# Not our code: built as its makers build it, without our warnings.
target_compile_options(talvenix_curl PRIVATE -w)
target_link_libraries(talvenix_curl PUBLIC ws2_32 crypt32 secur32 bcrypt advapi32)
add_library(CURL::libcurl ALIAS talvenix_curl)

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
