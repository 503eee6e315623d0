#include "loader/py_ref.h"

#include "loader/loader.h"

PyObject* Ploader::return_msg(PyObject* status, const char* msg) {
  // A null msg gives None; text that is not UTF-8 makes the build fail with
  // the interpreter's decoding error.
  return Py_BuildValue("{s:O,s:s}", "status", status, "msg", msg);
}

PyObject* Ploader::return_error(const char* msg) { return return_msg(Py_False, msg); }

PyObject* Ploader::return_success(const char* msg) { return return_msg(Py_True, msg); }

void Ploader::py_clear_all(PyObject* /*obj*/) {
  // Other holders may still use the object, and immortal objects never go
  // away: dropping references this call does not own would corrupt them, so
  // nothing beyond the caller's own reference is released.
}

PyObject* Ploader::py_clear(PyObject* args) {
  PyObject* obj = nullptr;
  if (PyArg_ParseTuple(args, "O", &obj)) {
    py_clear_all(obj);
  } else {
    PyErr_Clear();  // a wrong argument count releases nothing
  }
  return PyLong_FromLong(1);
}
