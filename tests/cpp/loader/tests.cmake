pl_add_cpp_tests(loader/runner_paths_test.cpp loader/loader_log_test.cpp)
