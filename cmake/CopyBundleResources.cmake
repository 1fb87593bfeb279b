# Run with cmake -P at build time: copies a bundle's resource folder (SOURCE) into the built
# bundle (CONTENTS, its Contents folder): Info.plist beside Resources, everything else into it.
# Only changed files are copied; a file removed from SOURCE stays in the copy until a clean build,
# since other build steps may put files of their own into Resources.
foreach(_var SOURCE CONTENTS)
  if(NOT DEFINED ${_var})
    message(FATAL_ERROR "CopyBundleResources: ${_var} is not set")
  endif()
endforeach()

file(MAKE_DIRECTORY "${CONTENTS}/Resources")
file(GLOB _entries LIST_DIRECTORIES true RELATIVE "${SOURCE}" "${SOURCE}/*")
foreach(_entry IN LISTS _entries)
  if(_entry MATCHES "\\.in$")
    # Inputs of build steps that write their results into Resources themselves.
  elseif(_entry STREQUAL "Info.plist")
    file(COPY_FILE "${SOURCE}/Info.plist" "${CONTENTS}/Info.plist" ONLY_IF_DIFFERENT)
  else()
    file(COPY "${SOURCE}/${_entry}" DESTINATION "${CONTENTS}/Resources")
  endif()
endforeach()
