# The release's signatures, each asked for in the environment:
#
#   XMLSTAMP_SIGN_PKCS12         a PKCS#12 file with the code-signing key and
#                                its certificate chain: the Windows executables
#                                and the installer get an Authenticode
#                                signature (osslsigncode, SHA-256)
#   XMLSTAMP_SIGN_PASSWORD_FILE  a file that holds its password, if it has one
#   XMLSTAMP_SIGN_TIMESTAMP_URL  an RFC 3161 timestamp server that
#                                countersigns each Authenticode signature
#   XMLSTAMP_GPG_KEY             a key of the caller's GNUPGHOME: SHA256SUMS
#                                gets a detached signature, SHA256SUMS.asc
#
# Each signature is dated SOURCE_DATE_EPOCH (or the signing key's birth,
# where that is later): the same commit signed with the same RSA key gives
# the same bytes, unless a timestamp server adds its own time. A signature
# that was asked for and cannot be made fails the run; nothing unsigned goes
# out in its place.
#
#   cmake -P cmake/signing.cmake FILE...   signs each FILE in place, as
#                                          makensis does to the installer and
#                                          to the uninstaller it embeds
cmake_policy(VERSION 3.25)

# Stops the run with what went wrong and what to do about it.
function(signing_failed text)
  message(FATAL_ERROR "Can't sign the release: ${text}")
endfunction()

# Sets `out` to whether the environment asks for Authenticode signatures.
function(code_signing_requested out)
  set(${out} FALSE PARENT_SCOPE)
  if(NOT "$ENV{XMLSTAMP_SIGN_PKCS12}" STREQUAL "")
    set(${out} TRUE PARENT_SCOPE)
  elseif(NOT "$ENV{XMLSTAMP_SIGN_PASSWORD_FILE}" STREQUAL "")
    signing_failed("XMLSTAMP_SIGN_PASSWORD_FILE is set, but XMLSTAMP_SIGN_PKCS12, the key it opens, is not")
  endif()
endfunction()

# Sets `out` to what openssl says of the certificate for the key in the
# PKCS#12 file, its subject, dates and usages; fails when the file does not
# open with its password.
function(read_certificate out openssl)
  set(pkcs12 "$ENV{XMLSTAMP_SIGN_PKCS12}")
  set(password_file "$ENV{XMLSTAMP_SIGN_PASSWORD_FILE}")
  set(password "pass:")
  foreach(file IN ITEMS "${pkcs12}" "${password_file}")
    if(NOT file STREQUAL "" AND NOT EXISTS "${file}")
      signing_failed("\"${file}\" is not there")
    endif()
  endforeach()
  if(NOT password_file STREQUAL "")
    set(password "file:${password_file}")
  endif()
  # -legacy reads the older algorithms too, as osslsigncode does.
  execute_process(COMMAND "${openssl}" pkcs12 -legacy -in "${pkcs12}" -passin "${password}" -nokeys -clcerts
                  COMMAND "${openssl}" x509 -noout -subject -dates -dateopt iso_8601 -ext keyUsage,extendedKeyUsage
                  OUTPUT_VARIABLE text ERROR_VARIABLE error RESULTS_VARIABLE statuses)
  string(REGEX REPLACE "\n.*" "" error "${error}")
  if(statuses MATCHES "^0;[^0]")
    signing_failed("\"${pkcs12}\" holds no certificate for its key (${error})")
  elseif(NOT statuses STREQUAL "0;0" AND password_file STREQUAL "")
    signing_failed("openssl cannot open \"${pkcs12}\" without a password (${error}): set XMLSTAMP_SIGN_PASSWORD_FILE")
  elseif(NOT statuses STREQUAL "0;0")
    signing_failed("openssl cannot open \"${pkcs12}\" with the password in \"${password_file}\" (${error})")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Checks, before anything is signed, that the PKCS#12 file opens with its
# password and that Windows would take its certificate for code now: Code
# Signing among its extended key usages, digital signatures among its key
# usages, and valid today. Sets OSSLSIGNCODE.
function(check_code_signing)
  find_program(OSSLSIGNCODE osslsigncode)
  find_program(OPENSSL openssl)
  if(NOT OSSLSIGNCODE OR NOT OPENSSL)
    signing_failed("it needs osslsigncode and openssl (apt-get install -y osslsigncode openssl)")
  endif()
  read_certificate(text "${OPENSSL}")
  string(REGEX MATCH "subject=([^\n]*)" match "${text}")
  set(who "the certificate of ${CMAKE_MATCH_1} in \"$ENV{XMLSTAMP_SIGN_PKCS12}\"")
  string(REGEX MATCH "notBefore=([^\n]*)\nnotAfter=([^\n]*)" match "${text}")
  set(from "${CMAKE_MATCH_1}")
  set(until "${CMAKE_MATCH_2}")
  # Today, not the release's date, which string(TIMESTAMP) would give.
  set(epoch "$ENV{SOURCE_DATE_EPOCH}")
  unset(ENV{SOURCE_DATE_EPOCH})
  string(TIMESTAMP now "%Y-%m-%d %H:%M:%SZ" UTC)
  set(ENV{SOURCE_DATE_EPOCH} "${epoch}")
  if(NOT text MATCHES "Extended Key Usage:[^\n]*\n[^\n]*Code Signing")
    signing_failed("${who} is not for signing code: its extended key usage lacks Code Signing")
  elseif(text MATCHES "X509v3 Key Usage:" AND NOT text MATCHES "X509v3 Key Usage:[^\n]*\n[^\n]*Digital Signature")
    signing_failed("${who} is not for signing code: its key usage lacks Digital Signature")
  elseif(until STRLESS now)
    signing_failed("${who} expired on ${until}")
  elseif(now STRLESS from)
    signing_failed("${who} is valid only from ${from}")
  endif()
  set(OSSLSIGNCODE "${OSSLSIGNCODE}" PARENT_SCOPE)
