list(APPEND PL_CORE_SOURCES
     loader/globals.cpp
     loader/results.cpp
     loader/pending_runners.cpp
     loader/pending_crypto.cpp)
