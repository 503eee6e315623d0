list(APPEND PL_CORE_SOURCES
     crypto/aes.cpp
     crypto/md5.cpp
     crypto/base64.cpp
     crypto/field_cipher.cpp)
