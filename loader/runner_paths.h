// Plain C++ helpers of the plugin and module runners: bounded path
// composition and the module directory rule.  No interpreter here, so the
// C++ tests exercise them directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

// Working buffer sizes of the runners: every composed path and the entry
// class name must fit, terminating NUL included.
constexpr size_t kRunnerPathSize = 256;
constexpr size_t kEntryClassSize = 64;

// Writes the parts one after another into buf, NUL-terminated.  False, with
// buf left empty, when they would not fit in size bytes.
bool join_bounded(char* buf, size_t size, std::initializer_list<std::string_view> parts);

// Composes each candidate (a list of parts) into buf in turn and stops at
// the first that names an existing file.  A candidate that does not fit buf
// cannot name one and is passed over.  False, with buf empty, when none does.
bool first_existing(char* buf, size_t size,
                    std::initializer_list<std::initializer_list<std::string_view>> candidates);

// True for a directory-entry name that counts as a module directory: longer
// than 6 bytes, no '.', and "Model" somewhere in it.  The entry type is
// checked by the caller.
bool is_module_dir_name(const char* name);

// Appends to out, in listing order, the names of the entries of dir that are
// reported as directories and pass is_module_dir_name.  False when dir
// cannot be opened (out untouched).
bool list_module_dirs(const std::string& dir, std::vector<std::string>& out);
