# Sources of this folder, appended to PL_CORE_SOURCES.
list(APPEND PL_CORE_SOURCES)
