# cmake -DMANIFEST=build/release/install_manifest.txt [-DPREFIX=/usr/local] -P cmake/Uninstall.cmake
# Removes every file and link an installation listed, below DESTDIR as it was installed, then the application's own folders once they are empty. Given the PREFIX of
# a real installation (DESTDIR empty), it brings the desktop's MIME and application caches up to
# date again.
if(NOT DEFINED MANIFEST OR NOT EXISTS "${MANIFEST}")
  message(FATAL_ERROR "no install manifest at '${MANIFEST}': nothing is known to be installed")
endif()

file(STRINGS "${MANIFEST}" _installed)
set(_folders)
foreach(_listed IN LISTS _installed)
  if(_listed STREQUAL "")
    continue()
  endif()
  set(_file "$ENV{DESTDIR}${_listed}")
  if(IS_SYMLINK "${_file}" OR EXISTS "${_file}")
    message(STATUS "Removing: ${_file}")
    file(REMOVE "${_file}")
  endif()
  # The application's folders go with it; shared ones (bin, share/man/man1, ...) stay.
  foreach(_own IN ITEMS lib/tessaro share/doc/tessaro)
    if(_file MATCHES "^(.*/${_own})/")
      list(APPEND _folders "${CMAKE_MATCH_1}")
    endif()
  endforeach()
endforeach()

list(REMOVE_DUPLICATES _folders)
foreach(_folder IN LISTS _folders)
  # Only folders left empty: anything else in them is not ours to remove.
  file(GLOB_RECURSE _left LIST_DIRECTORIES false "${_folder}/*")
  if(_left STREQUAL "" AND IS_DIRECTORY "${_folder}")
    message(STATUS "Removing: ${_folder}")
    file(REMOVE_RECURSE "${_folder}")
  endif()
endforeach()

if(DEFINED PREFIX AND "$ENV{DESTDIR}" STREQUAL "")
  find_program(_update_mime update-mime-database)
  find_program(_update_desktop update-desktop-database)
  if(_update_mime AND IS_DIRECTORY "${PREFIX}/share/mime")
    execute_process(COMMAND ${_update_mime} "${PREFIX}/share/mime")
  endif()
  if(_update_desktop AND IS_DIRECTORY "${PREFIX}/share/applications")
    execute_process(COMMAND ${_update_desktop} "${PREFIX}/share/applications")
  endif()
endif()
