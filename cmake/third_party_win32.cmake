# The libraries of the Windows build. Debian ships none of them built for
# MinGW, so they are made here under the names the Linux build finds:
#   pugixml     compiled from Debian's source package, fetched into the build tree
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
