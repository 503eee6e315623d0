pl_add_cpp_tests(util/files_test.cpp util/small_file_test.cpp util/strings_test.cpp util/json_test.cpp util/encoding_test.cpp util/process_test.cpp util/time_rand_test.cpp util/json_overflow_test.cpp
                  util/failing_calls_test.cpp)
