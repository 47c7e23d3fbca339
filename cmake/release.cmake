# cmake -P cmake/release.cmake
#
# Builds every release artifact of both platforms from this source, each by
# its workflow preset (CMakePresets.json), into build/release-artifacts, and
# writes SHA256SUMS beside them, which `sha256sum -c SHA256SUMS` checks. The
# folder holds nothing else: whatever an earlier release left is removed
# first. The same commit gives the same bytes wherever it is built.
cmake_minimum_required(VERSION 3.25)
get_filename_component(source "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(artifacts "${source}/build/release-artifacts")

if(NOT DEFINED ENV{CMAKE_BUILD_PARALLEL_LEVEL})
  cmake_host_system_information(RESULT cores QUERY NUMBER_OF_LOGICAL_CORES)
  set(ENV{CMAKE_BUILD_PARALLEL_LEVEL} "${cores}")
endif()
file(REMOVE_RECURSE "${artifacts}")
foreach(preset IN ITEMS release-linux release-windows)
  message(STATUS "== ${preset}")
  execute_process(COMMAND "${CMAKE_COMMAND}" --workflow --preset ${preset} --fresh WORKING_DIRECTORY "${source}"
                  COMMAND_ERROR_IS_FATAL ANY)
endforeach()
# Where cpack staged the files.
file(REMOVE_RECURSE "${artifacts}/_CPack_Packages")

file(GLOB names RELATIVE "${artifacts}" "${artifacts}/*")
set(sums "")
foreach(name IN LISTS names)
  file(SHA256 "${artifacts}/${name}" sum)
  string(APPEND sums "${sum}  ${name}\n")
endforeach()
file(WRITE "${artifacts}/SHA256SUMS" "${sums}")
message(STATUS "== ${artifacts}\n${sums}")
