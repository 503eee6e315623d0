list(APPEND PL_CORE_SOURCES
     loader/globals.cpp
     loader/results.cpp
     loader/db_methods.cpp
     loader/pending_runners.cpp)
