# cmake -DSOURCE=<file.md> -DOUTPUT=<file.md.gz> -DGZIP=<gzip> -P compress-doc.cmake
#
# The .deb's copy of a document: compressed, as Debian keeps documents, and
# with each relative link to another document naming its compressed file, so
# that the links lead somewhere in /usr/share/doc too.
file(READ "${SOURCE}" text)
string(REGEX REPLACE "\\]\\(([^):#]+\\.md)([#)])" "](\\1.gz\\2" text "${text}")
file(WRITE "${OUTPUT}.in" "${text}")
execute_process(COMMAND "${GZIP}" -9nc "${OUTPUT}.in" OUTPUT_FILE "${OUTPUT}" COMMAND_ERROR_IS_FATAL ANY)
file(REMOVE "${OUTPUT}.in")
