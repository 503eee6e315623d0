// Pieces shared by the plugin and the module runner.  Requires the
// interpreter lock.
#pragma once

#include "loader/py_ref.h"

namespace runner {

constexpr const char* kBadArguments =
    "parameter incorrect: run(mod_name<str>,def_name<str>,def_args<dict_obj>)";
constexpr const char* kEmptyName = "parameter incorrect: module_name and def_name cannot be empty.";
constexpr const char* kSpecialSymbols =
    "parameter incorrect: module_name and def_name cannot contains special symbols.";

// hasattr(): true when the attribute can be fetched; any error raised on the
// way is swallowed.
inline bool has_attr(PyObject* obj, const char* name) {
  return PyObject_HasAttrString(obj, name) == 1;
}

// The loaders answer with either a module or an error result, which is
// always a plain dict.
inline bool is_error_result(PyObject* obj) { return PyDict_CheckExact(obj); }

}  // namespace runner
