# SPDX-License-Identifier: Apache-2.0
# A shipped Windows file (FILE) is as a deployer needs it: it claims Windows
# 6.0 as its oldest system, holds no debug information (that is in
# FILE.debug, which it names), and carries a version resource with the
# product, its DESCRIPTION and VERSION.
execute_process(COMMAND ${OBJDUMP} -p -h ${FILE} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${FILE}")
endif()
foreach(field MajorOSystemVersion MajorSubsystemVersion)
  if(NOT dump MATCHES "${field}[ \t]+6\n")
    string(REGEX MATCH "${field}[^\n]*" found "${dump}")
    message(FATAL_ERROR "${FILE}: ${found}, not 6")
  endif()
endforeach()
if(dump MATCHES "\\.debug_info")
  message(FATAL_ERROR "${FILE} still holds its debug information")
endif()
if(NOT dump MATCHES "\\.gnu_debuglink" OR NOT EXISTS ${FILE}.debug)
  message(FATAL_ERROR "${FILE} does not name ${FILE}.debug")
endif()
# The resource's texts are UTF-16LE, each ended by a NUL.
file(READ ${FILE} bytes HEX)
foreach(text "Talvenix" "${DESCRIPTION}" "${VERSION}" "Talvenix maintainers")
  string(HEX "${text}" hex)
  string(REGEX REPLACE "(..)" "\\100" hex "${hex}")
  string(FIND "${bytes}" "${hex}0000" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${FILE}: the version resource lacks \"${text}\"")
  endif()
endforeach()
message(STATUS "${FILE}: Windows 6.0, stripped, version ${VERSION}")
