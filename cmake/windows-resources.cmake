# Each Windows executable gets an application manifest (Windows 10 and 11,
# long paths) and a version resource from the project's version. Release
# builds are stripped: the symbols would more than double the size.
enable_language(RC)

file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE copyright REGEX "^Copyright ")
set(vendor "The xmlstamp authors")

function(xmlstamp_windows_resources target description)
  set(manifest ${CMAKE_CURRENT_BINARY_DIR}/${target}.manifest)
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/xmlstamp.manifest.in ${manifest} @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/xmlstamp.rc.in ${rc} @ONLY)
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${manifest})
  target_sources(${target} PRIVATE ${rc})
  target_link_options(${target} PRIVATE $<$<CONFIG:Release>:-s>)
  set_target_properties(${target} PROPERTIES XMLSTAMP_DESCRIPTION "${description}")
endfunction()

xmlstamp_windows_resources(xmlstamp "Stamps XML configuration files with their checksum")
xmlstamp_windows_resources(xmlstamp-verify "Checks the checksum stamps of XML configuration files")
