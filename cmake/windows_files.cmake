# SPDX-License-Identifier: Apache-2.0
# The Windows files as a deployer gets them: each shipped file carries a
# version resource, claims Windows Vista (6.0), which its imports need, as
# the oldest system it runs on, and keeps its debug information apart, in
# FILE.debug beside it (linked by name and checksum, for a debugger), so the
# file itself is small.
enable_language(RC)
add_link_options(-Wl,--major-subsystem-version,6,--minor-subsystem-version,0
                 -Wl,--major-os-version,6,--minor-os-version,0)

# talvenix_windows_file(TARGET DESCRIPTION): called in the target's own folder.
function(talvenix_windows_file target description)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set(file_type VFT_APP)
  else()
    set(file_type VFT_DLL)
  endif()
  set(rc ${CMAKE_BINARY_DIR}/version_resources/${target}.rc)
  file(GENERATE OUTPUT ${rc} CONTENT "#include <winver.h>
VS_VERSION_INFO VERSIONINFO
FILEVERSION ${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0
PRODUCTVERSION ${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0
FILEFLAGSMASK VS_FFI_FILEFLAGSMASK
FILEFLAGS 0
FILEOS VOS_NT_WINDOWS32
FILETYPE ${file_type}
FILESUBTYPE VFT2_UNKNOWN
BEGIN
  BLOCK \"StringFileInfo\"
  BEGIN
    BLOCK \"040904B0\"
    BEGIN
      VALUE \"CompanyName\", \"Talvenix maintainers\"
      VALUE \"FileDescription\", \"${description}\"
      VALUE \"FileVersion\", \"${PROJECT_VERSION}\"
      VALUE \"InternalName\", \"$<TARGET_FILE_BASE_NAME:${target}>\"
      VALUE \"LegalCopyright\", \"Talvenix maintainers; Apache License 2.0\"
      VALUE \"OriginalFilename\", \"$<TARGET_FILE_NAME:${target}>\"
      VALUE \"ProductName\", \"Talvenix\"
      VALUE \"ProductVersion\", \"${PROJECT_VERSION}\"
    END
  END
  BLOCK \"VarFileInfo\"
  BEGIN
    VALUE \"Translation\", 0x409, 1200
  END
END
")
  target_sources(${target} PRIVATE ${rc})
  set_target_properties(${target} PROPERTIES TALVENIX_DESCRIPTION "${description}")
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE_NAME:${target}> $<TARGET_FILE_NAME:${target}>.debug
    COMMAND ${CMAKE_OBJCOPY} --strip-all --add-gnu-debuglink=$<TARGET_FILE_NAME:${target}>.debug
            $<TARGET_FILE_NAME:${target}>
    WORKING_DIRECTORY $<TARGET_FILE_DIR:${target}>
    VERBATIM)
endfunction()
