list(APPEND PL_CORE_SOURCES
     util/files.cpp
     util/cache_file.cpp
     util/small_file.cpp
     util/strings.cpp
     util/json.cpp
     util/encoding.cpp
     util/process.cpp
     util/blocking.cpp
     util/time_rand.cpp)
