# Build-time constants of the module: the panel root, the cloud service's
# address, TLS verification and the three 32-character secrets.  Each setting
# is checked here, before anything else is looked for, so that a mistake
# stops the configure step at once with one line naming it.
#
# The secrets never reach the binary or any build output as plain text: they
# are written XOR-masked into a generated header and unmasked at run time.
# They come from PL_SECRETS_FILE (three lines, exact bytes; then neither the
# command line nor the CMake cache holds them) or from the three -D settings.

set(PANEL_ROOT "/www/server/panel" CACHE STRING "Panel root directory")
set(SERVICE_DOMAIN "zqpanel.example" CACHE STRING "Domain name of the cloud service")
set(SERVICE_URL "" CACHE STRING
    "Default web address of the cloud service, without trailing slash (empty: https://www. + SERVICE_DOMAIN)")
option(SERVICE_TLS_VERIFY
       "Verify the server's certificate on requests to the default HTTPS route" OFF)
set(PL_SECRETS_FILE "" CACHE FILEPATH
    "File holding DB_FIELD_SECRET, IV_FILE_SECRET and DB_FALLBACK_IV_SECRET, one per line")

set(_pl_secret_names DB_FIELD_SECRET IV_FILE_SECRET DB_FALLBACK_IV_SECRET)
# The secrets that stand in this repository: for trying the module only.
set(_pl_builtin_DB_FIELD_SECRET "q7Lw2Rz9Kd4Hx1Vb8Nm3Tp6Yc5Gf0Js!")
set(_pl_builtin_IV_FILE_SECRET "mE4tW8rQ1yU5iO9pA2sD6fG0hJ3kL7zX")
set(_pl_builtin_DB_FALLBACK_IV_SECRET "Bn5Mv1Cx8Zl4Ka7Js2Hd9Gf3Fq6Dw0Se")

# The longest path a runner composes for a plugin of name N is
#   <root>/plugin/N/N_main.cpython-3XYm-x86_64-linux-gnu.so
# in a 256-byte buffer.  The root must leave room for names of 32 bytes.
set(PL_RUNNER_PATH_SIZE 256)
set(PL_MIN_PLUGIN_NAME 32)
math(EXPR PL_PANEL_ROOT_MAX
     "${PL_RUNNER_PATH_SIZE} - 1 - 8 - 1 - 38 - 2 * ${PL_MIN_PLUGIN_NAME}")

# ---- panel root, service address ----

# Stops with a message when value holds a byte below first_allowed (hex),
# 0x7f, a double quote or a backslash: none of them belongs in a path or an
# address that the build writes into C text.
function(pl_refuse_bytes name value first_allowed)
  string(HEX "${value}" hex)
  string(LENGTH "${hex}" hexlen)
  math(EXPR first "0x${first_allowed}")
  set(off 0)
  while(off LESS hexlen)
    string(SUBSTRING "${hex}" ${off} 2 byte)
    math(EXPR code "0x${byte}")
    if(code LESS first OR code EQUAL 127 OR code EQUAL 34 OR code EQUAL 92)
      math(EXPR position "${off} / 2 + 1")
      message(FATAL_ERROR " ${name}: byte ${position} (0x${byte}) is not allowed there "
                          "(no control characters, quotes, backslashes or blanks in an address)")
    endif()
    math(EXPR off "${off} + 2")
  endwhile()
endfunction()

if(NOT PANEL_ROOT MATCHES "^/")
  message(FATAL_ERROR " PANEL_ROOT must be an absolute path, got '${PANEL_ROOT}'")
endif()
if(PANEL_ROOT MATCHES "/$")
  message(FATAL_ERROR " PANEL_ROOT must not end in '/', got '${PANEL_ROOT}'")
endif()
pl_refuse_bytes(PANEL_ROOT "${PANEL_ROOT}" "20")
string(LENGTH "${PANEL_ROOT}" _pl_root_len)
if(_pl_root_len GREATER PL_PANEL_ROOT_MAX)
  message(FATAL_ERROR " "
          "PANEL_ROOT is ${_pl_root_len} bytes long; at most ${PL_PANEL_ROOT_MAX} leave room in "
          "the runners' ${PL_RUNNER_PATH_SIZE}-byte paths for plugin names of "
          "${PL_MIN_PLUGIN_NAME} bytes")
