list(APPEND PL_CORE_SOURCES catalog/account.cpp catalog/download.cpp catalog/listing.cpp
     catalog/json_objects.cpp)
