# cmake -P cmake/release.cmake
#
# Builds every release artifact of each platform from this source, each by
# its workflow preset (CMakePresets.json), into build/release-artifacts, and
# writes SHA256SUMS beside them, which `sha256sum -c SHA256SUMS` checks. The
# folder holds nothing else: whatever an earlier release left is removed
# first. The same commit gives the same bytes wherever it is built.
#
# Signed where the environment asks for it (cmake/signing.cmake): the Windows
# executables and the installer with XMLSTAMP_SIGN_PKCS12 (and
# XMLSTAMP_SIGN_PASSWORD_FILE), SHA256SUMS with XMLSTAMP_GPG_KEY, which
# writes SHA256SUMS.asc. The keys are checked before anything is built.
cmake_minimum_required(VERSION 3.25)
get_filename_component(source "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(artifacts "${source}/build/release-artifacts")
include("${source}/cmake/source-date-epoch.cmake")
include("${source}/cmake/signing.cmake")

if(NOT DEFINED ENV{CMAKE_BUILD_PARALLEL_LEVEL})
  cmake_host_system_information(RESULT cores QUERY NUMBER_OF_LOGICAL_CORES)
  set(ENV{CMAKE_BUILD_PARALLEL_LEVEL} "${cores}")
endif()
file(REMOVE_RECURSE "${artifacts}")
# One time for every package and signature, and the keys' files by paths
# that hold in any folder the builds run in.
source_date_epoch("${source}")
foreach(variable IN ITEMS XMLSTAMP_SIGN_PKCS12 XMLSTAMP_SIGN_PASSWORD_FILE)
  if(NOT "$ENV{${variable}}" STREQUAL "")
    get_filename_component(path "$ENV{${variable}}" ABSOLUTE)
    set(ENV{${variable}} "${path}")
  endif()
endforeach()
code_signing_requested(code_signing)
set(unsigned "")
if(code_signing)
  check_code_signing()
else()
  list(APPEND unsigned "the Windows executables and the installer (XMLSTAMP_SIGN_PKCS12)")
endif()
if("$ENV{XMLSTAMP_GPG_KEY}" STREQUAL "")
  list(APPEND unsigned "SHA256SUMS (XMLSTAMP_GPG_KEY)")
else()
  check_openpgp_key()
endif()
if(unsigned)
  list(JOIN unsigned " and " unsigned)
  message(STATUS "Not signed, as nothing asks for it: ${unsigned}; docs/development.md says how to sign")
endif()

foreach(preset IN ITEMS release-linux release-linux-arm64 release-windows)
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
if(NOT "$ENV{XMLSTAMP_GPG_KEY}" STREQUAL "")
  sign_with_openpgp("${artifacts}/SHA256SUMS")
endif()
message(STATUS "== ${artifacts}\n${sums}")
