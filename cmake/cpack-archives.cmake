# Run by cpack once it has made a package: a .tar.gz or a .zip is written
# again with its members sorted, owned by root and dated SOURCE_DATE_EPOCH,
# as the files inside the .deb already are; the .deb's own three members get
# fixed modes (cmake/reproducible.py).
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(package MATCHES "\\.(tar\\.gz|zip|deb)$")
    execute_process(COMMAND "${CPACK_XMLSTAMP_PYTHON}" "${CPACK_XMLSTAMP_SOURCE_DIR}/cmake/reproducible.py" archive
                            "${package}" "$ENV{SOURCE_DATE_EPOCH}" COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()
