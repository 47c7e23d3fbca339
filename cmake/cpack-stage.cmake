# Run by cpack for each package once its files are staged, before they are
# packed: the Windows executables are signed where the environment asks for
# it (cmake/signing.cmake); then every staged file and folder gets the mode
# 0755 or 0644 and the time of SOURCE_DATE_EPOCH (cmake/cpack-options.cmake),
# whatever the umask and the time of the build. For the installer it also
# writes the lists of what to install and what to remove, sorted, and what
# signs the uninstaller and the installer.
if(NOT CPACK_XMLSTAMP_PYTHON)
  message(FATAL_ERROR "Packaging needs Python 3, to give the packages the same bytes wherever they are built "
                      "(apt-get install -y python3)")
endif()
include("${CPACK_XMLSTAMP_SOURCE_DIR}/cmake/signing.cmake")
code_signing_requested(signing)
if(signing)
  file(GLOB_RECURSE executables "${CPACK_TEMPORARY_DIRECTORY}/*.exe")
  sign_executables(${executables})
endif()
execute_process(COMMAND "${CPACK_XMLSTAMP_PYTHON}" "${CPACK_XMLSTAMP_SOURCE_DIR}/cmake/reproducible.py" stage
                        "${CPACK_TEMPORARY_DIRECTORY}" "$ENV{SOURCE_DATE_EPOCH}" COMMAND_ERROR_IS_FATAL ANY)
if(CPACK_GENERATOR STREQUAL "NSIS64")
  include("${CPACK_XMLSTAMP_SOURCE_DIR}/installer/file-lists.cmake")
endif()
