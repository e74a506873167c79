# Installs an operator's configuration file only where none exists. Where one
# exists and differs, it is left alone and the new one goes beside it as
# NAME.dist, with a line saying so. Used by install(CODE) with
#   qv_install_config(SOURCE DESTINATION_FOLDER PERMISSIONS...)
function(qv_install_config source destination)
  get_filename_component(name "${source}" NAME)
  set(target "$ENV{DESTDIR}${destination}/${name}")
  if(EXISTS "${target}")
    file(SHA256 "${source}" new_hash)
    file(SHA256 "${target}" old_hash)
    if(NOT new_hash STREQUAL old_hash)
      file(INSTALL "${source}" DESTINATION "${destination}" RENAME "${name}.dist" PERMISSIONS ${ARGN})
      message(STATUS "Kept ${destination}/${name}, which differs from this release's; the new one is ${destination}/${name}.dist")
      set(CMAKE_INSTALL_MANIFEST_FILES ${CMAKE_INSTALL_MANIFEST_FILES} PARENT_SCOPE)
      return()
    endif()
  endif()
  file(INSTALL "${source}" DESTINATION "${destination}" PERMISSIONS ${ARGN})
  # install_manifest.txt lists what file(INSTALL) did in the caller's scope.
  set(CMAKE_INSTALL_MANIFEST_FILES ${CMAKE_INSTALL_MANIFEST_FILES} PARENT_SCOPE)
endfunction()
