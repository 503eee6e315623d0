// Plain C++ helpers of the plugin and module runners: bounded path
// composition and the module directory rule.  No interpreter here, so the
// C++ tests exercise them directly.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Working buffer sizes of the runners: every composed path and the entry
// class name must fit, terminating NUL included.
constexpr size_t kRunnerPathSize = 256;
constexpr size_t kEntryClassSize = 64;

// printf-style composition into buf; false (buf then holds a cut, still
// terminated text that must not be used) when the result would not fit.
bool compose_bounded(char* buf, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// True for a directory-entry name that counts as a module directory: longer
// than 6 bytes, no '.', and "Model" somewhere in it.  The entry type is
// checked by the caller.
bool is_module_dir_name(const char* name);

// Appends to out, in listing order, the names of the entries of dir that are
// reported as directories and pass is_module_dir_name.  False when dir
// cannot be opened (out untouched).
bool list_module_dirs(const std::string& dir, std::vector<std::string>& out);
