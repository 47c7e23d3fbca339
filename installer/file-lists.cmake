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

# path-entry.exe goes in from beside the lists, signed like the tools. So do
# NSIS's plug-ins when the release is signed: a policy that admits only
# signed code checks each DLL that the installer unpacks and loads. makensis
# signs the uninstaller before it embeds it, and the installer once written,
# through the commands of signing.nsh, which sh runs.
file(COPY_FILE "${CPACK_XMLSTAMP_PATH_ENTRY}" "${CPACK_TOPLEVEL_DIRECTORY}/path-entry.exe")
set(finalize "")
if(signing)
  file(GLOB plugins "${CPACK_XMLSTAMP_NSIS_PLUGINS}/*.dll")
  if(NOT plugins)
    signing_failed("NSIS's plug-ins are not in \"${CPACK_XMLSTAMP_NSIS_PLUGINS}\"")
  endif()
  file(COPY ${plugins} DESTINATION "${CPACK_TOPLEVEL_DIRECTORY}/plugins"
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  file(GLOB plugins "${CPACK_TOPLEVEL_DIRECTORY}/plugins/*.dll")
  sign_executables("${CPACK_TOPLEVEL_DIRECTORY}/path-entry.exe" ${plugins})
  set(command "")
  foreach(word IN ITEMS "${CMAKE_COMMAND}" -P "${CPACK_XMLSTAMP_SOURCE_DIR}/cmake/signing.cmake")
    string(REPLACE "'" "'\"'\"'" word "${word}")
    string(APPEND command "'${word}' ")
  endforeach()
  string(APPEND finalize "!addplugindir /amd64-unicode \"${CPACK_TOPLEVEL_DIRECTORY}/plugins\"\n"
                         "!uninstfinalize `${command}'%1'` = 0\n!finalize `${command}'%1'` = 0\n")
endif()
file(WRITE "${CPACK_TOPLEVEL_DIRECTORY}/signing.nsh" "${finalize}")
