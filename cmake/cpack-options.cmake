# Read by cpack once for each generator.

# Every time that a package records is SOURCE_DATE_EPOCH.
include("${CMAKE_CURRENT_LIST_DIR}/source-date-epoch.cmake")
source_date_epoch("${CPACK_XMLSTAMP_SOURCE_DIR}")

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
