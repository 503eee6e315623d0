// Placeholders for the plugin and module runners until they are built.
#include "loader/py_ref.h"

#include "loader/loader.h"

PyObject* Ploader::plugin_run(PyObject* args) {
  const char* mod_name = nullptr;
  const char* def_name = nullptr;
  PyObject* def_args = nullptr;
  if (!PyArg_ParseTuple(args, "ssO", &mod_name, &def_name, &def_args)) {
    PyErr_Clear();
    return return_error("parameter incorrect: run(mod_name<str>,def_name<str>,def_args<dict_obj>)");
  }
  return return_error("plugin_run is not available yet");
}

PyObject* Ploader::module_run(PyObject* args) {
  const char* mod_name = nullptr;
  const char* def_name = nullptr;
  PyObject* def_args = nullptr;
  if (!PyArg_ParseTuple(args, "ssO", &mod_name, &def_name, &def_args)) {
    PyErr_Clear();
    return return_error("parameter incorrect: run(mod_name<str>,def_name<str>,def_args<dict_obj>)");
  }
  return return_error("module_run is not available yet");
}

PyObject* Ploader::get_class_module(const std::string& /*path*/) {
  return return_error("get_module is not available yet");
}
