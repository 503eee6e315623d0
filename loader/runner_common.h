// Pieces shared by the plugin and the module runner.  Requires the
// interpreter lock.
#pragma once

#include "loader/py_errors.h"
#include "loader/py_ref.h"

class Ploader;

namespace runner {

// What follows a plugin's name in the file names of its compiled entry, in
// the order the plugin runner looks for them: the first for the interpreter
// version built against ("_main.cpython-312m-x86_64-linux-gnu.so", with an m
// after the version), then the plain one.
constexpr const char* kCompiledFirstSuffix = "_main.cpython-" Py_STRINGIFY(PY_MAJOR_VERSION)
    Py_STRINGIFY(PY_MINOR_VERSION) "m-x86_64-linux-gnu.so";
constexpr const char* kCompiledSecondSuffix = "_main.so";

constexpr const char* kBadArguments =
    "parameter incorrect: run(mod_name<str>,def_name<str>,def_args<dict_obj>)";
constexpr const char* kEmptyName = "parameter incorrect: module_name and def_name cannot be empty.";
constexpr const char* kSpecialSymbols =
    "parameter incorrect: module_name and def_name cannot contains special symbols.";

// hasattr(): true when the attribute can be fetched; any error raised on the
// way is swallowed.  A missing attribute costs no exception object.
inline bool has_attr(PyObject* obj, PyObject* name) { return PyObject_HasAttr(obj, name) == 1; }

// An interned attribute name made on first use and kept for the life of the
// process (the module has no per-interpreter state).  Null, with the error
// cleared, only when memory runs out; has_attr then answers false.
inline PyObject* interned(PyObject*& slot, const char* text) {
  if (slot == nullptr) {
    slot = PyUnicode_InternFromString(text);
    if (slot == nullptr) PyErr_Clear();
  }
  return slot;
}

inline bool has_attr(PyObject* obj, PyObject*& slot, const char* text) {
  PyObject* name = interned(slot, text);
  return name != nullptr && has_attr(obj, name);
}

// The loaders answer with either a module or an error result, which is
// always a plain dict.
inline bool is_error_result(PyObject* obj) { return PyDict_CheckExact(obj); }

// The three arguments of a run; the texts are owned by the argument tuple.
struct Call {
  const char* mod_name = nullptr;
  const char* def_name = nullptr;
  PyObject* def_args = nullptr;
};

// Parses a run's argument tuple ("ssO") into call and checks both names.
// Null when they are fine, otherwise the error result to answer with.
PyObject* parse_call(Ploader& loader, PyObject* args, Call& call);

// What differs between the runners once the entry module is loaded.
struct EntryKind {
  const char* what;              // "plugin" or "module", for the messages
  const char* get_class_failed;  // the message when the class cannot be fetched
  const char* get_object_attr;   // def_args asks for the bound method with this
  PyObject** get_object_key;     // its interned name, made on first use
};

// Makes a fresh instance of the class named class_key in module and binds
// its method call.def_name.  True: out holds the bound method, to be called.
// False: out holds the answer as it stands (an error result, or the bound
// method def_args asked for), or is null with an interpreter error pending.
bool bind_method(Ploader& loader, PyObject* module, PyObject* class_key, const char* class_name,
                 const Call& call, const EntryKind& kind, PyRef& out);

}  // namespace runner
