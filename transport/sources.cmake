list(APPEND PL_CORE_SOURCES
     transport/route.cpp
     transport/curl_client.cpp
     transport/exec_client.cpp
     transport/py_bridge.cpp)
