# Included by cmake/cpack-stage.cmake for the installer: writes what
# installer/NSIS.template.in includes, the commands that install the staged
# tree and those that remove it again, in sorted order wherever the build
# runs. Folders are removed only when empty, the deepest first.
file(GLOB_RECURSE entries LIST_DIRECTORIES true RELATIVE "${CPACK_TEMPORARY_DIRECTORY}"
     "${CPACK_TEMPORARY_DIRECTORY}/*")
set(install "")
set(remove_files "")
set(remove_folders "")
# NSIS reads a $ in a name as the start of a variable, $$ as a $.
string(REPLACE "$" "$$" staged "${CPACK_TEMPORARY_DIRECTORY}")
foreach(entry IN LISTS entries)
  string(REPLACE "$" "$$" source "${entry}")
  string(REPLACE "/" "\\" name "${source}")
  if(IS_DIRECTORY "${CPACK_TEMPORARY_DIRECTORY}/${entry}")
    string(APPEND install "CreateDirectory \"$INSTDIR\\${name}\"\n")
    string(PREPEND remove_folders "RMDir \"$INSTDIR\\${name}\"\n")
  else()
    string(APPEND install "File \"/oname=$INSTDIR\\${name}\" \"${staged}/${source}\"\n")
    string(APPEND remove_files "Delete \"$INSTDIR\\${name}\"\n")
  endif()
endforeach()
file(WRITE "${CPACK_TOPLEVEL_DIRECTORY}/install-files.nsh" "${install}")
file(WRITE "${CPACK_TOPLEVEL_DIRECTORY}/uninstall-files.nsh" "${remove_files}${remove_folders}")
