pl_add_cpp_tests(hostinfo/probes_test.cpp)
