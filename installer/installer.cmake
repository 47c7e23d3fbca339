# The Windows installer, which cpack makes with NSIS (cpack -G NSIS64) from
# the tree of the .zip; installer/NSIS.template.in is its script. It carries
# path-entry.exe, built here, which puts the tools' folder on the system PATH
# and takes it off again.
find_program(MAKENSIS_PROGRAM makensis)
if(NOT MAKENSIS_PROGRAM)
  message(STATUS "No installer: it needs makensis (apt-get install -y nsis)")
  return()
endif()

add_executable(path-entry ${CMAKE_CURRENT_LIST_DIR}/path-entry-win32.cpp)
target_link_options(path-entry PRIVATE -municode $<$<CONFIG:Release>:-s>)
set_target_properties(path-entry PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/installer)

# NSIS's own plug-ins, which a signed installer carries signed too.
execute_process(COMMAND "${MAKENSIS_PROGRAM}" -HDRINFO OUTPUT_VARIABLE info)
string(REGEX MATCH "NSISDIR=([^,\n]*)" match "${info}")
set(CPACK_XMLSTAMP_NSIS_PLUGINS "${CMAKE_MATCH_1}/Plugins/amd64-unicode")

list(APPEND CPACK_GENERATOR NSIS64)
set(CPACK_MODULE_PATH ${CMAKE_CURRENT_LIST_DIR})
set(CPACK_XMLSTAMP_PATH_ENTRY ${CMAKE_CURRENT_BINARY_DIR}/installer/path-entry.exe)
# From LICENSE, as the executables' version resources have it.
set(CPACK_XMLSTAMP_COPYRIGHT "${copyright}")