endif()

# A host name: dot-separated labels of letters, digits and inner hyphens.
set(_pl_label "[A-Za-z0-9]([A-Za-z0-9-]*[A-Za-z0-9])?")
string(LENGTH "${SERVICE_DOMAIN}" _pl_domain_len)
if(NOT SERVICE_DOMAIN MATCHES "^${_pl_label}(\\.${_pl_label})*$" OR _pl_domain_len GREATER 253)
  message(FATAL_ERROR " "
          "SERVICE_DOMAIN must be a host name such as zqpanel.example (no scheme, port or path), "
          "got '${SERVICE_DOMAIN}'")
endif()

if(SERVICE_URL STREQUAL "")
  set(PL_SERVICE_URL "https://www.${SERVICE_DOMAIN}")
else()
  set(PL_SERVICE_URL "${SERVICE_URL}")
endif()
if(NOT PL_SERVICE_URL MATCHES "^https?://[^/]")
  message(FATAL_ERROR " "
          "SERVICE_URL must be an http:// or https:// address, got '${PL_SERVICE_URL}'")
endif()
pl_refuse_bytes(SERVICE_URL "${PL_SERVICE_URL}" "21")
if(PL_SERVICE_URL MATCHES "/$")
  message(FATAL_ERROR " SERVICE_URL must not end in '/', got '${PL_SERVICE_URL}'")
endif()

# ---- secrets ----

# Every check and every use of a secret works on its bytes in hexadecimal, so
# that no character (';', '\', a trailing blank) is lost or changes meaning on
# the way through CMake's lists and strings.

# Checks the bytes of one secret (hex: its bytes as hexadecimal) and gives
# the C initialiser of its masked bytes.  where says where the secret came
# from, for the messages.
function(pl_masked_secret name hex where out)
  string(LENGTH "${hex}" hexlen)
  math(EXPR len "${hexlen} / 2")
  set(bytes "")
  string(LENGTH "${name}" nlen)
  if(len GREATER 0)
    math(EXPR last "${len} - 1")
    foreach(i RANGE ${last})
      math(EXPR off "${i} * 2")
      string(SUBSTRING "${hex}" ${off} 2 byte)
      math(EXPR code "0x${byte}")
      if(code LESS 32 OR code GREATER 126)
        math(EXPR position "${i} + 1")
        set(hint "")
        if(code EQUAL 13)
          set(hint " (a Windows line end?)")
        elseif(code GREATER 127)
          set(hint " (a non-ASCII character)")
        endif()
        message(FATAL_ERROR " "
                "${name}${where}: character ${position} is byte 0x${byte}${hint}; a secret holds "
                "32 printable ASCII characters (0x20 to 0x7e)")
      endif()
      if(i LESS 32)
        # The mask depends on the secret's name and the position, so equal
        # secrets do not give equal masked arrays.
        math(EXPR masked "${code} ^ ((0x5b + ${i} * 29 + ${nlen} * 7) & 0xff)"
             OUTPUT_FORMAT HEXADECIMAL)
        list(APPEND bytes "${masked}")
      endif()
    endforeach()
  endif()
  if(NOT len EQUAL 32)
    message(FATAL_ERROR " ${name}${where} must be exactly 32 characters long, it has ${len}")
  endif()
  list(JOIN bytes ", " joined)
  set(${out} "${joined}" PARENT_SCOPE)
endfunction()

