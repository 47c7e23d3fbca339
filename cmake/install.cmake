# The version is project()'s alone. NEWS.md says what each version changed,
# the latest first, each under its own heading.
file(READ NEWS.md news)
string(REGEX MATCH "\n## ([0-9][^\n]*)" match "${news}")
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "NEWS.md: its latest version is \"${CMAKE_MATCH_1}\"; "
                      "add a heading \"## ${PROJECT_VERSION}\" above it, with what changed")
endif()

# Installing, the CMake package that find_package(xmlstamp) loads, and the
# packages that cpack builds: a .deb and a .tar.gz on Linux, a .zip and an
# installer (installer/) for Windows. Every installed path is relative to the
# prefix, so an installed tree or an unpacked archive may be moved anywhere.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

if(WIN32)
  # Whoever opens the .zip sees the README and the licence first.
  set(doc_dir .)
else()
  set(doc_dir ${CMAKE_INSTALL_DOCDIR})
endif()
set(package_dir ${CMAKE_INSTALL_DATADIR}/cmake/xmlstamp)

install(TARGETS xmlstamp xmlstamp-verify EXPORT xmlstamp-targets RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# Stripped as Debian strips: without the compilers' names in .comment too.
set(installed "\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}")
install(CODE "if(CMAKE_INSTALL_DO_STRIP)
  execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment \"${installed}/$<TARGET_FILE_NAME:xmlstamp>\"
                          \"${installed}/$<TARGET_FILE_NAME:xmlstamp-verify>\" COMMAND_ERROR_IS_FATAL ANY)
endif()")
# The .deb carries the documents in Debian's form instead (cmake/cpack-options.cmake).
# The README links to docs/ and NEWS.md, which go beside it.
install(FILES README.md NEWS.md LICENSE DESTINATION ${doc_dir} COMPONENT docs)
install(DIRECTORY docs/ DESTINATION ${doc_dir}/docs COMPONENT docs FILES_MATCHING PATTERN "*.md")
if(WIN32)
  # A double click starts the tool in its own folder, where it reads
  # data/tovra.xml and writes out/tovra.xml: the unpacked .zip has both.
  install(FILES data/tovra.xml DESTINATION ${CMAKE_INSTALL_BINDIR}/data)
  install(DIRECTORY DESTINATION ${CMAKE_INSTALL_BINDIR}/out)
endif()

install(EXPORT xmlstamp-targets NAMESPACE xmlstamp:: FILE xmlstampTargets.cmake DESTINATION ${package_dir})
configure_package_config_file(cmake/xmlstampConfig.cmake.in xmlstampConfig.cmake INSTALL_DESTINATION ${package_dir})
# Executables serve a build of any architecture, a 32-bit firmware build too.
write_basic_package_version_file(xmlstampConfigVersion.cmake COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/xmlstampConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/xmlstampConfigVersion.cmake
        DESTINATION ${package_dir})

if(NOT WIN32)
  find_program(GZIP_PROGRAM gzip REQUIRED)
  set(plain)
  foreach(page IN ITEMS xmlstamp.1 xmlstamp-verify.1)
    configure_file(man/${page}.in man/${page} @ONLY)
    list(APPEND plain ${CMAKE_CURRENT_BINARY_DIR}/man/${page})
  endforeach()
  list(APPEND plain ${PROJECT_SOURCE_DIR}/cmake/debian/changelog)
  file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/gz/docs)
  set(compressed)
  foreach(source IN LISTS plain)
    get_filename_component(name ${source} NAME)
    set(output ${CMAKE_CURRENT_BINARY_DIR}/gz/${name}.gz)
    # -n keeps the name and the time out of the header: the bytes repeat.
    add_custom_command(OUTPUT ${output} COMMAND ${GZIP_PROGRAM} -9nc ${source} > ${output} DEPENDS ${source} VERBATIM)
    list(APPEND compressed ${output})
  endforeach()
  # The documents of the .deb, whose links name each other's compressed files.
  file(GLOB docs RELATIVE ${PROJECT_SOURCE_DIR} CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
  set(deb_docs)
  foreach(doc IN ITEMS README.md NEWS.md ${docs})
    set(output ${CMAKE_CURRENT_BINARY_DIR}/gz/${doc}.gz)
    set(script ${PROJECT_SOURCE_DIR}/cmake/debian/compress-doc.cmake)
    add_custom_command(OUTPUT ${output}
                       COMMAND ${CMAKE_COMMAND} -DSOURCE=${PROJECT_SOURCE_DIR}/${doc} -DOUTPUT=${output}
                               -DGZIP=${GZIP_PROGRAM} -P ${script}
                       DEPENDS ${PROJECT_SOURCE_DIR}/${doc} ${script} VERBATIM)
    list(APPEND compressed ${output})
    if(doc MATCHES "^docs/")
      list(APPEND deb_docs ${output})
    endif()
  endforeach()
  add_custom_target(compressed_docs ALL DEPENDS ${compressed})
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/gz/xmlstamp.1.gz ${CMAKE_CURRENT_BINARY_DIR}/gz/xmlstamp-verify.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  include(cmake/debian/debian.cmake)
endif()

set(CPACK_PACKAGE_VENDOR "The xmlstamp authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "xmlstamp writes the trailer that a device checks before it trusts an XML\n"
       "configuration file: it cuts off an old trailer, adds up the bytes of the\n"
       "content and appends a new trailer with the sum. xmlstamp-verify tells\n"
       "whether files carry the right stamp. A CMake package, found with\n"
       "find_package(xmlstamp), stamps configuration files as a build step.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/cpack-options.cmake)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  include(installer/installer.cmake)
else()
  set(CPACK_GENERATOR DEB TGZ)
  # Each names its processor: the .tar.gz as `uname -m` does, the .deb as
  # Debian does, for the machine the tools are built for.
  set(CPACK_SYSTEM_NAME "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}")
  if(CMAKE_CROSSCOMPILING)
    execute_process(COMMAND dpkg-architecture -t "${CMAKE_LIBRARY_ARCHITECTURE}" -q DEB_HOST_ARCH
                    OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
      message(STATUS "No .deb: it needs dpkg-architecture to name its architecture (apt-get install -y dpkg-dev)")
      set(CPACK_GENERATOR TGZ)
    endif()
  endif()
endif()
# Every package has the same bytes wherever and whenever it is built: cpack
# fixes the modes and times of what it stages, then writes the archives again
# in a fixed order (cmake/reproducible.py).
find_package(Python3 QUIET COMPONENTS Interpreter)
set(CPACK_XMLSTAMP_PYTHON "${Python3_EXECUTABLE}")
set(CPACK_XMLSTAMP_SOURCE_DIR "${PROJECT_SOURCE_DIR}")
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/cpack-stage.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/cpack-archives.cmake)
include(CPack)