endfunction()

# Signs each Windows executable in ARGN in place, keeping its mode.
function(sign_executables)
  check_code_signing()
  if(NOT "$ENV{SOURCE_DATE_EPOCH}" MATCHES "^[0-9]+$")
    signing_failed("SOURCE_DATE_EPOCH, the time of the signatures, is not set")
  endif()
  set(options)
  if(NOT "$ENV{XMLSTAMP_SIGN_PASSWORD_FILE}" STREQUAL "")
    # Read from the file: a password on the command line is there for ps to show.
    list(APPEND options -readpass "$ENV{XMLSTAMP_SIGN_PASSWORD_FILE}")
  endif()
  if(NOT "$ENV{XMLSTAMP_SIGN_TIMESTAMP_URL}" STREQUAL "")
    list(APPEND options -ts "$ENV{XMLSTAMP_SIGN_TIMESTAMP_URL}")
  endif()
  foreach(file IN LISTS ARGN)
    execute_process(COMMAND "${OSSLSIGNCODE}" sign -pkcs12 "$ENV{XMLSTAMP_SIGN_PKCS12}" ${options} -h sha256
                            -time "$ENV{SOURCE_DATE_EPOCH}" -in "${file}" -out "${file}.signed"
                    OUTPUT_VARIABLE output ERROR_VARIABLE output RESULT_VARIABLE status)
    if(status EQUAL 0)
      execute_process(COMMAND "${CMAKE_COMMAND}" -E cat "${file}.signed" OUTPUT_FILE "${file}" RESULT_VARIABLE status)
    endif()
    file(REMOVE "${file}.signed")
    if(NOT status EQUAL 0)
      signing_failed("osslsigncode could not sign \"${file}\":\n${output}")
    endif()
  endforeach()
endfunction()

# Checks that XMLSTAMP_GPG_KEY names one key of GNUPGHOME that can sign now.
# Sets openpgp_time to when its signatures are dated: SOURCE_DATE_EPOCH, or
# the birth of the key's newest part where that is later, since gpg refuses a
# signature older than its key.
function(check_openpgp_key)
  find_program(GPG gpg)
  if(NOT GPG)
    signing_failed("XMLSTAMP_GPG_KEY is set, and gpg is missing (apt-get install -y gnupg)")
  endif()
  set(key "$ENV{XMLSTAMP_GPG_KEY}")
  execute_process(COMMAND "${GPG}" --batch --with-colons --list-secret-keys -- "${key}"
                  OUTPUT_VARIABLE keys ERROR_VARIABLE error RESULT_VARIABLE status)
  string(REGEX MATCHALL "(^|\n)sec:[^\n]*" primaries "${keys}")
  list(LENGTH primaries count)
  if(NOT status EQUAL 0 OR count EQUAL 0)
    string(CONCAT text "XMLSTAMP_GPG_KEY is \"${key}\", and GNUPGHOME has no secret key by that name "
                       "(gpg --list-secret-keys lists those it has)")
    signing_failed("${text}")
  elseif(count GREATER 1)
    signing_failed("XMLSTAMP_GPG_KEY is \"${key}\", which names ${count} keys: give one's fingerprint")
  endif()
  # Field 12, the capabilities of the whole key, has S while it can sign.
  string(STRIP "${primaries}" fields)
  string(REPLACE ":" ";" fields "${fields}")
  list(GET fields 11 capabilities)
  if(NOT capabilities MATCHES "S")
    signing_failed("the key \"${key}\" cannot sign: it has expired, is revoked, or has no signing key")
  endif()
  set(time "$ENV{SOURCE_DATE_EPOCH}")
  string(REGEX MATCHALL "(^|\n)(sec|ssb):[^:]*:[^:]*:[^:]*:[^:]*:[0-9]+" parts "${keys}")
  foreach(part IN LISTS parts)
    string(REGEX MATCH "[0-9]+$" born "${part}")
    if(born GREATER time)
      set(time "${born}")
    endif()
  endforeach()
  set(openpgp_time "${time}" PARENT_SCOPE)
endfunction()

# Writes FILE.asc, an ASCII-armoured detached signature of `file` made with
# XMLSTAMP_GPG_KEY.
function(sign_with_openpgp file)
  check_openpgp_key()
  execute_process(COMMAND "${GPG}" --batch --yes --armor --detach-sign --local-user "$ENV{XMLSTAMP_GPG_KEY}"
                          --faked-system-time "${openpgp_time}!" --output "${file}.asc" -- "${file}"
                  OUTPUT_VARIABLE output ERROR_VARIABLE output RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    file(REMOVE "${file}.asc")
    signing_failed("gpg could not sign \"${file}\":\n${output}")
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  set(files)
  foreach(i RANGE 3 ${CMAKE_ARGC})
    if(i LESS CMAKE_ARGC)
      list(APPEND files "${CMAKE_ARGV${i}}")
    endif()
  endforeach()
  sign_executables(${files})
endif()
