# Installing, and the CMake package that find_package(xmlstamp) loads. Every
# installed path is relative to the prefix, so an installed tree may be moved
# anywhere.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

if(WIN32)
  # Whoever opens the folder sees the README and the licence first.
  set(doc_dir .)
else()
  set(doc_dir ${CMAKE_INSTALL_DOCDIR})
endif()
set(package_dir ${CMAKE_INSTALL_DATADIR}/cmake/xmlstamp)

install(TARGETS xmlstamp xmlstamp-verify EXPORT xmlstamp-targets RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES README.md DESTINATION ${doc_dir})
install(FILES LICENSE DESTINATION ${doc_dir})

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
  file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/gz)
  set(compressed)
  foreach(source IN LISTS plain)
    get_filename_component(name ${source} NAME)
    set(output ${CMAKE_CURRENT_BINARY_DIR}/gz/${name}.gz)
    # -n keeps the name and the time out of the header: the bytes repeat.
    add_custom_command(OUTPUT ${output} COMMAND ${GZIP_PROGRAM} -9nc ${source} > ${output} DEPENDS ${source} VERBATIM)
    list(APPEND compressed ${output})
  endforeach()
  add_custom_target(compressed_docs ALL DEPENDS ${compressed})
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/gz/xmlstamp.1.gz ${CMAKE_CURRENT_BINARY_DIR}/gz/xmlstamp-verify.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
