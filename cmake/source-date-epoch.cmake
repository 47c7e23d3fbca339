# source_date_epoch(SOURCE) makes sure that the environment's
# SOURCE_DATE_EPOCH, the time that every package and signature records, is
# set: as the environment gives it, else the time of SOURCE's last commit,
# else, outside git, the time of the latest entry of its Debian changelog, as
# dpkg would take it.
function(source_date_epoch source)
  if(NOT "$ENV{SOURCE_DATE_EPOCH}" MATCHES "^[0-9]*$")
    message(FATAL_ERROR "SOURCE_DATE_EPOCH is \"$ENV{SOURCE_DATE_EPOCH}\", not a number of seconds since 1970")
  elseif(NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
    return()
  endif()
  execute_process(COMMAND git log -1 --format=%ct -- . WORKING_DIRECTORY "${source}"
                  OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT epoch MATCHES "^[0-9]+$")
    file(READ "${source}/cmake/debian/changelog" changelog)
    string(REGEX MATCH "\n -- [^\n]*>  ([^\n]+)" match "${changelog}")
    execute_process(COMMAND date -u -d "${CMAKE_MATCH_1}" +%s OUTPUT_VARIABLE epoch
                    OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  endif()
  set(ENV{SOURCE_DATE_EPOCH} "${epoch}")
endfunction()
