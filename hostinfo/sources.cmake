list(APPEND PL_CORE_SOURCES hostinfo/probes.cpp)
