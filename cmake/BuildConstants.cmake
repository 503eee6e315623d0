# Build-time constants of the module: the panel root, the cloud service's
# address and the three 32-character secrets.  The secrets never reach the
# binary as plain text: they are written XOR-masked into a generated header and
# unmasked at run time.

set(PANEL_ROOT "/www/server/panel" CACHE STRING "Panel root directory")
set(SERVICE_DOMAIN "zqpanel.example" CACHE STRING "Domain name of the cloud service")
set(SERVICE_URL "https://www.${SERVICE_DOMAIN}" CACHE STRING
    "Default web address of the cloud service, without trailing slash")
option(SERVICE_TLS_VERIFY
       "Verify the server's certificate on requests to the default HTTPS route" OFF)
set(DB_FIELD_SECRET "q7Lw2Rz9Kd4Hx1Vb8Nm3Tp6Yc5Gf0Js!" CACHE STRING
    "32 printable ASCII characters; the database field key is its even positions")
set(IV_FILE_SECRET "mE4tW8rQ1yU5iO9pA2sD6fG0hJ3kL7zX" CACHE STRING
    "32 printable ASCII characters; IV-file key (even positions) and chain value (odd)")
set(DB_FALLBACK_IV_SECRET "Bn5Mv1Cx8Zl4Ka7Js2Hd9Gf3Fq6Dw0Se" CACHE STRING
    "32 printable ASCII characters; the fallback IV is its even positions")

if(PANEL_ROOT STREQUAL "" OR NOT PANEL_ROOT MATCHES "^/")
  message(FATAL_ERROR "PANEL_ROOT must be an absolute path, got '${PANEL_ROOT}'")
endif()
if(PANEL_ROOT MATCHES "/$")
  message(FATAL_ERROR "PANEL_ROOT must not end in '/', got '${PANEL_ROOT}'")
endif()
if(SERVICE_DOMAIN STREQUAL "")
  message(FATAL_ERROR "SERVICE_DOMAIN must not be empty")
endif()
if(SERVICE_URL MATCHES "/$")
  message(FATAL_ERROR "SERVICE_URL must not end in '/', got '${SERVICE_URL}'")
endif()

# Escapes a value for use inside a C string literal.
function(pl_c_string out value)
  string(REPLACE "\\" "\\\\" value "${value}")
  string(REPLACE "\"" "\\\"" value "${value}")
  set(${out} "${value}" PARENT_SCOPE)
endfunction()

# Checks one secret and produces the C initialiser of its masked bytes.
function(pl_masked_secret name out)
  set(value "${${name}}")
  string(LENGTH "${value}" len)
  if(NOT len EQUAL 32)
    message(FATAL_ERROR "${name} must be exactly 32 characters long, it has ${len}")
  endif()
  string(HEX "${value}" hex)
  string(LENGTH "${hex}" hexlen)
  if(NOT hexlen EQUAL 64)
    message(FATAL_ERROR "${name} must hold 32 single-byte printable ASCII characters")
  endif()
  set(bytes "")
  foreach(i RANGE 31)
    math(EXPR off "${i} * 2")
    string(SUBSTRING "${hex}" ${off} 2 byte)
    math(EXPR code "0x${byte}")
    if(code LESS 32 OR code GREATER 126)
      message(FATAL_ERROR
              "${name} holds a character outside printable ASCII (0x20-0x7e) at position ${i}")
    endif()
    # The mask depends on the secret's name and the position, so equal
    # secrets do not give equal masked arrays.
    string(LENGTH "${name}" nlen)
    math(EXPR masked "${code} ^ ((0x5b + ${i} * 29 + ${nlen} * 7) & 0xff)"
         OUTPUT_FORMAT HEXADECIMAL)
    list(APPEND bytes "${masked}")
  endforeach()
  list(JOIN bytes ", " joined)
  set(${out} "${joined}" PARENT_SCOPE)
endfunction()

pl_masked_secret(DB_FIELD_SECRET PL_DB_FIELD_SECRET_MASKED)
pl_masked_secret(IV_FILE_SECRET PL_IV_FILE_SECRET_MASKED)
pl_masked_secret(DB_FALLBACK_IV_SECRET PL_DB_FALLBACK_IV_SECRET_MASKED)
string(LENGTH "DB_FIELD_SECRET" PL_DB_FIELD_SECRET_NLEN)
string(LENGTH "IV_FILE_SECRET" PL_IV_FILE_SECRET_NLEN)
string(LENGTH "DB_FALLBACK_IV_SECRET" PL_DB_FALLBACK_IV_SECRET_NLEN)

pl_c_string(PL_PANEL_ROOT_C "${PANEL_ROOT}")
pl_c_string(PL_SERVICE_DOMAIN_C "${SERVICE_DOMAIN}")
pl_c_string(PL_SERVICE_URL_C "${SERVICE_URL}")
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

# What the tests need to know about this build.
pl_c_string(_pl_j_root "${PANEL_ROOT}")
pl_c_string(_pl_j_url "${SERVICE_URL}")
pl_c_string(_pl_j_domain "${SERVICE_DOMAIN}")
pl_c_string(_pl_j_s1 "${DB_FIELD_SECRET}")
pl_c_string(_pl_j_s2 "${IV_FILE_SECRET}")
pl_c_string(_pl_j_s3 "${DB_FALLBACK_IV_SECRET}")
file(WRITE "${CMAKE_CURRENT_BINARY_DIR}/build_info.json"
"{\n  \"panel_root\": \"${_pl_j_root}\",\n  \"service_url\": \"${_pl_j_url}\",\n  \"service_domain\": \"${_pl_j_domain}\",\n  \"db_field_secret\": \"${_pl_j_s1}\",\n  \"iv_file_secret\": \"${_pl_j_s2}\",\n  \"db_fallback_iv_secret\": \"${_pl_j_s3}\",\n  \"sanitize\": \"${SANITIZE}\",\n  \"tls_verify\": ${PL_SERVICE_TLS_VERIFY_C}\n}\n")
