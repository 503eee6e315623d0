list(APPEND PL_CORE_SOURCES
     loader/globals.cpp
     loader/results.cpp
     loader/py_errors.cpp
     loader/db_methods.cpp
     loader/runner_paths.cpp
     loader/load_lock.cpp
     loader/host_waits.cpp
     loader/loader_log.cpp
     loader/error_capture.cpp
     loader/bytecode_cache.cpp
     loader/source_loader.cpp
     loader/plugin_runner.cpp
     loader/runner_call.cpp
     loader/module_runner.cpp)
