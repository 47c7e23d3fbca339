# Read by cpack once for each generator.

# Every time that a package records is SOURCE_DATE_EPOCH: as the environment
# gives it, else the time of the source's last commit, else, outside git, the
# time of the latest entry of the Debian changelog, as dpkg would take it.
if(NOT "$ENV{SOURCE_DATE_EPOCH}" MATCHES "^[0-9]*$")
  message(FATAL_ERROR "SOURCE_DATE_EPOCH is \"$ENV{SOURCE_DATE_EPOCH}\", not a number of seconds since 1970")
elseif("$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  execute_process(COMMAND git log -1 --format=%ct -- . WORKING_DIRECTORY "${CPACK_XMLSTAMP_SOURCE_DIR}"
                  OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT epoch MATCHES "^[0-9]+$")
    file(READ "${CPACK_XMLSTAMP_SOURCE_DIR}/cmake/debian/changelog" changelog)
    string(REGEX MATCH "\n -- [^\n]*>  ([^\n]+)" match "${changelog}")
    execute_process(COMMAND date -u -d "${CMAKE_MATCH_1}" +%s OUTPUT_VARIABLE epoch
                    OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  endif()
  set(ENV{SOURCE_DATE_EPOCH} "${epoch}")
endif()

# The .deb carries the licence in Debian's copyright file, next to Debian's
# changelog, and the README, NEWS and docs/ compressed, as Debian keeps
# documents; the other packages carry LICENSE, README.md, NEWS.md and docs/ as
# they are.
if(CPACK_GENERATOR STREQUAL "DEB")
  list(GET CPACK_INSTALL_CMAKE_PROJECTS 0 build_dir)
  list(GET CPACK_INSTALL_CMAKE_PROJECTS 1 project)
  set(CPACK_INSTALL_CMAKE_PROJECTS "${build_dir};${project};Unspecified;/" "${build_dir};${project};deb;/")
endif()

# The installer installs the whole tree of the .zip as one, and is called
# what it is.
if(CPACK_GENERATOR STREQUAL "NSIS64")
  set(CPACK_MONOLITHIC_INSTALL ON)
  set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_FILE_NAME}-setup")
endif()
