# SPDX-License-Identifier: Apache-2.0
# A layer sees other layers only through their include roots; a quoted
# include that climbs out of its folder ("../../engine/...") would reach any
# file of the tree past them. Fails naming every such include under the
# FOLDERS of ROOT.
set(found "")
foreach(folder ${FOLDERS})
  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${ROOT}
       ${ROOT}/${folder}/*.cpp ${ROOT}/${folder}/*.hpp ${ROOT}/${folder}/*.h ${ROOT}/${folder}/*.c)
  foreach(file ${files})
    file(STRINGS ${ROOT}/${file} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"]*\\.\\./")
    foreach(line ${lines})
      string(STRIP "${line}" line)
      list(APPEND found "${file}: ${line}")
    endforeach()
  endforeach()
endforeach()
if(found)
  list(JOIN found "\n  " text)
  message(FATAL_ERROR "an include leaves its folder; name the layer's own root instead:\n  ${text}")
endif()
message(STATUS "no include leaves its folder")
