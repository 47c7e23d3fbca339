# Run when the .deb is staged. A statically linked build is made so on
# purpose, to start faster, and lintian counts it as an error unless the
# package says so; a dynamically linked build needs no such word.
set(tool "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${bin_dir}/xmlstamp")
execute_process(COMMAND "${readelf}" --program-headers "${tool}" OUTPUT_VARIABLE headers RESULT_VARIABLE status)
if(status EQUAL 0 AND NOT headers MATCHES "INTERP")
  file(WRITE "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/share/lintian/overrides/xmlstamp"
       "# Linked statically on purpose: it starts faster.\nxmlstamp: statically-linked-binary\n")
endif()
