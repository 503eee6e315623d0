pl_add_cpp_tests(catalog/account_test.cpp catalog/answer_test.cpp)
