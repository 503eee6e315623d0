pl_add_cpp_tests(transport/route_test.cpp transport/curl_client_test.cpp
                 transport/exec_client_test.cpp)
