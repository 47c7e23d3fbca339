# What only the .deb holds, next to the files of every install: Debian's
# copyright file and changelog, the README, NEWS and docs/ compressed, and a
# word to lintian for a static build.

# The copyright file is LICENSE in Debian's format.
file(READ LICENSE license)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)\n\n(.*[^\n])" match "${license}")
set(holder "${CMAKE_MATCH_1}")
string(REPLACE "\n\n" "\n.\n" terms "${CMAKE_MATCH_2}")
string(REPLACE "\n" "\n " terms "${terms}")
configure_file(cmake/debian/copyright.in debian/copyright @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/debian/copyright ${CMAKE_CURRENT_BINARY_DIR}/gz/changelog.gz
              ${CMAKE_CURRENT_BINARY_DIR}/gz/README.md.gz ${CMAKE_CURRENT_BINARY_DIR}/gz/NEWS.md.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES ${deb_docs} DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs COMPONENT deb EXCLUDE_FROM_ALL)
install(CODE "set(readelf \"${CMAKE_READELF}\")\nset(bin_dir \"${CMAKE_INSTALL_BINDIR}\")" COMPONENT deb EXCLUDE_FROM_ALL)
install(SCRIPT cmake/debian/static-override.cmake COMPONENT deb EXCLUDE_FROM_ALL)

# The package's version and maintainer are those of the changelog's latest
# entry, as dpkg would have them.
file(READ cmake/debian/changelog changelog)
string(REGEX MATCH "^xmlstamp \\(([^)]*)\\)" match "${changelog}")
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "cmake/debian/changelog: its latest entry is for ${CMAKE_MATCH_1}; add one for ${PROJECT_VERSION}")
endif()
string(REGEX MATCH "\n -- ([^\n]*>)  " match "${changelog}")
set(CPACK_PACKAGE_CONTACT "${CMAKE_MATCH_1}")
