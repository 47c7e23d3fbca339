# Read by cpack once for each generator. The .deb carries the licence in
# Debian's copyright file, next to Debian's changelog, and the README and
# docs/ compressed, as Debian keeps documents; the archives carry LICENSE,
# README.md and docs/ as they are.
if(CPACK_GENERATOR STREQUAL "DEB")
  list(GET CPACK_INSTALL_CMAKE_PROJECTS 0 build_dir)
  list(GET CPACK_INSTALL_CMAKE_PROJECTS 1 project)
  set(CPACK_INSTALL_CMAKE_PROJECTS "${build_dir};${project};Unspecified;/" "${build_dir};${project};deb;/")
endif()
