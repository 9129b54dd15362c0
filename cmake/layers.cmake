# SPDX-License-Identifier: Apache-2.0
# The build's shape: one static library per layer of the tree. A layer sees
# the headers of the layers it links and no others: each library's include
# root holds only its own folder (a link into the source tree), so a gateway
# that includes engine/ or another gateway fails to compile.

# Our warnings, for our own targets only (never for generated code).
add_library(talvenix_warnings INTERFACE)
target_compile_options(talvenix_warnings INTERFACE -Wall -Wextra -Werror)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  # GCC 12 reports false -Wrestrict overlaps inside std::string concatenation at -O2 and above.
  target_compile_options(talvenix_warnings INTERFACE -Wno-restrict)
endif()
if(WIN32)
  # MinGW's GCC checks format(printf) strings against MSVCRT's printf, which
  # knows no %zu; our formatter is our own, and the Linux build checks every
  # format string against its arguments.
  target_compile_options(talvenix_warnings INTERFACE -Wno-format)
endif()

# The public C headers: the host boundary and the GSM driver contract.
add_library(talvenix_headers INTERFACE)
target_include_directories(talvenix_headers INTERFACE ${CMAKE_SOURCE_DIR}/include)

# talvenix_include_root(TARGET FOLDER): TARGET's users, and TARGET itself,
# reach FOLDER (relative to the source tree) as "FOLDER/name.hpp".
function(talvenix_include_root target folder)
  set(root ${CMAKE_BINARY_DIR}/include_roots/${target})
  get_filename_component(parent ${root}/${folder} DIRECTORY)
  file(MAKE_DIRECTORY ${parent})
  if(NOT IS_SYMLINK ${root}/${folder})
    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${folder} ${root}/${folder} SYMBOLIC)
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${root})
  else()
    target_include_directories(${target} PUBLIC ${root})
  endif()
endfunction()

# talvenix_layer(TARGET FOLDER SOURCES...): the static library of one folder.
function(talvenix_layer target folder)
  add_library(${target} STATIC ${ARGN})
  talvenix_include_root(${target} ${folder})
  target_link_libraries(${target} PUBLIC talvenix_headers PRIVATE talvenix_warnings)
endfunction()
