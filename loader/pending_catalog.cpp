// Placeholders for the plugin catalog until it is built.
#include "loader/py_ref.h"

#include "loader/loader.h"

PyObject* Ploader::get_plugin_list(PyObject* args) {
  int force = 0;
  if (!PyArg_ParseTuple(args, "i", &force)) {
    PyErr_Clear();
    force = 0;
  }
  return return_error("get_plugin_list is not available yet");
}

PyObject* Ploader::parse_plugin_list(int /*force*/) {
  return return_error("parse_plugin_list is not available yet");
}
