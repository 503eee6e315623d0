pl_add_cpp_tests(crypto/aes_test.cpp crypto/md5_test.cpp crypto/base64_test.cpp
                 crypto/field_cipher_test.cpp crypto/openssl_crosscheck_test.cpp)

# OpenSSL is an independent implementation to compare against; only the test
# binary links it.
find_package(OpenSSL REQUIRED)
target_link_libraries(plugin_loader_tests PRIVATE OpenSSL::Crypto)