# The secrets as hexadecimal text, by name: _pl_hex_<NAME>.
if(PL_SECRETS_FILE)
  if(NOT EXISTS "${PL_SECRETS_FILE}" OR IS_DIRECTORY "${PL_SECRETS_FILE}")
    message(FATAL_ERROR " PL_SECRETS_FILE: no file at '${PL_SECRETS_FILE}'")
  endif()
  foreach(name IN LISTS _pl_secret_names)
    if(DEFINED ${name} AND NOT "${${name}}" STREQUAL "${_pl_builtin_${name}}")
      message(FATAL_ERROR " "
              "${name} is given both in PL_SECRETS_FILE and with -D${name}: give the secrets one "
              "way only (remove it from the cache with -U${name})")
    endif()
  endforeach()
  # Reading the file makes CMake configure again whenever it changes.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${PL_SECRETS_FILE}")
  file(READ "${PL_SECRETS_FILE}" _pl_file_hex HEX)
  # Lines end at 0a; a last line feed is optional.  Only byte boundaries
  # count: a 0a spanning two bytes' digits is no line end.
  set(_pl_lines "")
  set(_pl_line "")
  string(LENGTH "${_pl_file_hex}" _pl_file_len)
  set(_pl_off 0)
  while(_pl_off LESS _pl_file_len)
    string(SUBSTRING "${_pl_file_hex}" ${_pl_off} 2 _pl_byte)
    if(_pl_byte STREQUAL "0a")
      list(APPEND _pl_lines "x${_pl_line}")
      set(_pl_line "")
    else()
      string(APPEND _pl_line "${_pl_byte}")
    endif()
    math(EXPR _pl_off "${_pl_off} + 2")
  endwhile()
  if(NOT _pl_line STREQUAL "")
    list(APPEND _pl_lines "x${_pl_line}")
  endif()
  list(LENGTH _pl_lines _pl_count)
  if(NOT _pl_count EQUAL 3)
    message(FATAL_ERROR " "
            "PL_SECRETS_FILE must hold exactly three lines (DB_FIELD_SECRET, IV_FILE_SECRET, "
            "DB_FALLBACK_IV_SECRET), it holds ${_pl_count}")
  endif()
  set(_pl_index 0)
  foreach(name IN LISTS _pl_secret_names)
    list(GET _pl_lines ${_pl_index} _pl_entry)
    string(SUBSTRING "${_pl_entry}" 1 -1 _pl_hex_${name})
    math(EXPR _pl_index "${_pl_index} + 1")
    set(_pl_where_${name} " (line ${_pl_index} of PL_SECRETS_FILE)")
  endforeach()
else()
  foreach(name IN LISTS _pl_secret_names)
    if(DEFINED ${name})
      string(HEX "${${name}}" _pl_hex_${name})
    else()
      string(HEX "${_pl_builtin_${name}}" _pl_hex_${name})
    endif()
    set(_pl_where_${name} "")
  endforeach()
endif()

# The text of a secret given as its bytes in hexadecimal (checked
# printable ASCII: ';' and '\' come through as themselves).
function(pl_hex_text hex out)
  string(LENGTH "${hex}" hexlen)
  set(text "")
  set(off 0)
  while(off LESS hexlen)
    string(SUBSTRING "${hex}" ${off} 2 byte)
    math(EXPR code "0x${byte}")
    string(ASCII ${code} char)
    string(APPEND text "${char}")
    math(EXPR off "${off} + 2")
  endwhile()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# The secrets' fingerprint: the first 16 hexadecimal digits of SHA-256 over a
# fixed label line and the three secrets, a line each.  Builds compare their
# secrets by it; it reveals nothing of them.
set(_pl_fingerprint_text "PluginLoader secrets fingerprint\n")
set(_pl_builtin_list "")
foreach(name IN LISTS _pl_secret_names)
  pl_masked_secret(${name} "${_pl_hex_${name}}" "${_pl_where_${name}}" PL_${name}_MASKED)
  string(LENGTH "${name}" PL_${name}_NLEN)
  string(HEX "${_pl_builtin_${name}}" _pl_builtin_hex)
  if(_pl_hex_${name} STREQUAL _pl_builtin_hex)
    set(PL_${name}_BUILTIN 1)
    list(APPEND _pl_builtin_list ${name})
  else()
    set(PL_${name}_BUILTIN 0)
  endif()
  pl_hex_text("${_pl_hex_${name}}" _pl_secret_text)
  string(APPEND _pl_fingerprint_text "${_pl_secret_text}\n")
  unset(_pl_secret_text)
  unset(_pl_hex_${name})
