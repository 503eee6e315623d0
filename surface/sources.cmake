list(APPEND PL_CORE_SOURCES
     surface/operator_info.cpp)