endforeach()
string(SHA256 _pl_fingerprint_sha "${_pl_fingerprint_text}")
string(SUBSTRING "${_pl_fingerprint_sha}" 0 16 PL_SECRETS_FINGERPRINT)
unset(_pl_fingerprint_text)
unset(_pl_fingerprint_sha)
if(_pl_builtin_list)
  list(JOIN _pl_builtin_list ", " _pl_builtin_text)
  message(WARNING
          " built-in secrets in use (${_pl_builtin_text}): for trying the module only: a panel "
          "must choose its own (give them in PL_SECRETS_FILE)")
endif()

# ---- generated headers ----

# Escapes a value for use inside a C string literal.
function(pl_c_string out value)
  string(REPLACE "\\" "\\\\" value "${value}")
  string(REPLACE "\"" "\\\"" value "${value}")
  set(${out} "${value}" PARENT_SCOPE)
endfunction()

pl_c_string(PL_PANEL_ROOT_C "${PANEL_ROOT}")
pl_c_string(PL_SERVICE_DOMAIN_C "${SERVICE_DOMAIN}")
pl_c_string(PL_SERVICE_URL_C "${PL_SERVICE_URL}")
if(SERVICE_TLS_VERIFY)
  set(PL_SERVICE_TLS_VERIFY_C 1)
else()
  set(PL_SERVICE_TLS_VERIFY_C 0)
endif()

set(PL_GENERATED_DIR "${CMAKE_CURRENT_BINARY_DIR}/generated")
configure_file("${CMAKE_CURRENT_SOURCE_DIR}/util/build_config.h.in"
               "${PL_GENERATED_DIR}/build_config.h" @ONLY)
configure_file("${CMAKE_CURRENT_SOURCE_DIR}/crypto/masked_secrets.h.in"
               "${PL_GENERATED_DIR}/masked_secrets.h" @ONLY)

# What the tests and tools need to know about this build (never a secret;
# the path of the secrets file is no secret, and lets the tests find the
# secrets the build was made with).
set(_pl_builtin_json "")
foreach(name IN LISTS _pl_secret_names)
  string(TOLOWER "${name}" _pl_key)
  if(PL_${name}_BUILTIN)
    list(APPEND _pl_builtin_json "\"${_pl_key}\": true")
  else()
    list(APPEND _pl_builtin_json "\"${_pl_key}\": false")
  endif()
endforeach()
list(JOIN _pl_builtin_json ", " _pl_builtin_json)
pl_c_string(_pl_secrets_file_c "${PL_SECRETS_FILE}")
file(WRITE "${CMAKE_CURRENT_BINARY_DIR}/build_info.json"
"{\n  \"version\": \"${PL_VERSION}\",\n  \"panel_root\": \"${PL_PANEL_ROOT_C}\",\n  \"service_url\": \"${PL_SERVICE_URL_C}\",\n  \"service_domain\": \"${PL_SERVICE_DOMAIN_C}\",\n  \"tls_verify\": ${PL_SERVICE_TLS_VERIFY_C},\n  \"builtin_secrets\": {${_pl_builtin_json}},\n  \"secrets_fingerprint\": \"${PL_SECRETS_FINGERPRINT}\",\n  \"secrets_file\": \"${_pl_secrets_file_c}\",\n  \"sanitize\": \"${SANITIZE}\"\n}\n")

# ---- summary ----

if(SERVICE_TLS_VERIFY)
  set(_pl_tls "on (the default HTTPS route verifies the server's certificate)")
else()
  set(_pl_tls "off")
endif()
message(STATUS "PluginLoader ${PL_VERSION}")
message(STATUS "  panel root: ${PANEL_ROOT}")
message(STATUS "  service domain: ${SERVICE_DOMAIN}")
message(STATUS "  service URL: ${PL_SERVICE_URL}")
message(STATUS "  TLS verification: ${_pl_tls}")
foreach(name IN LISTS _pl_secret_names)
  if(PL_${name}_BUILTIN)
    set(_pl_state "built-in")
  elseif(PL_SECRETS_FILE)
    set(_pl_state "own, from PL_SECRETS_FILE")
  else()
    set(_pl_state "own, from -D${name} (kept in CMakeCache.txt)")
  endif()
  message(STATUS "  ${name}: ${_pl_state}")
endforeach()
message(STATUS "  secrets fingerprint: ${PL_SECRETS_FINGERPRINT}")
